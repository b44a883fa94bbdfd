// VelqorinNetworkMonitor: the three windows, created in their order, and the event loop.
#include <exception>

#include <QApplication>
#include <QMessageBox>
#include <QScreen>

#include "Configure.h"
#include "Depanne.h"
#include "Principal.h"

namespace {

void centre(QWidget* window) {
    if (const QScreen* screen = window->screen())
        window->move(screen->availableGeometry().center() - window->rect().center());
}

}  // namespace

int main(int argc, char* argv[]) {
    QApplication application(argc, argv);
    try {
        QApplication::setApplicationDisplayName(QStringLiteral("Velqorin Network Monitor"));
        // The installed desktop entry's name, so that the desktop shows its icon for the window.
        QApplication::setDesktopFileName(QStringLiteral("com.quarvel.VelqorinNetworkMonitor"));
        MainForm = new TMainForm;
        ConfigureForm = new TConfigureForm(MainForm);
        DebloqueForm = new TDebloqueForm(MainForm);
        centre(MainForm);
        MainForm->show();
        QApplication::exec();
    } catch (const std::exception& error) {
        QMessageBox::critical(nullptr, QApplication::applicationDisplayName(),
                              QString::fromLocal8Bit(error.what()));
    }
    delete MainForm;
    return 0;
}
