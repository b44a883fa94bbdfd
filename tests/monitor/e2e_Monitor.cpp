// The monitor's windows driven in-process inside a lab's workstation namespace, against
// the box simulator: the real sweep, the real commands, the real ping.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <exception>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QElapsedTimer>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>

#include "BoxRows.h"
#include "Configure.h"
#include "Depanne.h"
#include "Exchange.h"
#include "Messages.h"
#include "Principal.h"
#include "Progress.h"
#include "Services.h"
#include "TestSupport.h"
#include "TphIPAddress.h"
#include "harness/LabTest.h"
#include "harness/Netns.h"
#include "harness/SimProcess.h"
#include "ui_Configure.h"
#include "ui_Depanne.h"
#include "ui_Principal.h"

namespace velqorin::e2e {
namespace {

using monitor::test::answerNextBox;
using monitor::test::onNextModal;
using monitor::test::SeenBox;

constexpr const char* kFleet = R"({"boxes": [
  {"serial": "2555", "mac": "00:50:c2:10:25:55", "password": "admin", "unlockCode": "UNLOCK-2555",
   "currentIp": "192.0.2.55", "currentMask": "255.255.255.0", "addressMode": 0,
   "manualIp": "192.0.2.55", "manualMask": "255.255.255.0",
   "neighbourhood": true, "softwareVersion": "2.005 build 17", "linkKind": "network"},
  {"serial": "2560", "mac": "00:50:c2:10:25:60", "password": "admin", "unlockCode": "UNLOCK-2560",
   "currentIp": "192.0.2.60", "currentMask": "255.255.255.0", "addressMode": 0,
   "manualIp": "192.0.2.60", "manualMask": "255.255.255.0",
   "neighbourhood": false, "softwareVersion": "1.001 build 5", "linkKind": "network"},
  {"serial": "0012345", "mac": "00:50:c2:14:30:01", "password": "admin",
   "currentIp": "192.0.2.80", "currentMask": "255.255.255.0", "addressMode": 0,
   "neighbourhood": false, "softwareVersion": 0, "linkKind": "usb"},
  {"serial": "4711", "mac": "00:50:c2:18:47:11", "password": "admin",
   "currentIp": "203.0.113.2", "currentMask": "255.255.255.252", "addressMode": 3,
   "neighbourhood": false, "softwareVersion": "3.020 build 1000", "linkKind": "serial"}
]})";

class MonitorInLab : public LabTest {
protected:
    virtual const char* fleet() const { return kFleet; }

    void SetUp() override {
        LabTest::SetUp();
        if (IsSkipped()) return;
        if (boxSimFromEnvironment().empty()) GTEST_SKIP() << "velqorin-box-sim is not built";
        SimOptions options;
        options.lab = lab().name;
        options.fleetJson = fleet();
        sim_ = std::make_unique<SimProcess>(options);
        monitor::resetServices();
        MainForm = new TMainForm;
        ConfigureForm = new TConfigureForm(MainForm);
        DebloqueForm = new TDebloqueForm(MainForm);
    }

    void TearDown() override {
        monitor::test::cancelModalWatches();
        delete MainForm;
        sim_.reset();
    }

    QTreeWidget* list() { return MainForm->ui->VelqorinListView; }

    QTreeWidgetItem* row(const QString& serial) {
        for (int i = 0; i < list()->topLevelItemCount(); ++i)
            if (list()->topLevelItem(i)->text(0) == serial) return list()->topLevelItem(i);
        return nullptr;
    }

    // Selects the box and runs "Configurer" with `password` and the new address, answering
    // every question with yes; returns the dialog's message box, if one was shown.
    SeenBox configure(const QString& serial, const QString& password, TphIPAddress::Octets address) {
        SeenBox seen;
        row(serial)->setSelected(true);
        onNextModal([&](QWidget* w) {
            auto* dialog = qobject_cast<TConfigureForm*>(w);
            if (dialog == nullptr) return;
            dialog->ui->phIPAddress->setAddress(address);
            dialog->ui->PasseEdit->setText(password);
            answerNextBox(seen, QStringLiteral("&Abandon"));
            dialog->ui->OkBitBtn->click();
        });
        MainForm->ConfigurerExecute();
        return seen;
    }

