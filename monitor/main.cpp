// VelqorinNetworkMonitor: the three windows, created in their order, and the event loop.
#include <exception>

#include <QApplication>
#include <QLibraryInfo>
#include <QMessageBox>
#include <QScreen>

#include "Configure.h"
#include "Depanne.h"
#include "Principal.h"
#include "SecureStart.h"

namespace {

void centre(QWidget* window) {
    if (const QScreen* screen = window->screen())
        window->move(screen->availableGeometry().center() - window->rect().center());
}

}  // namespace

int main(int argc, char* argv[]) {
    using namespace velqorin::monitor;
    // With file capabilities: no code from folders or modules that the user names.
    const bool secure = runsInSecureMode();
    if (secure) {
        confineEnvironment();
        argc = withoutPluginArguments(argc, argv);
    }
    QApplication application(argc, argv);
    if (secure) QCoreApplication::setLibraryPaths({QLibraryInfo::path(QLibraryInfo::PluginsPath)});
    // No application display name: X11 would append it to every window's title.
    try {
        // The installed desktop entry's name, so that the desktop shows its icon for the window.
        QApplication::setDesktopFileName(QStringLiteral("com.quarvel.VelqorinNetworkMonitor"));
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
