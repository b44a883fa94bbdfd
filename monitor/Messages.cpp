#include "Messages.h"

#include <QApplication>
#include <QCursor>
#include <QFont>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>

#include "PlainText.h"

namespace velqorin::monitor {

QFont formFont() {
    // The forms were laid out for an 11-pixel system font; DejaVu Sans Condensed at 10 pixels
    // sets every caption in the room it was given, in French and in English. Pixels rather
    // than points, and light hinting whatever the desktop asks for: the widths must not
    // depend on the screen's resolution nor on full hinting, which widens this face.
    QFont font(QStringLiteral("DejaVu Sans Condensed"));
    font.setPixelSize(10);
    font.setHintingPreference(QFont::PreferVerticalHinting);
    return font;
}

QString memoLine(const QPlainTextEdit* memo, int line) {
    const QStringList lines = memo->toPlainText().split(QLatin1Char('\n'));
    return lines.value(line);
}

void errorBox(QWidget* parent, const QString& text) {
    QMessageBox box(QMessageBox::Critical, QCoreApplication::translate("Messages", "Erreur"), text,
                    QMessageBox::NoButton, parent);
    box.setObjectName(QStringLiteral("ErrorBox"));
    showAsPlainText(box);
    QPushButton* abort =
        box.addButton(QCoreApplication::translate("Messages", "&Abandon"), QMessageBox::RejectRole);
    box.setDefaultButton(abort);
    box.setEscapeButton(abort);
    // A busy cursor left by the caller would hide that the box waits for the operator.
    QApplication::setOverrideCursor(Qt::ArrowCursor);
    box.exec();
    QApplication::restoreOverrideCursor();
}

bool questionBox(QWidget* parent, const QString& text) {
    QMessageBox box(QMessageBox::Warning, QCoreApplication::translate("Messages", "Avertissement"),
                    text, QMessageBox::NoButton, parent);
    box.setObjectName(QStringLiteral("QuestionBox"));
    showAsPlainText(box);
    QPushButton* yes =
        box.addButton(QCoreApplication::translate("Messages", "&Oui"), QMessageBox::YesRole);
    QPushButton* no =
        box.addButton(QCoreApplication::translate("Messages", "&Non"), QMessageBox::NoRole);
    box.setDefaultButton(yes);
    box.setEscapeButton(no);
    QApplication::setOverrideCursor(Qt::ArrowCursor);
    box.exec();
    QApplication::restoreOverrideCursor();
    return box.clickedButton() == yes;
}

BusyCursor::BusyCursor() { QApplication::setOverrideCursor(Qt::WaitCursor); }

BusyCursor::~BusyCursor() { QApplication::restoreOverrideCursor(); }

}  // namespace velqorin::monitor