    std::unique_ptr<SimProcess> sim_;
};

TEST_F(MonitorInLab, FirstRefreshListsTheFleet) {
    MainForm->RafraichirExecute();
    ASSERT_EQ(list()->topLevelItemCount(), 4);
    QStringList serials;
    for (int i = 0; i < 4; ++i) serials << list()->topLevelItem(i)->text(0);
    EXPECT_EQ(serials, (QStringList{"2555", "2560", "4711", "0012345"}));
    EXPECT_EQ(row("2555")->text(3), QStringLiteral("192.0.2.55"));
    EXPECT_EQ(row("2555")->text(7), QStringLiteral("2.005 build 17"));
    EXPECT_EQ(row("4711")->text(2), QStringLiteral("RARP"));
    EXPECT_EQ(row("0012345")->text(6), QStringLiteral("USB"));
    EXPECT_EQ(row("0012345")->text(7), QStringLiteral("..."));
}

TEST_F(MonitorInLab, ConfigurerWithTheRightPasswordChangesTheBox) {
    MainForm->RafraichirExecute();
    const SeenBox seen = configure("2560", "admin", {192, 0, 2, 77});
    EXPECT_FALSE(seen.seen) << seen.text.toStdString();
    EXPECT_EQ(row("2560"), nullptr) << "the row waits for the next refresh";
    ASSERT_NE(row("2555"), nullptr);
    MainForm->RafraichirExecute();
    ASSERT_NE(row("2560"), nullptr);
    EXPECT_EQ(row("2560")->text(3), QStringLiteral("192.0.2.77"));
}

TEST_F(MonitorInLab, AWrongPasswordShowsTheRefusal) {
    MainForm->RafraichirExecute();
    const SeenBox seen = configure("2555", "wrong", {192, 0, 2, 55});
    ASSERT_TRUE(seen.seen);
    EXPECT_EQ(seen.title, QStringLiteral("Erreur"));
    EXPECT_EQ(seen.text, ConfigureForm->Message(5));
    EXPECT_EQ(row("2555"), nullptr);
    MainForm->RafraichirExecute();
    EXPECT_EQ(row("2555")->text(3), QStringLiteral("192.0.2.55")) << "the box kept its settings";
}

TEST_F(MonitorInLab, CtrlDWithTheUnlockCodeClearsThePassword) {
    MainForm->RafraichirExecute();
    row("2555")->setSelected(true);
    QString supportCode;
    SeenBox refused;
    onNextModal([&](QWidget* w) {
        auto* dialog = qobject_cast<TDebloqueForm*>(w);
        if (dialog == nullptr) return;
        supportCode = dialog->ui->EditDepanne->text();
        dialog->ui->EditDebloque->setText(QStringLiteral("UNLOCK-2555"));
        answerNextBox(refused, QStringLiteral("&Abandon"));
        dialog->ui->OkDebloqueBitBtn->click();
    });
    QTest::keyClick(list(), Qt::Key_D, Qt::ControlModifier);
    EXPECT_EQ(supportCode.size(), 10);
    EXPECT_FALSE(refused.seen) << refused.text.toStdString();
    // The refresh after the dialog lists the box again; an empty password now passes.
    ASSERT_NE(row("2555"), nullptr);
    const SeenBox seen = configure("2555", "", {192, 0, 2, 55});
    EXPECT_FALSE(seen.seen) << seen.text.toStdString();
    EXPECT_EQ(row("2555"), nullptr);
}

// Boxes on a second segment, behind vq1; vq2's segment stays quiet.
constexpr const char* kSecondSegment = R"({"boxes": [
  {"serial": "3100", "mac": "00:50:c2:10:31:00", "password": "admin",
   "currentIp": "198.51.100.31", "currentMask": "255.255.255.0", "addressMode": 1,
   "neighbourhood": false, "softwareVersion": "2.005 build 17", "linkKind": "network"}
]})";

