// The main window with a box list made in the test: cells, lamps, enabling, refresh,
// failed sweeps, order, keys, the web page and the "Configurer" command.
#include <QCheckBox>
#include <QHeaderView>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStatusBar>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTest>
#include <QTreeWidget>

#include "BoxRows.h"
#include "Browser.h"
#include "Configure.h"
#include "Depanne.h"
#include "Principal.h"
#include "TestSupport.h"
#include "Messages.h"
#include "ui_Depanne.h"
#include "ui_Principal.h"

using namespace velqorin::monitor;
using namespace velqorin::monitor::test;

Q_DECLARE_METATYPE(velqorin::monitor::test::BoxSpec)

namespace {

BoxSpec box(std::string serial) {
    BoxSpec boxSpec;
    boxSpec.serial = std::move(serial);
    return boxSpec;
}

QStringList serialsShown(const QTreeWidget* list) {
    QStringList serials;
    for (int i = 0; i < list->topLevelItemCount(); ++i) serials << list->topLevelItem(i)->text(0);
    return serials;
}

}  // namespace

class MainWindowTest : public QObject {
    Q_OBJECT

    QTemporaryDir settings_;
    FakeFleet fleet_;
    QStringList started_;  // program + " " + url of every browser start
    QList<QUrl> opened_;

    Ui::TMainForm& ui() { return *MainForm->ui; }
    QTreeWidget* list() { return MainForm->ui->VelqorinListView; }

    void refreshWith(std::vector<BoxSpec> boxes) {
        fleet_.boxes = std::move(boxes);
        MainForm->RafraichirExecute();
    }
    void select(int row) { list()->topLevelItem(row)->setSelected(true); }

private slots:
    void initTestCase() {
        // No settings: French, no version caption.
        qputenv("XDG_CONFIG_HOME", settings_.path().toUtf8() + "/user");
        qputenv("XDG_CONFIG_DIRS", settings_.path().toUtf8() + "/machine");
    }

    void init() {
        resetServices();
        fleet_ = FakeFleet{};
        fleet_.install();
        started_.clear();
        opened_.clear();
        services().startBrowser = [this](const QString& p, const QString& u) { started_ << p + " " + u; };
        services().openWithDesktop = [this](const QUrl& u) { opened_ << u; };
        services().browserRegistration = [] { return QString(); };
        services().captureCheck = [](CVelqorinNetworkAnalyse&) { return true; };
        MainForm = new TMainForm;
        ConfigureForm = new TConfigureForm(MainForm);
        DebloqueForm = new TDebloqueForm(MainForm);
    }

    void cleanup() {
        cancelModalWatches();
        delete MainForm;
        resetServices();
    }

    void cellTexts_data() {
        QTest::addColumn<BoxSpec>("boxSpec");
        QTest::addColumn<int>("column");
        QTest::addColumn<QString>("text");
        BoxSpec b = box("0012345");
        QTest::newRow("serial as stored") << b << 0 << "0012345";
        b.mac = {0x02, 0x00, 0x00, 0x01, 0xB1, 0xC2};
        QTest::newRow("mac lower-case") << b << 1 << "02:00:00:01:b1:c2";
        QTest::newRow("mac network kind") << b << 6 << QString::fromUtf8("Réseau");
        for (auto [mode, text] : {std::pair{0, "Non"}, {1, "Oui"}, {2, "Auto IP"}, {3, "RARP"}, {4, "Non"}}) {
            BoxSpec m = box("1");
            m.addressMode = static_cast<std::uint8_t>(mode);
            QTest::addRow("mode %d", mode) << m << 2 << text;
        }
        b.ip = {192, 168, 1, 20};
        b.mask = {255, 255, 252, 0};
        QTest::newRow("ip") << b << 3 << "192.168.1.20";
        QTest::newRow("mask") << b << 4 << "255.255.252.0";
        for (auto [flag, text] : {std::pair{0, "Non"}, {1, "Oui"}, {2, "Non"}}) {
            BoxSpec n = box("1");
            n.neighbourhood = static_cast<std::uint8_t>(flag);
            QTest::addRow("neighbourhood %d", flag) << n << 5 << text;
        }
        for (auto [octet, text] : {std::pair{0x04, "USB"}, {0x08, "Série"}, {0x0C, "USB"}}) {
            BoxSpec k = box("1");
            k.mac[3] = static_cast<std::uint8_t>(octet);
            QTest::addRow("link 0x%02x", octet) << k << 6 << QString::fromUtf8(text);
        }
        BoxSpec v = box("1");
        QTest::newRow("no version") << v << 7 << "...";
        v.version = 0x04050007;
        QTest::newRow("version") << v << 7 << "1.005 build 7";
    }

