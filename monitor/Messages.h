// The message-table convention and the two kinds of message box every window uses.
#pragma once

#include <QString>

class QFont;
class QPlainTextEdit;
class QWidget;

namespace velqorin::monitor {

// The windows' font, the one their fixed geometry was chosen for (see Messages.cpp).
QFont formFont();

// Line `line` (from 0) of a window's hidden message table; empty past its end.
QString memoLine(const QPlainTextEdit* memo, int line);

// An error: title "Erreur", one button "&Abandon". Returns when it is closed.
void errorBox(QWidget* parent, const QString& text);
// A question: title "Avertissement", buttons "&Oui" and "&Non". True only for "&Oui".
bool questionBox(QWidget* parent, const QString& text);

// The busy cursor for the whole application for the length of a scope; the cursor that
// was there before comes back however the scope is left.
class BusyCursor {
public:
    BusyCursor();
    ~BusyCursor();
    BusyCursor(const BusyCursor&) = delete;
    BusyCursor& operator=(const BusyCursor&) = delete;
};

}  // namespace velqorin::monitor

// The results of the modal dialogs, which the main window reads.
enum TModalResult : int { mrNone = 0, mrOk = 1, mrCancel = 2, mrAbort = 3 };
