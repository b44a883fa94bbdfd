// The synchronisation tab with a box list made in the test: rows and their order, the
// panel in each state, the change check, the conversion error and sending a set-up.
#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTest>
#include <QTreeWidget>

#include "BoxRows.h"
#include "Configure.h"
#include "Depanne.h"
#include "Principal.h"
#include "TestSupport.h"
#include "ui_Principal.h"

using namespace velqorin::monitor;
using namespace velqorin::monitor::test;

Q_DECLARE_METATYPE(velqorin::monitor::test::BoxSpec)
Q_DECLARE_METATYPE(std::vector<velqorin::monitor::test::BoxSpec>)

namespace {

BoxSpec master(std::string serial) {
    BoxSpec boxSpec;
    boxSpec.serial = std::move(serial);
    boxSpec.mac[5] = static_cast<std::uint8_t>(std::stoi(boxSpec.serial) & 0xFF);
    boxSpec.mac[4] = static_cast<std::uint8_t>(std::stoi(boxSpec.serial) >> 8);
    return boxSpec;
}

BoxSpec follower(std::string serial, std::uint32_t of, std::int32_t floor) {
    BoxSpec boxSpec = master(std::move(serial));
    boxSpec.syncSlave = 1;
    boxSpec.syncMaster = of;
    boxSpec.syncFloor = floor;
    return boxSpec;
}

struct SentSetUp {
    QString password;
    bool masterMode;
    unsigned master;
    int floor;
    bool now;
};

}  // namespace

class SyncTabTest : public QObject {
    Q_OBJECT

    QTemporaryDir settings_;
    FakeFleet fleet_;
    QList<SentSetUp> sent_;
    int answer_ = 0;

    Ui::TMainForm& ui() { return *MainForm->ui; }
    QTreeWidget* list() { return MainForm->ui->VelqorinListView2; }

    void refreshWith(std::vector<BoxSpec> boxes) {
        fleet_.boxes = std::move(boxes);
        MainForm->RafraichirExecute();
    }
    QTreeWidgetItem* rowOf(const QString& serial) {
        for (int i = 0; i < list()->topLevelItemCount(); ++i)
            if (list()->topLevelItem(i)->text(0) == serial) return list()->topLevelItem(i);
        return nullptr;
    }
    void select(const QString& serial) { list()->setCurrentItem(rowOf(serial)); }
    void edit(const QString& serial) {
        select(serial);
        MainForm->VelqorinListView2DblClick();
    }
    bool followControlsEnabled() {
        return ui().ComboBoxMaster->isEnabled() && ui().ComboBoxFloor->isEnabled() &&
               ui().LabelMaster->isEnabled() && ui().LabelFloor->isEnabled() &&
               ui().ButtonSync->isEnabled();
    }
    QString status() { return MainForm->StatusPanel1->text(); }

private slots:
    void initTestCase() {
        qputenv("XDG_CONFIG_HOME", settings_.path().toUtf8() + "/user");
        qputenv("XDG_CONFIG_DIRS", settings_.path().toUtf8() + "/machine");
    }

    void init() {
        resetServices();
        fleet_ = FakeFleet{};
        fleet_.install();
        sent_.clear();
        answer_ = 0;
        services().captureCheck = [](CVelqorinNetworkAnalyse&) { return true; };
        services().configSynchro = [this](CVelqorinBoxOnNetwork&, const char* password, bool mode,
                                          unsigned m, int floor, bool now) {
            sent_ << SentSetUp{QString::fromUtf8(password), mode, m, floor, now};
            return answer_;
        };
        MainForm = new TMainForm;
        ConfigureForm = new TConfigureForm(MainForm);
        DebloqueForm = new TDebloqueForm(MainForm);
    }

    void cleanup() {
        cancelModalWatches();
        delete MainForm;
        resetServices();
    }