    void cellTexts() {
        QFETCH(BoxSpec, boxSpec);
        QFETCH(int, column);
        QFETCH(QString, text);
        refreshWith({boxSpec});
        QCOMPARE(list()->topLevelItemCount(), 1);
        QCOMPARE(list()->topLevelItem(0)->text(column), text);
    }

    void lamps_data() {
        QTest::addColumn<BoxSpec>("boxSpec");
        QTest::addColumn<int>("image");
        QTest::addColumn<int>("state");
        auto lamp = [](std::uint32_t slave, std::uint32_t fault, std::uint32_t done,
                       std::uint32_t shown, std::uint32_t alt) {
            BoxSpec s = box("1");
            s.syncSlave = slave, s.syncFault = fault, s.syncDone = done;
            s.stateShown = shown, s.stateAlt = alt;
            return s;
        };
        QTest::newRow("master, no state") << lamp(0, 1, 0, 0, 1) << int(kLampGreen) << int(kLampNone);
        QTest::newRow("follower in fault") << lamp(1, 1, 1, 1, 0) << int(kLampGrey) << int(kLampBeige);
        QTest::newRow("follower done") << lamp(1, 0, 1, 1, 7) << int(kLampGreen) << int(kLampBlue);
        QTest::newRow("follower not done") << lamp(2, 0, 0, 0, 0) << int(kLampRed) << int(kLampNone);
    }

    void lamps() {
        QFETCH(BoxSpec, boxSpec);
        QFETCH(int, image);
        QFETCH(int, state);
        refreshWith({boxSpec});
        TBoxItem* row = boxItem(list()->topLevelItem(0));
        QVERIFY(row != nullptr);
        QCOMPARE(row->imageIndex(), image);
        QCOMPARE(row->stateIndex(), state);
    }

    void enablingRule_data() {
        QTest::addColumn<int>("linkOctet");
        QTest::addColumn<bool>("configurable");
        QTest::newRow("network") << 0x01 << true;
        QTest::newRow("usb") << 0x04 << false;
        QTest::newRow("serial") << 0x08 << false;
    }

    void enablingRule() {
        QFETCH(int, linkOctet);
        QFETCH(bool, configurable);
        BoxSpec b = box("7");
        b.mac[3] = static_cast<std::uint8_t>(linkOctet);
        refreshWith({b});
        QVERIFY(!ui().OuvrirBitBtn->isEnabled());
        QVERIFY(!ui().ConfigurerBitBtn->isEnabled());
        select(0);
        QVERIFY(ui().OuvrirBitBtn->isEnabled());
        QVERIFY(ui().Ouvrir->isEnabled());
        QCOMPARE(ui().ConfigurerBitBtn->isEnabled(), configurable);
        QCOMPARE(ui().Configurer->isEnabled(), configurable);
        list()->clearSelection();
        QVERIFY(!ui().OuvrirBitBtn->isEnabled());
        // A refresh leaves nothing selected.
        select(0);
        MainForm->RafraichirExecute();
        QVERIFY(list()->selectedItems().isEmpty());
        QVERIFY(!ui().OuvrirBitBtn->isEnabled());
    }

    void refreshIsBusyWhileSweeping() {
        bool checked = false;
        fleet_.during = [&] {
            checked = true;
            QCOMPARE(MainForm->StatusPanel0->text(), QStringLiteral("Rafraichissement en cours..."));
            QVERIFY(QApplication::overrideCursor() != nullptr);
            QCOMPARE(QApplication::overrideCursor()->shape(), Qt::WaitCursor);
            QVERIFY(!ui().RafraichirBitBtn->isEnabled());
            QVERIFY(!ui().CheckBox1->isEnabled());
            QVERIFY(!MainForm->TimerConfig.isActive());
        };
        fleet_.windowMs = 50;
        for (bool succeed : {true, false}) {
            checked = false;
            fleet_.succeed = succeed;
            MainForm->RafraichirExecute();
            QVERIFY(checked);
            QVERIFY(!fleet_.onTheWindowThread);
            QVERIFY(QApplication::overrideCursor() == nullptr);
            QVERIFY(MainForm->StatusPanel0->text().isEmpty());
            QVERIFY(ui().RafraichirBitBtn->isEnabled());
            QVERIFY(ui().CheckBox1->isEnabled());
            QVERIFY(MainForm->TimerConfig.isActive());
            QCOMPARE(MainForm->TimerConfig.interval(), 60000);
        }
    }

