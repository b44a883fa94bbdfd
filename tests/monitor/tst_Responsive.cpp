// The windows stay alive while they wait for the network: the sweep and the commands run
// off the window thread, the event loop turns meanwhile, the input that could reach the
// analyser is held, progress is shown, and closing during an exchange ends cleanly.
#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTreeWidget>

#include "BoxRows.h"
#include "Configure.h"
#include "Depanne.h"
#include "Exchange.h"
#include "Principal.h"
#include "Progress.h"
#include "TestSupport.h"
#include "ui_Principal.h"

using namespace velqorin::monitor;
using namespace velqorin::monitor::test;

namespace {

BoxSpec box(std::string serial, std::uint32_t syncSlave = 0, std::uint32_t master = 0) {
    BoxSpec boxSpec;
    boxSpec.serial = serial;
    boxSpec.mac[5] = static_cast<std::uint8_t>(std::stoi(serial) & 0xFF);
    boxSpec.syncSlave = syncSlave;
    boxSpec.syncMaster = master;
    boxSpec.syncFloor = syncSlave != 0 ? 1 : 0;
    return boxSpec;
}

QTreeWidgetItem* rowOf(QTreeWidget* list, const QString& serial) {
    for (int i = 0; i < list->topLevelItemCount(); ++i)
        if (list->topLevelItem(i)->text(0) == serial) return list->topLevelItem(i);
    return nullptr;
}

using Observer = CVelqorinNetworkAnalyse::SweepObserver;

}  // namespace

class ResponsiveTest : public QObject {
    Q_OBJECT

    QTemporaryDir settings_;
    FakeFleet fleet_;

    Ui::TMainForm& ui() { return *MainForm->ui; }

    void refreshWith(std::vector<BoxSpec> boxes) {
        fleet_.boxes = std::move(boxes);
        MainForm->RafraichirExecute();
    }

private slots:
    void initTestCase() {
        qputenv("XDG_CONFIG_HOME", settings_.path().toUtf8() + "/user");
        qputenv("XDG_CONFIG_DIRS", settings_.path().toUtf8() + "/machine");
    }

    void init() {
        resetServices();
        fleet_ = FakeFleet{};
        fleet_.install();
        services().captureCheck = [](CVelqorinNetworkAnalyse&) { return true; };
        services().configSynchro = [](CVelqorinBoxOnNetwork&, const char*, bool, unsigned, int,
                                      bool) { return 0; };
        MainForm = new TMainForm;
        ConfigureForm = new TConfigureForm(MainForm);
        DebloqueForm = new TDebloqueForm(MainForm);
    }

    void cleanup() {
        cancelModalWatches();
        QVERIFY(!exchanges().running());
        delete MainForm;
        resetServices();
    }

    void aTimerOfTheWindowThreadFiresDuringTheSweep() {
        int ticks = 0;
        QTimer heartbeat;
        heartbeat.setInterval(5);
        connect(&heartbeat, &QTimer::timeout, [&] { ++ticks; });
        heartbeat.start();
        int ticksAtStart = -1, ticksAtEnd = -1;
        fleet_.windowMs = 300;
        fleet_.during = [&] { ticksAtStart = ticks; };
        fleet_.beforeEnd = [&] { ticksAtEnd = ticks; };
        refreshWith({box("1")});
        QVERIFY(!fleet_.onTheWindowThread);
        QVERIFY(ticksAtStart >= 0);
        // 300 ms of window: the 5 ms timer fired all along, not once the sweep was over.
        QVERIFY2(ticksAtEnd - ticksAtStart >= 10,
                 qPrintable(QString("%1 ticks during the sweep").arg(ticksAtEnd - ticksAtStart)));
        QCOMPARE(ui().VelqorinListView->topLevelItemCount(), 1);
    }

