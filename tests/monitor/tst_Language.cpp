// The language choice from the two settings files, the English module beside the
// program (three- or two-letter name), and the version caption over both.
#include <QDir>
#include <QFile>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTranslator>

#include "BoxRows.h"
#include "Configure.h"
#include "Depanne.h"
#include "Principal.h"
#include "Progress.h"
#include "Reinit.h"
#include "Services.h"
#include "ui_Configure.h"
#include "ui_Principal.h"

using namespace velqorin::monitor;

namespace {

void writeSettings(const QString& folder, const QByteArray& body) {
    QDir().mkpath(folder + "/Quarvel");
    QFile file(folder + "/Quarvel/Velqorin Network Monitor.conf");
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("[General]\n" + body);
}

}  // namespace

class LanguageTest : public QObject {
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> dir_;
    QString user_, machine_, modules_;

private slots:
    void init() {
        dir_ = std::make_unique<QTemporaryDir>();
        user_ = dir_->path() + "/user";
        machine_ = dir_->path() + "/machine";
        modules_ = dir_->path() + "/modules";
        QDir().mkpath(modules_);
        qputenv("XDG_CONFIG_HOME", user_.toUtf8());
        qputenv("XDG_CONFIG_DIRS", "relative/ignored:" + machine_.toUtf8() + ":/etc/xdg");
        setResourceModuleFolders({modules_});
        resetServices();
    }

    void cleanup() {
        delete MainForm;
        UnloadResourceModule();
    }

    void choice_data() {
        QTest::addColumn<QString>("user");
        QTest::addColumn<QString>("machine");
        QTest::addColumn<bool>("english");
        QTest::newRow("user en") << "en" << "fr" << true;
        QTest::newRow("user en, machine none") << "en" << "" << true;
        QTest::newRow("user empty, machine en") << "" << "en" << true;
        QTest::newRow("user 0, machine en") << "0" << "en" << true;
        QTest::newRow("user fr, machine en") << "fr" << "en" << false;
        QTest::newRow("user 1, machine en") << "1" << "en" << false;
        QTest::newRow("user EN") << "EN" << "" << false;
        QTest::newRow("machine En") << "" << "En" << false;
        QTest::newRow("neither") << "" << "" << false;
        QTest::newRow("user en with blank") << "en " << "" << false;
    }

    void choice() {
        QFETCH(QString, user);
        QFETCH(QString, machine);
        QFETCH(bool, english);
        QCOMPARE(wantsEnglish(user, machine), english);
    }

    void eachScopeIsReadOnItsOwn() {
        writeSettings(machine_, "Language=en\n");
        QCOMPARE(readLanguage(machineSettingsFile()), QStringLiteral("en"));
        QCOMPARE(readLanguage(userSettingsFile()), QString());  // no fallback to the machine
        writeSettings(user_, "Language=0\n");
        QCOMPARE(readLanguage(userSettingsFile()), QStringLiteral("0"));
        QCOMPARE(machineSettingsFile(), machine_ + "/Quarvel/Velqorin Network Monitor.conf");
    }

    void oneAdapterAtATime_data() {
        QTest::addColumn<QByteArray>("user");
        QTest::addColumn<QByteArray>("machine");
        QTest::addColumn<bool>("oneByOne");
        QTest::newRow("no file says it") << QByteArray() << QByteArray() << false;
        QTest::newRow("user true") << QByteArray("OneAdapterAtATime=true\n") << QByteArray() << true;
        QTest::newRow("user TRUE") << QByteArray("OneAdapterAtATime=TRUE\n") << QByteArray() << true;
        QTest::newRow("machine true") << QByteArray("Language=en\n")
                                      << QByteArray("OneAdapterAtATime=true\n") << true;
        QTest::newRow("user false wins") << QByteArray("OneAdapterAtATime=false\n")
                                         << QByteArray("OneAdapterAtATime=true\n") << false;
        QTest::newRow("user 1 is not true") << QByteArray("OneAdapterAtATime=1\n") << QByteArray()
                                            << false;
    }

    void oneAdapterAtATime() {
        QFETCH(QByteArray, user);
        QFETCH(QByteArray, machine);
        QFETCH(bool, oneByOne);
        if (!user.isEmpty()) writeSettings(user_, user);
        if (!machine.isEmpty()) writeSettings(machine_, machine);
        QCOMPARE(velqorin::monitor::oneAdapterAtATime(), oneByOne);
    }

    void discoveryRequests_data() {
        QTest::addColumn<QByteArray>("user");
        QTest::addColumn<QByteArray>("machine");
        QTest::addColumn<int>("requests");
        QTest::newRow("no file says it") << QByteArray() << QByteArray() << 3;
        QTest::newRow("user 1") << QByteArray("Requests=1\n") << QByteArray("Requests=5\n") << 1;
        QTest::newRow("machine 5") << QByteArray("Language=en\n") << QByteArray("Requests=5\n") << 5;
        QTest::newRow("above the most") << QByteArray("Requests=9\n") << QByteArray() << 5;
        QTest::newRow("below one") << QByteArray("Requests=0\n") << QByteArray() << 1;
        QTest::newRow("not a number") << QByteArray("Requests=many\n") << QByteArray("Requests=2\n") << 3;
    }