    void rowsTellTheAdapterTheBoxAnsweredOn() {
        BoxSpec a = box("1"), b = box("2");
        a.adapter = "vq0";
        b.adapter = "enp3s0";
        refreshWith({a, b});
        for (int column = 0; column < 8; ++column) {
            QCOMPARE(list()->topLevelItem(0)->toolTip(column), QString::fromUtf8("Boîtier trouvé sur vq0"));
            QCOMPARE(list()->topLevelItem(1)->toolTip(column), QString::fromUtf8("Boîtier trouvé sur enp3s0"));
        }
        // The same when the window shows the row: the view asks for it on hovering.
        const QModelIndex index = list()->model()->index(1, 3);
        QCOMPARE(index.data(Qt::ToolTipRole).toString(), QString::fromUtf8("Boîtier trouvé sur enp3s0"));
    }

    void noApplicationDisplayNameReachesTheTitles() {
        // On X11 a display name would be appended to every window title ("Erreur — ...").
        QCOMPARE(QApplication::applicationDisplayName(), QCoreApplication::applicationName());
        QCOMPARE(ConfigureForm->windowTitle(), QStringLiteral("Configuration"));
        QCOMPARE(DebloqueForm->windowTitle(), QStringLiteral("Debloquage du Mot de Passe Administrateur"));
        QCOMPARE(MainForm->windowTitle(), QStringLiteral("Velqorin Network Monitor"));
    }

    void noBoxAnswers() {
        refreshWith({box("1")});
        refreshWith({});
        QCOMPARE(list()->topLevelItemCount(), 0);
        QVERIFY(!ui().OuvrirBitBtn->isEnabled());
        QVERIFY(!ui().ConfigurerBitBtn->isEnabled());
    }

    void failedSweepLeavesNoRowOnAFreedRecord() {
        refreshWith({box("2"), box("1")});
        select(0);
        fleet_.succeed = false;
        MainForm->RafraichirExecute();
        // The rows stay as the last known state, but nothing reaches the freed records.
        QCOMPARE(serialsShown(list()), (QStringList{"1", "2"}));
        QVERIFY(list()->selectedItems().isEmpty());
        QVERIFY(!ui().OuvrirBitBtn->isEnabled());
        QVERIFY(!ui().ConfigurerBitBtn->isEnabled());
        for (int i = 0; i < 2; ++i) {
            TBoxItem* row = boxItem(list()->topLevelItem(i));
            QVERIFY(row->box() == nullptr);
            QVERIFY(!(row->flags() & Qt::ItemIsSelectable));
        }
        list()->topLevelItem(0)->setSelected(true);
        QVERIFY(selectedBox(list()) == nullptr);
        // Every path that would use a row does nothing, and the order still works.
        MainForm->OuvrirExecute();
        MainForm->ConfigurerExecute();
        QTest::keyClick(list(), Qt::Key_D, Qt::ControlModifier);
        QVERIFY(started_.isEmpty() && opened_.isEmpty());
        MainForm->VelqorinListViewColumnClick(0);
        QCOMPARE(serialsShown(list()), (QStringList{"2", "1"}));
        // The next good sweep brings live rows back.
        fleet_.succeed = true;
        MainForm->RafraichirExecute();
        QVERIFY(boxItem(list()->topLevelItem(0))->box() != nullptr);
    }

