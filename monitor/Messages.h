// The message-table convention and the two kinds of message box every window uses.
#pragma once

#include <QString>

class QFont;
class QPlainTextEdit;
class QWidget;

namespace velqorin::monitor {

// The windows' font, the one their fixed geometry was chosen for (see Messages.cpp).
QFont formFont();

// The lines of each window's message table (its hidden MemoTrad), by what they say.
enum class MainMessage : int {
    DhcpYes = 0, DhcpAutoIp = 1, DhcpRarp = 2, DhcpNo = 3,
    NeighbourhoodYes = 4, NeighbourhoodNo = 5,
    CaptureImpossible = 6, NotInGroup = 7,
    LinkNetwork = 11, LinkUsb = 12, LinkSerial = 13,
    Refreshing = 14,
    MasterNotFound = 15, BoxIsMaster = 16, NoMasterAvailable = 17,
    SyncPasswordRefused = 18, SyncError = 19,
};
enum class ConfigureMessage : int {
    WorkstationDhcpWithServer = 0, WorkstationDhcpNoServer = 1, WorkstationFixed = 2,
    GoOn = 3, AddressInUse = 4, PasswordRefused = 5, NetworkError = 6,
    VerdictWorkstationAddress = 7, VerdictCompatible = 8, VerdictUseDhcp = 9,
    VerdictUseFixed = 10, VerdictIncompatible = 11,
    BoxDhcp = 12, BoxFixed = 13, BoxInNeighbourhood = 14, BoxNotInNeighbourhood = 15,
};
enum class UnlockMessage : int { CodeRefused = 0, NetworkError = 1 };

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