    void inputThatCouldReachTheAnalyserIsHeld() {
        refreshWith({box("2555"), box("2560", 1, 2555)});
        // The panel is open for editing and a row of the first list selected.
        QTreeWidget* chains = ui().VelqorinListView2;
        chains->setCurrentItem(rowOf(chains, "2560"));
        MainForm->VelqorinListView2DblClick();
        QVERIFY(ui().GroupBoxSyncConfig->isEnabled());
        QTreeWidget* boxes = ui().VelqorinListView;
        rowOf(boxes, "2555")->setSelected(true);
        QVERIFY(ui().ConfigurerBitBtn->isEnabled());

        bool dialog = false;
        onNextModal([&](QWidget* w) { dialog = true; w->close(); }, 2000);
        fleet_.windowMs = 200;
        fleet_.during = [&] {
            QVERIFY(!ui().RafraichirBitBtn->isEnabled());
            QVERIFY(!ui().Rafraichir->isEnabled());
            QVERIFY(!ui().CheckBox1->isEnabled());
            QVERIFY(!ui().ConfigurerBitBtn->isEnabled() && !ui().Configurer->isEnabled());
            QVERIFY(!ui().OuvrirBitBtn->isEnabled() && !ui().Ouvrir->isEnabled());
            QVERIFY(!ui().GroupBoxSyncConfig->isEnabled());
            QVERIFY(!MainForm->TimerConfig.isActive());
            QVERIFY(MainForm->ExchangeUnderWay());
            // No row can be selected: the records behind them are being freed.
            QVERIFY(boxes->selectedItems().isEmpty() && chains->selectedItems().isEmpty());
            QTest::mouseClick(boxes->viewport(), Qt::LeftButton, {},
                              boxes->visualItemRect(rowOf(boxes, "2560")).center());
            QVERIFY(boxes->selectedItems().isEmpty());
            QVERIFY(selectedBox(boxes) == nullptr);
            QTest::mouseDClick(chains->viewport(), Qt::LeftButton, {},
                               chains->visualItemRect(rowOf(chains, "2560")).center());
            QVERIFY(!ui().GroupBoxSyncConfig->isEnabled());
            // None of the ways to a refresh or a command starts one.
            QTest::keyClick(boxes, Qt::Key_F5);
            QTest::keyClick(boxes, Qt::Key_D, Qt::ControlModifier);
            ui().Rafraichir->trigger();
            ui().CheckBox1->click();
            MainForm->TimerConfigTimer();
            MainForm->ConfigurerExecute();
            MainForm->ButtonSyncClick();
            QTest::qWait(50);
            QVERIFY(!MainForm->TimerConfig.isActive());
        };
        const int before = fleet_.sweeps;
        MainForm->RafraichirExecute();
        QCOMPARE(fleet_.sweeps, before + 1);
        QVERIFY(!ui().CheckBox1->isChecked());
        QTest::qWait(100);
        QVERIFY(!dialog);
        // Idle again: the usual rules.
        QVERIFY(ui().RafraichirBitBtn->isEnabled() && ui().Rafraichir->isEnabled());
        QVERIFY(ui().CheckBox1->isEnabled());
        QVERIFY(MainForm->TimerConfig.isActive());
        QVERIFY(!MainForm->ExchangeUnderWay());
        rowOf(boxes, "2560")->setSelected(true);
        QVERIFY(selectedBox(boxes) != nullptr);
    }

    void theStatusBarFollowsTheSweep() {
        fleet_.windowMs = 400;
        QString asking, listening, panel0;
        int value = -1;
        fleet_.during = [&] {
            QTest::qWait(120);
            asking = MainForm->StatusProgress->isVisible() ? MainForm->StatusProgress->text() : "";
        };
        fleet_.beforeEnd = [&] {
            QTest::qWait(120);
            listening = MainForm->StatusProgress->text();
            value = MainForm->StatusProgress->bar()->value();
            panel0 = MainForm->StatusPanel0->text();
        };
        MainForm->show();  // the first paint's refresh is the one watched
        QTRY_COMPARE(fleet_.sweeps, 1);
        QCOMPARE(asking, QString::fromUtf8("Interrogation de vqtest0 (1 sur 1)..."));
        QCOMPARE(listening, QString::fromUtf8("Écoute de vqtest0"));
        // About 400 ms of a 3100 ms window, give or take the reads.
        QVERIFY2(value >= 100 && value <= 700, qPrintable(QString::number(value)));
        QCOMPARE(panel0, QStringLiteral("Rafraichissement en cours..."));
        QVERIFY(!MainForm->StatusProgress->isVisible());
        QVERIFY(MainForm->StatusPanel0->text().isEmpty());
    }

    void progressTexts_data() {
        QTest::addColumn<QString>("calls");  // a: adapter, l: listening, d: dial-up link
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("atLeast");   // window per mille
        QTest::addColumn<int>("atMost");
        QTest::newRow("nothing yet") << "" << "" << 0 << 1000;
        QTest::newRow("asking the third of eight") << "a" << "Interrogation de vq2 (3 sur 8)..." << 0 << 100;
        QTest::newRow("all at once, half way") << "al" << "Écoute de vq0, vq1, vq2" << 480 << 600;
        QTest::newRow("one at a time") << "aL" << "Écoute de vq2 (3 sur 8)" << 480 << 600;
        QTest::newRow("dial-up link") << "ald" << "Liaison ppp1 (2 sur 2)" << 0 << 1000;
    }

