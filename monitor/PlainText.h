// Texts from boxes, files and the network, shown as the text they are. A box chooses its
// serial number and version text; where Qt guesses that a text is rich text (tooltips,
// labels, message boxes) such a text could lay itself out, load images from any path
// (a "<img src=/dev/zero>" reads until memory runs out) or pass for a message of ours.
#pragma once

#include <QString>

class QLabel;
class QMessageBox;
class QWidget;

namespace velqorin::monitor {

// The rich text that shows `text` literally, line breaks and runs of spaces kept.
QString literalRichText(const QString& text);

// Every tooltip of the application, of widgets and of list cells alike, is shown as plain
// text from then on. Called by each window; the first call installs it for the process.
void showToolTipsAsPlainText();

// The labels of `form` (its own and its children's, those made later excepted) and the
// label or message box given show their text as plain text.
void showLabelsAsPlainText(QWidget* form);
void showAsPlainText(QLabel* label);
void showAsPlainText(QMessageBox& box);

}  // namespace velqorin::monitor