    void rowsInChainOrder() {
        refreshWith({follower("2560", 2555, 1), master("2600"), follower("2570", 2555, -2),
                     master("2555")});
        QStringList serials, modes, masters, floors;
        for (int i = 0; i < list()->topLevelItemCount(); ++i) {
            const QTreeWidgetItem* row = list()->topLevelItem(i);
            serials << row->text(0);
            modes << row->text(1);
            masters << row->text(2);
            floors << row->text(3);
        }
        QCOMPARE(serials, QStringList({"", "2555", "2570", "2560", "", "2600"}));
        QCOMPARE(modes, QStringList({"", "M", "E", "E", "", "M"}));
        QCOMPARE(masters, QStringList({"", "...", "2555", "2555", "", "..."}));
        QCOMPARE(floors, QStringList({"", "...", "-2", "1", "", "..."}));
        // Each separator carries the master below it.
        QCOMPARE(boxItem(list()->topLevelItem(0))->box(), boxItem(list()->topLevelItem(1))->box());
        QCOMPARE(boxItem(list()->topLevelItem(0))->imageIndex(), int(kLampNone));
    }

    void onlyLanBoxesButEveryMasterOffered() {
        BoxSpec usbMaster = master("3000");
        usbMaster.mac[3] = 0x04;
        refreshWith({usbMaster, follower("2560", 3000, 1)});
        QCOMPARE(list()->topLevelItemCount(), 1);
        edit("2560");
        QCOMPARE(ui().ComboBoxMaster->count(), 1);
        QCOMPARE(ui().ComboBoxMaster->itemText(0), QString("3000"));
        QCOMPARE(status(), QString());
    }

    void separatorIsNoSelection() {
        refreshWith({master("2555"), follower("2560", 2555, 1)});
        list()->setCurrentItem(list()->topLevelItem(0));
        QVERIFY(!ui().OuvrirBitBtn->isEnabled());
        QVERIFY(!ui().ConfigurerBitBtn->isEnabled());
        MainForm->VelqorinListView2DblClick();
        QVERIFY(!ui().GroupBoxSyncConfig->isEnabled());
        QCOMPARE(ui().ComboBoxMaster->currentText(), QString());
        QCOMPARE(ui().ComboBoxFloor->currentText(), QString());
        select("2560");
        QVERIFY(ui().OuvrirBitBtn->isEnabled());
        QVERIFY(ui().ConfigurerBitBtn->isEnabled());
    }

    void lampsAndAges_data() {
        QTest::addColumn<BoxSpec>("boxSpec");
        QTest::addColumn<int>("image");
        QTest::addColumn<int>("state");
        QTest::addColumn<QString>("age");
        auto f = [](std::uint32_t done, std::uint32_t fault, std::uint32_t age) {
            BoxSpec s = follower("2560", 2555, 1);
            s.syncDone = done;
            s.syncFault = fault;
            s.syncAge = age;
            return s;
        };
        QTest::newRow("0 s") << f(1, 0, 0) << int(kLampGreen) << int(kLampNone) << "00s";
        QTest::newRow("59 s") << f(1, 0, 59) << int(kLampGreen) << int(kLampNone) << "59s";
        QTest::newRow("60 s") << f(1, 0, 60) << int(kLampGreen) << int(kLampNone) << "01m 00s";
        QTest::newRow("hour") << f(1, 0, 3600) << int(kLampGreen) << int(kLampNone) << "01h 00m 00s";
        QTest::newRow("day") << f(1, 0, 86400) << int(kLampGreen) << int(kLampNone) << "1j 00h 00m 00s";
        QTest::newRow("all units") << f(1, 0, 90061) << int(kLampGreen) << int(kLampNone)
                                   << "1j 01h 01m 01s";
        QTest::newRow("fault wins") << f(1, 1, 90061) << int(kLampGrey) << int(kLampNone) << "...";
        QTest::newRow("never synchronised") << f(0, 0, 30) << int(kLampRed) << int(kLampNone) << "...";
        BoxSpec beige = f(1, 0, 5);
        beige.stateShown = 1;
        QTest::newRow("beige state") << beige << int(kLampGreen) << int(kLampBeige) << "05s";
        BoxSpec blue = beige;
        blue.stateAlt = 1;
        QTest::newRow("blue state") << blue << int(kLampGreen) << int(kLampBlue) << "05s";
        QTest::newRow("master") << master("2555") << int(kLampGreen) << int(kLampNone) << "...";
    }