    void sortByColumn_data() {
        QTest::addColumn<int>("column");
        QTest::addColumn<BoxSpec>("first");
        QTest::addColumn<BoxSpec>("second");
        QTest::newRow("serial numeric") << 0 << box("9") << box("10");
        QTest::newRow("serial as text") << 0 << box("10") << box("A1");
        QTest::newRow("empty serial as text") << 0 << box("") << box("5");
        BoxSpec a = box("a"), b = box("b");
        a.mac = {0x02, 0, 0, 0, 0x01, 0x01}, b.mac = {0x02, 0, 0, 0, 0x00, 0x02};
        QTest::newRow("mac, last octet first") << 1 << a << b;
        a.mac = {0x02, 0x00, 0, 0, 0, 1}, b.mac = {0x02, 0x01, 0, 0, 0, 1};
        QTest::newRow("mac, second octet counts") << 1 << a << b;
        a.addressMode = 3, b.addressMode = 4;
        QTest::newRow("dhcp raw mode") << 2 << a << b;
        a.ip = {192, 168, 0, 1}, b.ip = {10, 0, 0, 2};
        QTest::newRow("ip, last octet first") << 3 << a << b;
        a.mask = {255, 255, 255, 0}, b.mask = {255, 255, 255, 252};
        QTest::newRow("mask") << 4 << a << b;
        a.neighbourhood = 1, b.neighbourhood = 2;
        QTest::newRow("neighbourhood raw") << 5 << a << b;
        a.mac = {2, 0, 0, 0x08, 0, 1}, b.mac = {2, 0, 0, 0x00, 0, 2};
        QTest::newRow("serial link before network") << 6 << a << b;
        a.mac = {2, 0, 0, 0x0C, 0, 1}, b.mac = {2, 0, 0, 0x08, 0, 2};
        QTest::newRow("usb before serial") << 6 << a << b;
        a.version = 0x04050007, b.version = 0x08010001;
        QTest::newRow("version") << 7 << a << b;
    }

    void sortByColumn() {
        QFETCH(int, column);
        QFETCH(BoxSpec, first);
        QFETCH(BoxSpec, second);
        first.serial = first.serial == "a" ? "200" : first.serial;
        second.serial = second.serial == "b" ? "100" : second.serial;
        refreshWith({second, first});
        const QString f = QString::fromStdString(first.serial), s = QString::fromStdString(second.serial);
        MainForm->SortColumn = MainForm->LastSortColumn = static_cast<std::uint8_t>(column);
        MainForm->SortDescending = false;
        MainForm->SortBoxList();
        QCOMPARE(serialsShown(list()), (QStringList{f, s}));
        MainForm->VelqorinListViewColumnClick(column);  // same column again: reversed
        QCOMPARE(serialsShown(list()), (QStringList{s, f}));
    }

    void headerClicks() {
        BoxSpec a = box("1"), b = box("2"), c = box("3");
        a.version = 3, b.version = 1, c.version = 2;
        a.ip = {10, 0, 0, 1}, b.ip = {10, 0, 0, 3}, c.ip = {10, 0, 0, 2};
        refreshWith({b, c, a});
        QCOMPARE(serialsShown(list()), (QStringList{"1", "2", "3"}));
        // First click on "N° de série" after start reverses; on another column sorts up.
        list()->header()->sectionClicked(0);
        QCOMPARE(serialsShown(list()), (QStringList{"3", "2", "1"}));
        list()->header()->sectionClicked(7);
        QCOMPARE(serialsShown(list()), (QStringList{"1", "3", "2"}));  // still descending
        list()->header()->sectionClicked(7);
        QCOMPARE(serialsShown(list()), (QStringList{"2", "3", "1"}));
        list()->header()->sectionClicked(3);  // another column keeps the direction
        QCOMPARE(serialsShown(list()), (QStringList{"1", "3", "2"}));
        list()->header()->sectionClicked(7);
        list()->header()->sectionClicked(7);  // Version twice: descending
        QCOMPARE(serialsShown(list()), (QStringList{"1", "3", "2"}));
        list()->header()->sectionClicked(3);  // keeps descending; last octets decide
        QCOMPARE(serialsShown(list()), (QStringList{"2", "3", "1"}));
        MainForm->RafraichirExecute();  // the order chosen last survives a refresh
        QCOMPARE(serialsShown(list()), (QStringList{"2", "3", "1"}));
    }

    void sortKeepsTheSelection() {
        refreshWith({box("2"), box("1")});
        select(0);
        MainForm->VelqorinListViewColumnClick(0);
        QCOMPARE(list()->selectedItems().value(0)->text(0), QStringLiteral("1"));
        QVERIFY(ui().OuvrirBitBtn->isEnabled());
    }

