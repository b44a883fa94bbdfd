#include "Messages.h"

#include <QApplication>
#include <QCursor>
#include <QFont>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>

namespace velqorin::monitor {

QFont formFont() {
    QFont font;
    font.setFamilies({QStringLiteral("Liberation Sans"), QStringLiteral("Arial"),
                      QStringLiteral("DejaVu Sans Condensed"), QStringLiteral("DejaVu Sans")});
    font.setPointSize(8);
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