    void lampsAndAges() {
        QFETCH(BoxSpec, boxSpec);
        QFETCH(int, image);
        QFETCH(int, state);
        QFETCH(QString, age);
        refreshWith({boxSpec});
        TBoxItem* row = boxItem(rowOf(QString::fromStdString(boxSpec.serial)));
        QVERIFY(row != nullptr);
        QCOMPARE(row->imageIndex(), image);
        QCOMPARE(row->stateIndex(), state);
        QCOMPARE(row->text(4), age);
    }

    void panelStates_data() {
        QTest::addColumn<std::vector<BoxSpec>>("boxes");
        QTest::addColumn<QString>("serial");
        QTest::addColumn<int>("entry");  // -1: no message
        QTest::addColumn<bool>("ticked");
        QTest::addColumn<bool>("modeEnabled");
        QTest::addColumn<QString>("masterText");
        QTest::addColumn<QString>("floorText");
        QTest::addColumn<bool>("followEnabled");
        QTest::newRow("no master available")
            << std::vector<BoxSpec>{follower("2560", 2555, 1)} << "2560" << 17 << false << false
            << "2555" << "1" << false;
        QTest::newRow("master with followers")
            << std::vector<BoxSpec>{master("2555"), follower("2560", 2555, 1), follower("2570", 2555, -2),
                                    master("2600")}
            << "2555" << 16 << true << false << "..." << "0" << false;
        QTest::newRow("follower whose master is missing")
            << std::vector<BoxSpec>{master("2600"), follower("2560", 2555, 1)} << "2560" << 15
            << false << true << "2555" << "1" << true;
        QTest::newRow("follower of a master found")
            << std::vector<BoxSpec>{master("2555"), follower("2560", 2555, -3)} << "2560" << -1
            << false << true << "2555" << "-3" << true;
        QTest::newRow("master nobody follows")
            << std::vector<BoxSpec>{master("2555"), master("2600")} << "2600" << -1 << true << true
            << "..." << "0" << false;
    }

    void panelStates() {
        QFETCH(std::vector<BoxSpec>, boxes);
        QFETCH(QString, serial);
        QFETCH(int, entry);
        refreshWith(boxes);
        edit(serial);
        QVERIFY(ui().GroupBoxSyncConfig->isEnabled());
        QVERIFY(ui().EditPassword->isEnabled());
        QCOMPARE(status(), entry < 0 ? QString() : MainForm->Message(entry));
        QTEST(ui().CheckBoxMode->isChecked(), "ticked");
        QTEST(ui().CheckBoxMode->isEnabled(), "modeEnabled");
        QTEST(ui().LabelMode->isEnabled(), "modeEnabled");
        QTEST(ui().ComboBoxMaster->currentText(), "masterText");
        QTEST(ui().ComboBoxFloor->currentText(), "floorText");
        QTEST(followControlsEnabled(), "followEnabled");
        QVERIFY(!ui().ButtonValidConfig->isEnabled());
    }

    void viewEditAndTimer() {
        refreshWith({master("2555"), follower("2560", 2555, 1), follower("2570", 2555, 2)});
        QVERIFY(MainForm->TimerConfig.isActive());
        select("2560");
        QVERIFY(!ui().GroupBoxSyncConfig->isEnabled());
        QCOMPARE(ui().ComboBoxMaster->currentText(), QString("2555"));
        QVERIFY(MainForm->TimerConfig.isActive());
        // A real double-click on the row opens the panel for editing.
        QTest::mouseDClick(list()->viewport(), Qt::LeftButton, {},
                           list()->visualItemRect(rowOf("2560")).center());
        QVERIFY(ui().GroupBoxSyncConfig->isEnabled());
        QVERIFY(!MainForm->TimerConfig.isActive());
        ui().EditPassword->setText("secret");
        select("2570");
        QVERIFY(!ui().GroupBoxSyncConfig->isEnabled());
        QVERIFY(MainForm->TimerConfig.isActive());
        QCOMPARE(ui().ComboBoxFloor->currentText(), QString("2"));
        QCOMPARE(ui().EditPassword->text(), QString("secret"));
        // "Configurer" from this list opens the panel as a double-click does.
        MainForm->ConfigurerExecute();
        QVERIFY(ui().GroupBoxSyncConfig->isEnabled());
        QVERIFY(!MainForm->TimerConfig.isActive());
    }

