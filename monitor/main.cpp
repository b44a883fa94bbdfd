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
    // No application display name: X11 would append it to every window's title.
    try {
        MainForm = new TMainForm;
        ConfigureForm = new TConfigureForm(MainForm);
        DebloqueForm = new TDebloqueForm(MainForm);
        centre(MainForm);
        MainForm->show();
        QApplication::exec();
    } catch (const std::exception& error) {
        QMessageBox::critical(nullptr, QStringLiteral("Velqorin Network Monitor"),
                              QString::fromLocal8Bit(error.what()));
    }
    delete MainForm;
    return 0;
}