class MonitorOnSeveralAdapters : public MonitorInLab {
protected:
    void SetUp() override {
        MonitorInLab::SetUp();
        if (IsSkipped()) return;
        SimOptions options;
        options.lab = lab().name;
        options.interface = "br1";
        options.fleetJson = kSecondSegment;
        second_ = std::make_unique<SimProcess>(options);
    }
    void TearDown() override {
        MonitorInLab::TearDown();
        second_.reset();
    }
    std::unique_ptr<SimProcess> second_;
};

TEST_F(MonitorOnSeveralAdapters, TheWindowTurnsAndShowsTheAdaptersWhileTheRealSweepListens) {
    ASSERT_GE(lab().adapters.size(), 3u);
    MainForm->show();
    QTest::qWait(50);
    // A timer of the window thread, and what the status bar says, all through the refresh.
    QElapsedTimer clock;
    qint64 last = -1, longestGap = 0;
    int ticks = 0;
    QStringList texts;
    QTimer heartbeat;
    heartbeat.setInterval(10);
    QObject::connect(&heartbeat, &QTimer::timeout, [&] {
        const qint64 now = clock.elapsed();
        if (last >= 0) longestGap = std::max(longestGap, now - last);
        last = now;
        ++ticks;
        const QString text = MainForm->StatusProgress->isVisible() ? MainForm->StatusProgress->text() : QString();
        if (!text.isEmpty() && !texts.contains(text)) texts << text;
    });
    clock.start();
    heartbeat.start();
    MainForm->RafraichirExecute();
    heartbeat.stop();
    std::printf("refresh of %d adapters: %lld ms, %d ticks, longest gap %lld ms\n",
                static_cast<int>(lab().adapters.size()), static_cast<long long>(clock.elapsed()),
                ticks, static_cast<long long>(longestGap));
    // One listening window of about 3.1 s for all three adapters; the window thread
    // turned all along (a sweep on it would have left one gap of the whole window).
    EXPECT_GT(ticks, 100);
    EXPECT_LT(longestGap, 1000);
    bool allNamed = false;
    for (const QString& text : texts)
        allNamed = allNamed || (text.startsWith(QString::fromUtf8("Écoute de ")) && text.contains("vq0") &&
                                text.contains("vq1") && text.contains("vq2"));
    EXPECT_TRUE(allNamed) << texts.join(" | ").toStdString();

    ASSERT_EQ(list()->topLevelItemCount(), 5);
    ASSERT_NE(row("3100"), nullptr);
    EXPECT_EQ(row("3100")->text(3), QStringLiteral("198.51.100.31"));
    EXPECT_EQ(row("3100")->toolTip(0), QString::fromUtf8("Boîtier trouvé sur vq1"));
    EXPECT_EQ(row("2555")->toolTip(3), QString::fromUtf8("Boîtier trouvé sur vq0"));
}

TEST_F(MonitorOnSeveralAdapters, ClosingDuringTheRealSweepEndsItAtItsNextRead) {
    // Between the window and the real sweep: the last read it reports, and whether it
    // was asked to stop.
    using Observer = CVelqorinNetworkAnalyse::SweepObserver;
    struct Seen {
        const Observer* window = nullptr;
        int lastReadMs = -1;
        bool stopAsked = false;
    } seen;
    const auto real = monitor::services().sweep;
    monitor::services().sweep = [&](CVelqorinNetworkAnalyse& analyser, bool withDialUp,
                                    const monitor::SweepObservers& observers) {
        seen.window = observers.ethernet;
        const Observer between{
            &seen,
            [](void* c, const char* name, int index, int count) {
                const Observer* w = static_cast<Seen*>(c)->window;
                w->adapter(w->context, name, index, count);
            },
            [](void* c, const char* const* names, int count, int elapsedMs) {
                auto* s = static_cast<Seen*>(c);
                s->lastReadMs = elapsedMs;
                s->window->listening(s->window->context, names, count, elapsedMs);
            },
            nullptr,
            [](void* c) {
                auto* s = static_cast<Seen*>(c);
                s->stopAsked = s->window->stopRequested(s->window->context);
                return s->stopAsked;
            },
            nullptr};
        return real(analyser, withDialUp, {&between, observers.dialUp});
    };
    MainForm->show();
    QTest::qWait(50);
    QTimer::singleShot(300, MainForm, [] { MainForm->close(); });
    MainForm->RafraichirExecute();
    EXPECT_TRUE(seen.stopAsked);
    // A whole window reads until more than two seconds have passed; this one stopped at
    // the first read after the close.
    EXPECT_GE(seen.lastReadMs, 0);
    EXPECT_LT(seen.lastReadMs, 2000);
    EXPECT_FALSE(monitor::exchanges().running());
    EXPECT_FALSE(MainForm->isVisible());
}