    void keys() {
        refreshWith({box("1")});
        const int before = fleet_.sweeps;
        bool dialog = false;
        onNextModal([&](QWidget* w) { dialog = true; w->close(); }, 300);
        QTest::keyClick(list(), Qt::Key_D, Qt::ControlModifier);  // no selected row
        select(0);
        QTest::keyClick(list(), Qt::Key_D);  // no Ctrl
        QTest::qWait(400);
        QVERIFY(!dialog);
        QCOMPARE(fleet_.sweeps, before);
        ui().PageControl1->setCurrentIndex(1);
        QTest::keyClick(ui().VelqorinListView2, Qt::Key_F5);
        QCOMPARE(fleet_.sweeps, before + 1);
        QTest::keyClick(ui().RafraichirBitBtn, Qt::Key_F5, Qt::ShiftModifier);
        QCOMPARE(fleet_.sweeps, before + 2);
    }

    void ctrlDOpensTheUnlockDialogAndRefreshesUnlessCancelled() {
        refreshWith({box("41")});
        for (bool cancel : {true, false}) {
            select(0);
            const int before = fleet_.sweeps;
            QString serialShown;
            onNextModal([&](QWidget* w) {
                auto* d = qobject_cast<TDebloqueForm*>(w);
                if (d == nullptr) return;
                serialShown = d->ui->EditSerie->text();
                (cancel ? d->ui->CancelDebloqueBitBtn : d->ui->OkDebloqueBitBtn)->click();
            });
            services().effacerMdp = [](CVelqorinBoxOnNetwork&, const char*) { return 0; };
            QTest::keyClick(list(), Qt::Key_D, Qt::ControlModifier | Qt::AltModifier);
            QCOMPARE(serialShown, QStringLiteral("41"));
            QCOMPARE(fleet_.sweeps, cancel ? before : before + 1);
            QVERIFY(MainForm->TimerConfig.isActive());
        }
    }

    void configurer_data() {
        QTest::addColumn<int>("result");
        QTest::addColumn<bool>("rowStays");
        QTest::newRow("ok") << int(mrOk) << false;
        QTest::newRow("abort") << int(mrAbort) << false;
        QTest::newRow("cancel") << int(mrCancel) << true;
    }

    void configurer() {
        QFETCH(int, result);
        QFETCH(bool, rowStays);
        refreshWith({box("1"), box("2")});
        // The interface the boxes answered on, as the inventory would have recorded it.
        const unsigned char mac[8] = {0x02, 0x00, 0x00, 0xaa, 0x00, 0x00, 0, 0};
        MainForm->NetworkAnalyse.firstInterface = new CVelqorinNetworkInterface(nullptr, "vqtest0", mac);
        MainForm->NetworkAnalyse.interfaceCount = 1;
        select(1);
        CVelqorinNetworkInterface* interfaceShown = nullptr;
        bool timerStopped = false;
        onNextModal([&](QWidget* w) {
            auto* d = qobject_cast<TConfigureForm*>(w);
            if (d == nullptr) return;
            interfaceShown = d->NetInterface;
            timerStopped = !MainForm->TimerConfig.isActive();
            d->done(result);
        });
        MainForm->ConfigurerExecute();
        QCOMPARE(interfaceShown, MainForm->NetworkAnalyse.firstInterface);
        QVERIFY(timerStopped);
        QVERIFY(MainForm->TimerConfig.isActive());
        QCOMPARE(serialsShown(list()), rowStays ? (QStringList{"1", "2"}) : (QStringList{"1"}));
        QCOMPARE(ui().ConfigurerBitBtn->isEnabled(), rowStays);
    }

    void configurerOnASerialBoxDoesNothing() {
        BoxSpec b = box("3");
        b.mac[3] = 0x08;
        refreshWith({b});
        select(0);
        bool dialog = false;
        onNextModal([&](QWidget* w) { dialog = true; w->close(); }, 300);
        MainForm->ConfigurerExecute();
        QTest::qWait(400);
        QVERIFY(!dialog);
        QCOMPARE(list()->topLevelItemCount(), 1);
    }

    void browserReduction_data() {
        QTest::addColumn<QString>("registration");
        QTest::addColumn<QString>("program");
        QTest::newRow("quoted path with options") << R"("/opt/web browser/bin/web" --new %s)" << "/opt/web browser/bin/web";
        QTest::newRow("unquoted, options") << "/usr/bin/web --new-window %s" << "/usr/bin/web";
        QTest::newRow("blanks only before last slash") << "/opt/my apps/web" << "/opt/my apps/web";
        QTest::newRow("no slash") << "web --private %s" << "web --private %s";
        QTest::newRow("lone leading quote") << "\"/usr/bin/web %s" << "\"/usr/bin/web %s";
        QTest::newRow("surrounding blanks") << " \t/usr/bin/web\n " << "/usr/bin/web";
        QTest::newRow("quoted option kept") << R"("/usr/bin/web" "%s")" << R"(/usr/bin/web" "%s)";
    }