    void discoveryRequests() {
        QFETCH(QByteArray, user);
        QFETCH(QByteArray, machine);
        QFETCH(int, requests);
        if (!user.isEmpty()) writeSettings(user_, user);
        if (!machine.isEmpty()) writeSettings(machine_, machine);
        QCOMPARE(velqorin::monitor::discoveryRequests(), requests);
    }

    void switchesTheWindows_data() {
        QTest::addColumn<QByteArray>("userSettings");
        QTest::addColumn<QByteArray>("machineSettings");
        QTest::addColumn<QStringList>("modules");
        QTest::addColumn<bool>("english");
        const QStringList both{"VelqorinNetworkMonitor_enu.qm", "VelqorinNetworkMonitor_en.qm"};
        QTest::newRow("user en, two-letter module only") << QByteArray("Language=en\n") << QByteArray() << QStringList{"VelqorinNetworkMonitor_en.qm"} << true;
        QTest::newRow("machine en, three-letter module") << QByteArray() << QByteArray("Language=en\n") << QStringList{"VelqorinNetworkMonitor_enu.qm"} << true;
        QTest::newRow("user fr over machine en") << QByteArray("Language=fr\n") << QByteArray("Language=en\n") << both << false;
        QTest::newRow("no module") << QByteArray("Language=en\n") << QByteArray() << QStringList{} << false;
        QTest::newRow("no settings") << QByteArray() << QByteArray() << both << false;
    }

    void switchesTheWindows() {
        QFETCH(QByteArray, userSettings);
        QFETCH(QByteArray, machineSettings);
        QFETCH(QStringList, modules);
        QFETCH(bool, english);
        if (!userSettings.isEmpty()) writeSettings(user_, userSettings);
        if (!machineSettings.isEmpty()) writeSettings(machine_, machineSettings);
        for (const QString& name : modules)
            QVERIFY(QFile::copy(QStringLiteral(VELQORIN_MONITOR_QM), modules_ + "/" + name));
        MainForm = new TMainForm;
        auto* configure = new TConfigureForm(MainForm);
        QCOMPARE(MainForm->ui->RafraichirBitBtn->text(), english ? "Refresh" : QString::fromUtf8("Rafraîchir"));
        QCOMPARE(MainForm->Message(14), english ? "Refreshing..." : "Rafraichissement en cours...");
        QCOMPARE(MainForm->Message(6).contains("CAP_NET_RAW"), true);
        QCOMPARE(MainForm->windowTitle(), QStringLiteral("Velqorin Network Monitor"));
        // A dialog made after the switch is built in the new language, table included.
        QCOMPARE(configure->Message(5), english ? "The password was refused or the session has expired"
                                                 : QString::fromUtf8("Le mot de passe a été refusé ou la session a expiré"));
        QCOMPARE(configure->ui->CancelBitBtn->text(), english ? "&Cancel" : "&Annuler");
        QCOMPARE(MainForm->ui->MemoTrad->toPlainText().split('\n').size(), 20);
        // The texts of a refresh's progress, the row tooltips and the dialogs' waits.
        TSweepWatch::State listening;
        listening.phase = TSweepWatch::Phase::Listening;
        listening.names = {"vq0", "vq1"};
        listening.count = 2;
        QCOMPARE(TSweepWatch::text(listening), english ? "Listening on vq0, vq1" : QString::fromUtf8("Écoute de vq0, vq1"));
        listening.names = {"vq1"};
        listening.index = 1;
        QCOMPARE(TSweepWatch::text(listening), english ? "Listening on vq1 (2 of 2)" : QString::fromUtf8("Écoute de vq1 (2 sur 2)"));
        TSweepWatch::State link;
        link.phase = TSweepWatch::Phase::DialUp;
        link.names = {"ppp0"};
        link.count = 1;
        QCOMPARE(TSweepWatch::text(link), english ? "Dial-up link ppp0 (1 of 1)" : "Liaison ppp0 (1 sur 1)");
        QCOMPARE(adapterToolTip("vq0"), english ? "Box found on vq0" : QString::fromUtf8("Boîtier trouvé sur vq0"));
        QCOMPARE(TConfigureForm::tr("Attente de la réponse du boîtier..."),
                 english ? "Waiting for the box to answer..." : QString::fromUtf8("Attente de la réponse du boîtier..."));
    }

    void versionCaptionWinsOverTheModule() {
        writeSettings(user_, "Language=en\n");
        writeSettings(machine_, "Version=Velqorin Suite 4.2\n");
        QVERIFY(QFile::copy(QStringLiteral(VELQORIN_MONITOR_QM), modules_ + "/VelqorinNetworkMonitor_en.qm"));
        MainForm = new TMainForm;
        QCOMPARE(MainForm->ui->BitBtn1->text(), QStringLiteral("Quit"));
        QCOMPARE(MainForm->windowTitle(), QStringLiteral("Velqorin Suite 4.2"));
        // Only the main window's caption: a display name would be appended on X11 to the
        // title of every dialog and message box.
        QCOMPARE(QApplication::applicationDisplayName(), QCoreApplication::applicationName());
        QCoreApplication::processEvents();  // the change the translator posted arrives late
        QCOMPARE(MainForm->windowTitle(), QStringLiteral("Velqorin Suite 4.2"));
    }
};

QTEST_MAIN(LanguageTest)
#include "tst_Language.moc"
