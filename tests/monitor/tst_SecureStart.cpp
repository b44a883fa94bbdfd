// What a start with file capabilities keeps of the environment and of the arguments.
#include <cstdlib>
#include <string>
#include <vector>

#include <QTest>

#include "SecureStart.h"

using namespace velqorin::monitor;

extern char** environ;

class SecureStartTest : public QObject {
    Q_OBJECT

private slots:
    void keptVariables_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("kept");
        for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "XAUTHORITY", "XDG_RUNTIME_DIR", "HOME",
                                 "XDG_CONFIG_HOME", "XDG_CONFIG_DIRS", "LANG", "LC_ALL", "LC_MESSAGES",
                                 "BROWSER", "QT_QPA_PLATFORM", "QT_SCALE_FACTOR", "QT_DEBUG_PLUGINS"})
            QTest::newRow(name) << QString::fromLatin1(name) << true;
        // Folders and modules of code, for Qt, GTK, Mesa and the loader, and what makes Qt
        // pick a desktop's theme plugin (which brings GTK and its settings' modules in).
        for (const char* name : {"QT_PLUGIN_PATH", "QT_QPA_PLATFORM_PLUGIN_PATH", "QT_QPA_PLATFORMTHEME",
                                 "QT_QPA_GENERIC_PLUGINS", "QT_STYLE_OVERRIDE", "GTK_MODULES", "GTK_PATH",
                                 "GTK3_MODULES", "GIO_EXTRA_MODULES", "LIBGL_DRIVERS_PATH",
                                 "__EGL_VENDOR_LIBRARY_DIRS", "LD_PRELOAD", "LD_LIBRARY_PATH",
                                 "XDG_CURRENT_DESKTOP", "DESKTOP_SESSION", "KDE_FULL_SESSION",
                                 "GNOME_DESKTOP_SESSION_ID", "OPENSSL_CONF", "DISPLAYS", "LC", "XDISPLAY", ""})
            QTest::newRow(*name ? name : "(empty)") << QString::fromLatin1(name) << false;
    }
    void keptVariables() {
        QFETCH(QString, name);
        QFETCH(bool, kept);
        QCOMPARE(keptInSecureMode(name.toStdString()), kept);
    }

    void pluginArguments_data() {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QStringList>("expected");
        const QString p = QStringLiteral("VelqorinNetworkMonitor");
        QTest::newRow("none") << QStringList{p} << QStringList{p};
        QTest::newRow("plugin folder")
            << QStringList{p, "-platformpluginpath", "/tmp/x", "-style", "fusion"}
            << QStringList{p, "-style", "fusion"};
        QTest::newRow("two dashes") << QStringList{p, "--platformpluginpath", "/tmp/x"} << QStringList{p};
        QTest::newRow("with =") << QStringList{p, "-platformpluginpath=/tmp/x", "-platform", "xcb"}
                                << QStringList{p, "-platform", "xcb"};
        QTest::newRow("theme") << QStringList{p, "-platformtheme", "gtk3", "--platformtheme=kde"}
                               << QStringList{p};
        QTest::newRow("option last, no value") << QStringList{p, "-platformpluginpath"} << QStringList{p};
        QTest::newRow("look-alikes stay")
            << QStringList{p, "-platformpluginpaths", "-platform", "offscreen", "x=-platformtheme"}
            << QStringList{p, "-platformpluginpaths", "-platform", "offscreen", "x=-platformtheme"};
        // As Qt reads them: the word after the option is its value, whatever it looks like.
        QTest::newRow("value that looks like an option")
            << QStringList{p, "-platformtheme", "-platformpluginpath", "-style", "fusion"}
            << QStringList{p, "-style", "fusion"};
    }
    void pluginArguments() {
        QFETCH(QStringList, arguments);
        QFETCH(QStringList, expected);
        std::vector<std::string> texts;
        for (const QString& a : arguments) texts.push_back(a.toStdString());
        std::vector<char*> argv;
        for (std::string& t : texts) argv.push_back(t.data());
        argv.push_back(nullptr);
        const int argc = withoutPluginArguments(static_cast<int>(texts.size()), argv.data());
        QStringList got;
        for (int i = 0; i < argc; ++i) got << QString::fromLocal8Bit(argv[static_cast<std::size_t>(i)]);
        QCOMPARE(got, expected);
        QCOMPARE(argv[static_cast<std::size_t>(argc)], nullptr);
    }

    void noArguments() {
        char* argv[] = {nullptr};
        QCOMPARE(withoutPluginArguments(0, argv), 0);
        QCOMPARE(argv[0], nullptr);
    }

    void environment() {
        std::vector<std::string> saved;
        for (char** e = environ; *e != nullptr; ++e) saved.emplace_back(*e);
        ::setenv("QT_PLUGIN_PATH", "/tmp/plugins", 1);
        ::setenv("GTK_MODULES", "/tmp/evil.so", 1);
        ::setenv("XDG_CURRENT_DESKTOP", "GNOME", 1);
        ::setenv("DISPLAY", ":7", 1);
        ::setenv("LC_TIME", "fr_FR.UTF-8", 1);
        ::setenv("BROWSER", "/usr/bin/firefox", 1);

        confineEnvironment();

        QCOMPARE(std::getenv("QT_PLUGIN_PATH"), nullptr);
        QCOMPARE(std::getenv("GTK_MODULES"), nullptr);
        QCOMPARE(std::getenv("XDG_CURRENT_DESKTOP"), nullptr);
        QCOMPARE(QByteArray(std::getenv("DISPLAY")), QByteArray(":7"));
        QCOMPARE(QByteArray(std::getenv("LC_TIME")), QByteArray("fr_FR.UTF-8"));
        QCOMPARE(QByteArray(std::getenv("BROWSER")), QByteArray("/usr/bin/firefox"));
        for (char** e = environ; *e != nullptr; ++e) {
            const std::string_view entry(*e);
            QVERIFY2(keptInSecureMode(entry.substr(0, entry.find('='))), *e);
        }

        for (const char* name : {"QT_PLUGIN_PATH", "GTK_MODULES", "XDG_CURRENT_DESKTOP", "DISPLAY",
                                 "LC_TIME", "BROWSER"})
            ::unsetenv(name);
        for (std::string& entry : saved) {
            const auto eq = entry.find('=');
            ::setenv(entry.substr(0, eq).c_str(), entry.substr(eq + 1).c_str(), 1);
        }
    }
};

QTEST_GUILESS_MAIN(SecureStartTest)
#include "tst_SecureStart.moc"