    void untickingAMasterOffersTheFirstMaster() {
        refreshWith({master("2600"), master("900"), master("1000")});
        edit("2600");
        QVERIFY(ui().CheckBoxMode->isEnabled());
        ui().CheckBoxMode->click();
        // Text order, not numeric.
        QCOMPARE(ui().ComboBoxMaster->itemText(0), QString("1000"));
        QCOMPARE(ui().ComboBoxMaster->itemText(1), QString("900"));
        QCOMPARE(ui().ComboBoxMaster->currentText(), QString("1000"));
        QCOMPARE(ui().ComboBoxFloor->currentText(), QString("1"));
        QVERIFY(followControlsEnabled());
        QVERIFY(ui().ButtonValidConfig->isEnabled());
        ui().ButtonValidConfig->click();
        QCOMPARE(sent_.size(), 1);
        QCOMPARE(sent_[0].masterMode, false);
        QCOMPARE(sent_[0].master, 1000u);
        QCOMPARE(sent_[0].floor, 1);
    }

    void changeCheck_data() {
        QTest::addColumn<QString>("input");
        QTest::addColumn<QString>("value");
        QTest::addColumn<bool>("changed");
        QTest::newRow("floor -2") << "floor" << "-2" << true;
        QTest::newRow("floor back to 1") << "floor" << "1" << false;
        QTest::newRow("floor typed 01") << "floor" << "01" << false;
        QTest::newRow("other master") << "master" << "2600" << true;
        QTest::newRow("same master typed") << "master" << "2555" << false;
        QTest::newRow("unknown master") << "master" << "7777" << true;
        QTest::newRow("tick master mode") << "mode" << "" << true;
    }

    void changeCheck() {
        QFETCH(QString, input);
        QFETCH(QString, value);
        refreshWith({master("2555"), master("2600"), follower("2560", 2555, 1)});
        edit("2560");
        QVERIFY(!ui().ButtonValidConfig->isEnabled());
        if (input == "floor") {
            ui().ComboBoxFloor->setEditText("-4");  // away first, so that a return counts
            ui().ComboBoxFloor->setEditText(value);
        } else if (input == "master") {
            ui().ComboBoxMaster->setEditText("1");
            MainForm->StatusPanel1->clear();
            ui().ComboBoxMaster->setEditText(value);
        } else {
            ui().CheckBoxMode->click();
            QVERIFY(!followControlsEnabled());
            QCOMPARE(ui().ComboBoxMaster->currentText(), QString("..."));
        }
        QTEST(ui().ButtonValidConfig->isEnabled(), "changed");
        const bool known = ui().ComboBoxMaster->findText(value) >= 0;
        if (input == "master")
            QCOMPARE(status(), known ? QString() : MainForm->Message(15));
    }

    void enterAddsNoItem() {
        refreshWith({master("2555"), master("2600"), follower("2560", 2555, 1)});
        edit("2560");
        QVERIFY(followControlsEnabled());
        const auto typeAndEnter = [](QComboBox* combo, const char* text) {
            combo->lineEdit()->selectAll();
            QTest::keyClicks(combo->lineEdit(), text);
            QTest::keyClick(combo->lineEdit(), Qt::Key_Return);
        };
        typeAndEnter(ui().ComboBoxMaster, "7777");
        typeAndEnter(ui().ComboBoxFloor, "9");
        QCOMPARE(ui().ComboBoxMaster->count(), 2);
        QCOMPARE(ui().ComboBoxFloor->count(), 10);
        QCOMPARE(ui().ComboBoxFloor->findText("9"), -1);
        QCOMPARE(ui().ComboBoxMaster->findText("7777"), -1);
        // The typed texts are what a send uses.
        QCOMPARE(ui().ComboBoxMaster->currentText(), QString("7777"));
        ui().ButtonValidConfig->click();
        QCOMPARE(sent_.size(), 1);
        QCOMPARE(sent_[0].master, 7777u);
        QCOMPARE(sent_[0].floor, 9);
    }