    void progressTexts() {
        QFETCH(QString, calls);
        QFETCH(QString, text);
        TSweepWatch watch(exchanges());
        const Observer* ethernet = watch.ethernet();
        const Observer* dialUp = watch.dialUp();
        const char* all[] = {"vq0", "vq1", "vq2"};
        const char* one[] = {"vq2"};
        for (const QChar call : calls) {
            if (call == 'a') ethernet->adapter(ethernet->context, "vq2", 2, 8);
            if (call == 'l') ethernet->listening(ethernet->context, all, 3, 1600);
            if (call == 'L') ethernet->listening(ethernet->context, one, 1, 1600);
            if (call == 'd') dialUp->adapter(dialUp->context, "ppp1", 1, 2);
        }
        const TSweepWatch::State state = watch.state();
        QCOMPARE(TSweepWatch::text(state), text);
        QFETCH(int, atLeast);
        QFETCH(int, atMost);
        QVERIFY2(state.windowPermille >= atLeast && state.windowPermille <= atMost,
                 qPrintable(QString::number(state.windowPermille)));
        // The stop the exchange is asked for reaches both passes.
        QVERIFY(!ethernet->stopRequested(ethernet->context));
        exchanges().requestStop();
        QVERIFY(ethernet->stopRequested(ethernet->context));
        QVERIFY(dialUp->stopRequested(dialUp->context));
        // The next exchange starts without it.
        QVERIFY(exchanges().run([] { return 0; }).has_value());
        QVERIFY(!ethernet->stopRequested(ethernet->context));
    }

    void theCheckBoxAddsTheDialUpPass() {
        ui().CheckBox1->setChecked(true);
        fleet_.windowMs = 40;
        MainForm->RafraichirExecute();
        QVERIFY(fleet_.dialUpAsked);
        ui().CheckBox1->setChecked(false);
        MainForm->RafraichirExecute();
        QVERIFY(!fleet_.dialUpAsked);
    }

    void oneExchangeAtATime() {
        int inner = 0;
        const auto outer = exchanges().run([&] {
            QThread::msleep(50);
            return 1;
        });
        QCOMPARE(outer, std::optional<int>(1));
        // A second exchange asked while one runs does not run.
        bool ranInside = false;
        std::optional<int> second;
        QTimer::singleShot(10, [&] { second = exchanges().run([&] { return ++inner; }); ranInside = true; });
        const auto first = exchanges().run([] {
            QThread::msleep(200);
            return 7;
        });
        QTRY_VERIFY(ranInside);
        QCOMPARE(first, std::optional<int>(7));
        QVERIFY(!second.has_value());
        QCOMPARE(inner, 0);
        QVERIFY(!exchanges().running());
    }

    void closingDuringARefreshStopsTheSweep() {
        fleet_.boxes = {box("1")};
        MainForm->show();
        QTRY_COMPARE(fleet_.sweeps, 1);  // the first paint's
        fleet_.windowMs = 20000;
        fleet_.during = [] { MainForm->close(); };
        MainForm->RafraichirExecute();
        QVERIFY(fleet_.stopped);
        QVERIFY(!MainForm->isVisible());
        QVERIFY(!exchanges().running());
        // Nothing is left to run: no timer, no refresh.
        QVERIFY(!MainForm->TimerConfig.isActive());
        const int sweeps = fleet_.sweeps;
        MainForm->RafraichirExecute();
        QCOMPARE(fleet_.sweeps, sweeps);
    }

    void closingTheProgramDuringItsFirstRefreshEndsItsEventLoop() {
        fleet_.windowMs = 20000;
        fleet_.during = [] { MainForm->close(); };
        // Should it hang, the test fails rather than waits.
        QTimer failSafe;
        failSafe.setSingleShot(true);
        connect(&failSafe, &QTimer::timeout, [] { QCoreApplication::exit(3); });
        failSafe.start(15000);
        MainForm->show();  // the first paint starts the refresh
        const int status = QApplication::exec();
        QCOMPARE(status, 0);
        QCOMPARE(fleet_.sweeps, 1);
        QVERIFY(fleet_.stopped);
        QVERIFY(!exchanges().running());
    }

    void closingDuringASynchronisationCommandWaitsForItsEnd() {
        refreshWith({box("2555"), box("2600"), box("2560", 1, 2555)});
        QTreeWidget* chains = ui().VelqorinListView2;
        chains->setCurrentItem(rowOf(chains, "2560"));
        MainForm->VelqorinListView2DblClick();
        bool commandEnded = false;
        QString waitText;
        bool panelHeld = false;
        services().configSynchro = [&](CVelqorinBoxOnNetwork&, const char*, bool, unsigned, int, bool) {
            onWindowThread([&] {
                waitText = MainForm->StatusProgress->text();
                panelHeld = !ui().GroupBoxSyncConfig->isEnabled() && !ui().RafraichirBitBtn->isEnabled();
                MainForm->close();
            });
            QThread::msleep(200);  // the box takes its time
            commandEnded = true;
            return 0;
        };
        const int sweeps = fleet_.sweeps;
        ui().ButtonSync->click();
        QVERIFY(commandEnded);
        QCOMPARE(waitText, QString::fromUtf8("Attente de la réponse du boîtier 2560..."));
        QVERIFY(panelHeld);
        QCOMPARE(fleet_.sweeps, sweeps);  // no refresh after the command once closed
        QVERIFY(!exchanges().running());
    }
};

QTEST_MAIN(ResponsiveTest)
#include "tst_Responsive.moc"