    void browserReduction() {
        QFETCH(QString, registration);
        QFETCH(QString, program);
        QCOMPARE(reduceBrowserCommand(registration), program);
    }

    void ouvrirOpensTheSelectedBox() {
        BoxSpec b = box("5");
        b.ip = {192, 168, 1, 20};
        refreshWith({b});
        MainForm->OuvrirExecute();  // nothing selected
        QVERIFY(opened_.isEmpty() && started_.isEmpty());
        select(0);
        MainForm->OuvrirExecute();
        QCOMPARE(opened_, (QList<QUrl>{QUrl("http://192.168.1.20")}));
        // With a browser registered, it is read once and started with the URL alone.
        QString registered = "\"/usr/bin/web\" --new %s";
        services().browserRegistration = [&] { return registered; };
        QTest::mouseDClick(list()->viewport(), Qt::LeftButton, {},
                           list()->visualItemRect(list()->topLevelItem(0)).center());
        registered = "/usr/bin/other";
        MainForm->Image1DblClick();
        QCOMPARE(started_, (QStringList{"/usr/bin/web http://192.168.1.20",
                                        QStringLiteral("/usr/bin/web ") + kMakerUrl}));
    }

    void firstPaintChecksOnce() {
        MainForm->show();
        QTRY_COMPARE(fleet_.sweeps, 1);
        MainForm->repaint();
        MainForm->update();
        QTest::qWait(50);
        QCOMPARE(fleet_.sweeps, 1);
    }

    void firstPaintEndsWithoutRawCapture() {
        services().captureCheck = [](CVelqorinNetworkAnalyse&) { return false; };
        services().rawAccessProblem = [] {
            return std::pair<int, QString>(CVelqorinNetworkAnalyse::RawAccessHelperWithoutCapability,
                                           QStringLiteral("lacks CAP_NET_RAW"));
        };
        SeenBox seen;
        answerNextBox(seen, QStringLiteral("&Abandon"));
        MainForm->show();
        QTRY_VERIFY(seen.seen);
        QCOMPARE(seen.title, QStringLiteral("Erreur"));
        QCOMPARE(seen.buttons, QStringList{"&Abandon"});
        QCOMPARE(seen.text, MainForm->Message(6) + QStringLiteral("\n\nlacks CAP_NET_RAW"));
        QVERIFY(seen.text.contains("velqorin-link-helper"));
        QTRY_VERIFY(!MainForm->isVisible());
        QCOMPARE(fleet_.sweeps, 0);
    }

    void theStartUpErrorNamesWhatToDo() {
        qputenv("USER", "tech");
        using A = CVelqorinNetworkAnalyse;
        QCOMPARE(MainForm->RawAccessMessage(A::RawAccessNotInGroup, QStringLiteral("...")),
                 QString::fromUtf8("Seuls les membres du groupe velqorin peuvent rechercher et configurer "
                                   "les boîtiers : ajoutez-vous-y avec « sudo adduser tech velqorin », "
                                   "puis reconnectez-vous."));
        QCOMPARE(MainForm->RawAccessMessage(A::RawAccessNotPermitted, QStringLiteral("not installed")),
                 MainForm->Message(6) + QStringLiteral("\n\nnot installed"));
        QCOMPARE(MainForm->RawAccessMessage(A::RawAccessHelperFailed, QString()), MainForm->Message(6));
    }

    void durationText_data() {
        QTest::addColumn<uint>("seconds");
        QTest::addColumn<QString>("text");
        QTest::newRow("0") << 0u << "00s";
        QTest::newRow("61") << 61u << "01m 01s";
        QTest::newRow("hour") << 3600u << "01h 00m 00s";
        QTest::newRow("day") << 86400u << "1j 00h 00m 00s";
        QTest::newRow("90061") << 90061u << "1j 01h 01m 01s";
    }

    void durationText() {
        QFETCH(uint, seconds);
        QFETCH(QString, text);
        QString shown;
        TMainForm::VelqorinPrintfDate(seconds, shown);
        QCOMPARE(shown, text);
    }
};

QTEST_MAIN(MainWindowTest)
#include "tst_MainWindow.moc"