// Two masters and the followers of the first, as the synchronisation tab's example has them.
constexpr const char* kChains = R"({"boxes": [
  {"serial": "2560", "mac": "00:50:c2:10:25:60", "password": "admin", "currentIp": "192.0.2.60",
   "currentMask": "255.255.255.0", "linkKind": "network",
   "sync": {"slave": 1, "master": 2555, "floor": 1, "done": 1, "age": 3600}},
  {"serial": "2600", "mac": "00:50:c2:10:26:00", "password": "admin", "currentIp": "192.0.2.26",
   "currentMask": "255.255.255.0", "linkKind": "network", "sync": {"slave": 0}},
  {"serial": "2570", "mac": "00:50:c2:10:25:70", "password": "admin", "currentIp": "192.0.2.70",
   "currentMask": "255.255.255.0", "linkKind": "network",
   "sync": {"slave": 1, "master": 2555, "floor": -2}},
  {"serial": "2555", "mac": "00:50:c2:10:25:55", "password": "admin", "currentIp": "192.0.2.55",
   "currentMask": "255.255.255.0", "linkKind": "network", "sync": {"slave": 0}}
]})";

class SyncTabInLab : public MonitorInLab {
protected:
    const char* fleet() const override { return kChains; }

    QTreeWidget* chains() { return MainForm->ui->VelqorinListView2; }
    Ui::TMainForm& ui() { return *MainForm->ui; }

    QStringList shown() {
        QStringList rows;
        for (int i = 0; i < chains()->topLevelItemCount(); ++i) {
            const QTreeWidgetItem* r = chains()->topLevelItem(i);
            rows << (r->text(0).isEmpty() ? QStringLiteral("-")
                                          : r->text(0) + " " + r->text(1) + " " + r->text(2) +
                                                " " + r->text(3));
        }
        return rows;
    }

    void edit(const QString& serial) {
        for (int i = 0; i < chains()->topLevelItemCount(); ++i)
            if (chains()->topLevelItem(i)->text(0) == serial) {
                QTreeWidgetItem* r = chains()->topLevelItem(i);
                chains()->setCurrentItem(r);
                QTest::mouseDClick(chains()->viewport(), Qt::LeftButton, {},
                                   chains()->visualItemRect(r).center());
                return;
            }
        FAIL() << "no row " << serial.toStdString();
    }

    std::vector<int> kindsReceivedBy(const std::string& serial) {
        std::vector<int> kinds;
        for (const auto& line : sim_->received())
            if (line["box"] == serial && line["kind"].is_number()) {
                const int kind = line["kind"].get<int>();
                if (kind == 7 || kind == 8) kinds.push_back(kind);
            }
        return kinds;
    }
};

TEST_F(SyncTabInLab, ChainsInOrderAndAFloorEditedThroughThePanel) {
    MainForm->RafraichirExecute();
    EXPECT_EQ(shown(), (QStringList{"-", "2555 M ... ...", "2570 E 2555 -2", "2560 E 2555 1", "-",
                                    "2600 M ... ..."}));
    edit("2560");
    ASSERT_TRUE(ui().GroupBoxSyncConfig->isEnabled());
    ui().EditPassword->setText("admin");
    ui().ComboBoxFloor->setEditText("-3");
    ASSERT_TRUE(ui().ButtonValidConfig->isEnabled());
    ui().ButtonValidConfig->click();
    EXPECT_EQ(MainForm->StatusPanel1->text(), QString()) << "accepted";
    EXPECT_EQ(kindsReceivedBy("2560"), std::vector<int>{7});
    // The refresh after the send reads the box back.
    EXPECT_EQ(shown(), (QStringList{"-", "2555 M ... ...", "2560 E 2555 -3", "2570 E 2555 -2", "-",
                                    "2600 M ... ..."}));
}