    void conversionError_data() {
        QTest::addColumn<bool>("masterCombo");
        QTest::addColumn<QString>("text");
        QTest::newRow("master abc") << true << "abc";
        QTest::newRow("floor x1") << false << "x1";
        QTest::newRow("floor too large") << false << "99999999999";
    }

    void conversionError() {
        QFETCH(bool, masterCombo);
        QFETCH(QString, text);
        refreshWith({master("2555"), follower("2560", 2555, 1)});
        edit("2560");
        ui().ComboBoxFloor->setEditText("-2");
        QVERIFY(ui().ButtonValidConfig->isEnabled());
        SeenBox seen;
        answerNextBox(seen, "&Abandon");
        (masterCombo ? ui().ComboBoxMaster : ui().ComboBoxFloor)->setEditText(text);
        QVERIFY(seen.seen);
        QCOMPARE(seen.title, QString("Erreur"));
        QCOMPARE(seen.text, QString("'%1' n'est pas une valeur entière correcte").arg(text));
        if (masterCombo) QCOMPARE(status(), MainForm->Message(15));
        QVERIFY(ui().ButtonValidConfig->isEnabled());  // kept
        // Pressing "Ok" now shows the error again and sends nothing.
        SeenBox again;
        answerNextBox(again, "&Abandon");
        const int sweeps = fleet_.sweeps;
        ui().ButtonValidConfig->click();
        QVERIFY(again.seen);
        QVERIFY(sent_.isEmpty());
        QCOMPARE(fleet_.sweeps, sweeps);
        QVERIFY(ui().GroupBoxSyncConfig->isEnabled());
    }

    void sending_data() {
        QTest::addColumn<QString>("action");
        QTest::addColumn<int>("answer");
        QTest::addColumn<bool>("masterMode");
        QTest::addColumn<unsigned>("master");
        QTest::addColumn<int>("floor");
        QTest::addColumn<bool>("now");
        QTest::addColumn<int>("entry");
        QTest::addColumn<bool>("passwordKept");
        QTest::newRow("ok floor") << "floor" << 0 << false << 2555u << -2 << false << -1 << true;
        QTest::newRow("sync unchanged") << "sync" << 0 << false << 2555u << 1 << true << -1 << true;
        QTest::newRow("ok master mode") << "mode" << 0 << true << 0u << 0 << false << -1 << true;
        QTest::newRow("refused") << "floor" << -1 << false << 2555u << -2 << false << 18 << false;
        QTest::newRow("no answer") << "floor" << -2 << false << 2555u << -2 << false << 19 << true;
    }

    void sending() {
        QFETCH(QString, action);
        QFETCH(int, answer);
        QFETCH(int, entry);
        answer_ = answer;
        refreshWith({master("2555"), master("2600"), follower("2560", 2555, 1)});
        edit("2560");
        ui().EditPassword->setText("pw");
        QVERIFY(ui().ButtonSync->isEnabled());
        // "Ok" without a change sends nothing.
        MainForm->ButtonValidConfigClick();
        QVERIFY(sent_.isEmpty());
        const int sweeps = fleet_.sweeps;
        if (action == "floor") {
            ui().ComboBoxFloor->setEditText("-2");
            ui().ButtonValidConfig->click();
        } else if (action == "mode") {
            ui().CheckBoxMode->click();
            ui().ButtonValidConfig->click();
        } else {
            ui().ButtonSync->click();
        }
        QCOMPARE(sent_.size(), 1);
        QCOMPARE(sent_[0].password, QString("pw"));
        QTEST(sent_[0].masterMode, "masterMode");
        QTEST(sent_[0].master, "master");
        QTEST(sent_[0].floor, "floor");
        QTEST(sent_[0].now, "now");
        QCOMPARE(fleet_.sweeps, sweeps + 1);
        QCOMPARE(status(), entry < 0 ? QString() : MainForm->Message(entry));
        QTEST(ui().EditPassword->text() == "pw", "passwordKept");
        QVERIFY(!ui().GroupBoxSyncConfig->isEnabled());
        QVERIFY(MainForm->TimerConfig.isActive());
    }
};

QTEST_MAIN(SyncTabTest)
#include "tst_SyncTab.moc"