TEST_F(SyncTabInLab, AFollowerBecomesAMasterAndBack) {
    MainForm->RafraichirExecute();
    edit("2570");
    ui().EditPassword->setText("admin");
    ui().CheckBoxMode->click();
    ui().ButtonValidConfig->click();
    EXPECT_EQ(shown(), (QStringList{"-", "2555 M ... ...", "2560 E 2555 1", "-", "2570 M ... ...",
                                    "-", "2600 M ... ..."}));
    edit("2570");
    ui().EditPassword->setText("admin");
    ASSERT_TRUE(ui().CheckBoxMode->isEnabled()) << "nobody follows 2570";
    ui().CheckBoxMode->click();
    EXPECT_EQ(ui().ComboBoxMaster->currentText(), QStringLiteral("2555"));
    ui().ComboBoxFloor->setEditText("-2");
    ui().ButtonValidConfig->click();
    EXPECT_EQ(kindsReceivedBy("2570"), (std::vector<int>{7, 7}));
    EXPECT_EQ(shown(), (QStringList{"-", "2555 M ... ...", "2570 E 2555 -2", "2560 E 2555 1", "-",
                                    "2600 M ... ..."}));
}

TEST_F(SyncTabInLab, SynchroniserSendsKind8AndAWrongPasswordIsRefused) {
    MainForm->RafraichirExecute();
    edit("2570");
    EXPECT_EQ(ui().VelqorinListView2->currentItem()->text(4), QStringLiteral("..."));
    ui().EditPassword->setText("admin");
    ASSERT_FALSE(ui().ButtonValidConfig->isEnabled()) << "nothing changed";
    ASSERT_TRUE(ui().ButtonSync->isEnabled());
    ui().ButtonSync->click();
    EXPECT_EQ(kindsReceivedBy("2570"), std::vector<int>{8});
    EXPECT_EQ(shown()[2], QStringLiteral("2570 E 2555 -2"));
    // The box has synchronised just now: the age shows.
    EXPECT_TRUE(chains()->topLevelItem(2)->text(4).endsWith('s'));

    edit("2560");
    ui().EditPassword->setText("wrong");
    ui().ButtonSync->click();
    EXPECT_EQ(MainForm->StatusPanel1->text(), MainForm->Message(18));
    EXPECT_EQ(ui().EditPassword->text(), QString());
}

}  // namespace
}  // namespace velqorin::e2e

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QTemporaryDir settings;  // no language or version from the machine running the tests
    qputenv("XDG_CONFIG_HOME", settings.path().toUtf8());
    qputenv("XDG_CONFIG_DIRS", settings.path().toUtf8());
    ::testing::InitGoogleTest(&argc, argv);
    // The whole process enters the workstation namespace before Qt starts any thread:
    // setns() of a mount namespace needs a single-threaded process, and Qt's dialogs
    // leave threads behind. The process ends there; there is no way back to need.
    if (!velqorin::e2e::labUnavailable()) {
        try {
            const auto lab = velqorin::e2e::readLab(velqorin::e2e::labNameFromEnvironment());
            // Never destroyed, but held: the leak checker sees it reachable.
            static velqorin::e2e::NetnsGuard* const inside = new velqorin::e2e::NetnsGuard(
                lab.workstation(), velqorin::e2e::NetnsGuard::Sysfs::Remount);
            static_cast<void>(inside);
        } catch (const std::exception& error) {
            std::fprintf(stderr, "not entering the lab: %s\n", error.what());
        }
    }
    QApplication application(argc, argv);
    return RUN_ALL_TESTS();
}
