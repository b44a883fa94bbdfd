// The configuration and unlock dialogs on their own, with the box command, the ping and
// the message boxes answered by the test.
#include <netinet/in.h>

#include <algorithm>
#include <cstring>

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QStyle>
#include <QTest>

#include "Configure.h"
#include "Depanne.h"
#include "Messages.h"
#include "Progress.h"
#include "TestSupport.h"
#include "TphIPAddress.h"
#include "ui_Configure.h"
#include "ui_Depanne.h"

using namespace velqorin::monitor;
using namespace velqorin::monitor::test;

namespace {

using Octets = TphIPAddress::Octets;

sockaddr_storage address(Octets o) {
    sockaddr_storage s{};
    auto* in = reinterpret_cast<sockaddr_in*>(&s);
    in->sin_family = AF_INET;
    std::memcpy(&in->sin_addr, o.data(), 4);
    return s;
}

Octets octetsOf(const sockaddr_storage& s) {
    Octets o{};
    std::memcpy(o.data(), reinterpret_cast<const std::uint8_t*>(&s) + 4, 4);
    return o;
}

struct Workstation {
    std::unique_ptr<CVelqorinNetworkInterface> record;
    Workstation(bool dhcp, bool server, std::vector<std::pair<Octets, Octets>> addresses) {
        const unsigned char mac[8] = {0x02, 0, 0, 0xaa, 0, 0, 0, 0};
        record = std::make_unique<CVelqorinNetworkInterface>(nullptr, "vqtest0", mac);
        record->setDhcp(dhcp, server);
        for (auto& [a, m] : addresses) record->addIpAddress(address(a), address(m));
    }
};

// A box record as a sweep would have made it.
struct OneBox {
    CVelqorinNetworkAnalyse analyser;
    CVelqorinBoxOnNetwork* box = nullptr;
    explicit OneBox(const BoxSpec& boxSpec) {
        const TAnalyseBuffer frame = makeReply(boxSpec);
        analyser.AddBox(&frame, "vqtest0");
        box = analyser.firstBox;
    }
};

struct SentConfig {
    int calls = 0;
    std::string password;
    bool dhcp = false, neighbourhood = false, restart = false;
    Octets address{}, mask{};
};

}  // namespace

class DialogsTest : public QObject {
    Q_OBJECT

    std::unique_ptr<TConfigureForm> form_;
    SentConfig sent_;
    int commandResult_ = 0;
    int pings_ = 0;
    bool pingAnswers_ = false;

    // Shows the dialog modally, runs `act` inside it, returns the dialog's result.
    int showConfigure(CVelqorinBoxOnNetwork* box, CVelqorinNetworkInterface* local,
                      std::function<void(TConfigureForm&)> act) {
        form_->Box = box;
        form_->NetInterface = local;
        onNextModal([&](QWidget* w) {
            if (w == form_.get()) act(*form_);
        });
        return form_->exec();
    }

private slots:
    void init() {
        resetServices();
        form_ = std::make_unique<TConfigureForm>();
        sent_ = SentConfig{};
        commandResult_ = 0;
        pings_ = 0;
        pingAnswers_ = false;
        services().ping = [this](const sockaddr_storage&) {
            ++pings_;
            return pingAnswers_;
        };
        services().configNetwork = [this](CVelqorinBoxOnNetwork&, const char* password, bool dhcp,
                                          sockaddr_storage a, sockaddr_storage m, bool n, bool r) {
            ++sent_.calls;
            sent_.password = password;
            sent_.dhcp = dhcp, sent_.neighbourhood = n, sent_.restart = r;
            sent_.address = octetsOf(a), sent_.mask = octetsOf(m);
            return commandResult_;
        };
    }

    void cleanup() {
        cancelModalWatches();
        form_.reset();
        resetServices();
    }

    void verdict_data() {
        QTest::addColumn<bool>("workstationDhcp");
        QTest::addColumn<Octets>("workstation");
        QTest::addColumn<Octets>("workstationMask");
        QTest::addColumn<Octets>("address");
        QTest::addColumn<Octets>("mask");
        QTest::addColumn<bool>("boxDhcp");
        QTest::addColumn<int>("verdict");
        QTest::addColumn<QColor>("colour");
        const QColor green(0, 128, 0), maroon(128, 0, 0), red(255, 0, 0);
        const Octets c24{255, 255, 255, 0};
        QTest::newRow("fixed box, dhcp workstation") << true << Octets{192, 168, 1, 5} << c24 << Octets{192, 168, 1, 20} << c24 << false << 1 << maroon;
        QTest::newRow("dhcp both") << true << Octets{192, 168, 1, 5} << c24 << Octets{192, 168, 1, 20} << c24 << true << 0 << green;
        QTest::newRow("dhcp box, fixed workstation") << false << Octets{192, 168, 1, 5} << c24 << Octets{192, 168, 1, 20} << c24 << true << 2 << maroon;
        QTest::newRow("fixed both") << false << Octets{192, 168, 1, 5} << c24 << Octets{192, 168, 1, 20} << c24 << false << 0 << green;
        QTest::newRow("new mask splits the subnet") << false << Octets{10, 0, 0, 1} << Octets{255, 0, 0, 0} << Octets{10, 1, 2, 3} << Octets{255, 255, 0, 0} << false << 3 << red;
        QTest::newRow("other subnet") << false << Octets{192, 168, 1, 5} << c24 << Octets{192, 168, 2, 5} << c24 << false << 3 << red;
        QTest::newRow("workstation's own address") << false << Octets{192, 168, 1, 5} << c24 << Octets{192, 168, 1, 5} << c24 << false << 4 << red;
    }

    void verdict() {
        QFETCH(bool, workstationDhcp);
        QFETCH(Octets, workstation);
        QFETCH(Octets, workstationMask);
        QFETCH(Octets, address);
        QFETCH(Octets, mask);
        QFETCH(bool, boxDhcp);
        QFETCH(int, verdict);
        QFETCH(QColor, colour);
        Workstation local(workstationDhcp, true, {{workstation, workstationMask}});
        BoxSpec boxSpec;
        boxSpec.addressMode = boxDhcp ? 1 : 0;
        boxSpec.manualIp = address, boxSpec.manualMask = mask;
        OneBox one(boxSpec);
        int shownVerdict = -1;
        QString shownText;
        QColor shownColour;
        showConfigure(one.box, local.record.get(), [&](TConfigureForm& f) {
            shownVerdict = f.Verdict;
            shownText = f.ui->LabelCompatible->text();
            shownColour = f.ui->LabelCompatible->palette().color(QPalette::WindowText);
            f.ui->CancelBitBtn->click();
        });
        QCOMPARE(shownVerdict, verdict);
        QCOMPARE(shownText, form_->Message(TConfigureForm::VerdictLine(verdict)));
        QCOMPARE(shownColour, colour);
    }

    void verdictFollowsTheEntries() {
        Workstation local(true, true, {{{192, 168, 1, 5}, {255, 255, 255, 0}}});
        BoxSpec boxSpec;
        boxSpec.manualIp = {192, 168, 1, 20};
        OneBox one(boxSpec);
        QList<int> verdicts;
        showConfigure(one.box, local.record.get(), [&](TConfigureForm& f) {
            verdicts << f.Verdict;
            f.ui->DHCPCheckBox->click();
            verdicts << f.Verdict;
            // Typing in one octet field: the last octet of the workstation's own address.
            QLineEdit* last = f.ui->phIPAddress->field(3);
            last->selectAll();
            QTest::keyClicks(last, "5");
            verdicts << f.Verdict;
            QTest::keyClicks(f.ui->phIPAddressMask->field(2), "0");  // 255.255.2550 -> 255
            f.ui->phIPAddress->setAddress(Octets{10, 0, 0, 1});
            verdicts << f.Verdict;
            f.ui->CancelBitBtn->click();
        });
        QCOMPARE(verdicts, (QList<int>{1, 0, 4, 3}));
    }

    void formShowTexts() {
        Workstation local(true, false, {{{192, 0, 2, 10}, {255, 255, 255, 0}},
                                        {{198, 51, 100, 10}, {255, 255, 0, 0}},
                                        {{203, 0, 113, 10}, {255, 255, 255, 252}}});
        BoxSpec boxSpec;
        boxSpec.addressMode = 2;
        boxSpec.neighbourhood = 1;
        boxSpec.ip = {169, 254, 1, 2}, boxSpec.mask = {255, 255, 0, 0};
        boxSpec.manualIp = {192, 0, 2, 77};
        OneBox one(boxSpec);
        showConfigure(one.box, local.record.get(), [&](TConfigureForm& f) {
            QCOMPARE(f.ui->LabelDHCP->text(), QString::fromUtf8("Mode DHCP désactivé"));
            QVERIFY(!f.ui->DHCPCheckBox->isChecked());
            QVERIFY(f.ui->VoisinageCheckBox->isChecked());
            QCOMPARE(f.ui->LabelVoisinage->text(), QString::fromUtf8("Apparaît dans le voisinage réseau de Windows"));
            QCOMPARE(f.ui->LabelIP->text(), QStringLiteral("169.254.1.2"));
            QCOMPARE(f.ui->LabelMasque->text(), QStringLiteral("255.255.0.0"));
            QCOMPARE(f.ui->LabelDHCPPC->text(), f.Message(1));
            QCOMPARE(f.ui->ManuelLabelPCl->text(), QStringLiteral("192.0.2.10\n198.51.100.10\n203.0.113.10"));
            QCOMPARE(f.ui->Manuel2LabelPCl->text(), QStringLiteral("255.255.255.0\n255.255.0.0\n255.255.255.252"));
            QCOMPARE(f.ui->phIPAddress->address(), (Octets{192, 0, 2, 77}));
            QVERIFY(!f.ui->RebootCheckBox->isChecked());
            f.ui->CancelBitBtn->click();
        });
    }

    void noInterfaceShowsDesignTextsAndVerdictZero() {
        Workstation local(false, false, {{{10, 0, 0, 1}, {255, 0, 0, 0}}});
        OneBox one(BoxSpec{});  // 192.0.2.50: verdict 3 against 10.0.0.1/8
        showConfigure(one.box, local.record.get(), [](TConfigureForm& f) { f.ui->CancelBitBtn->click(); });
        QCOMPARE(form_->Verdict, 3);
        showConfigure(one.box, nullptr, [&](TConfigureForm& f) {
            QCOMPARE(f.Verdict, 0);
            QCOMPARE(f.ui->LabelCompatible->text(), f.Message(8));
            QCOMPARE(f.ui->ManuelLabelPCl->text(), QStringLiteral("illisible"));
            QCOMPARE(f.ui->LabelDHCPPC->text(), QStringLiteral("Adresse IP otenue par DHCP"));
            f.ui->PasseEdit->setText("secret");
            f.ui->OkBitBtn->click();  // no question: the command goes out at once
        });
        QCOMPARE(sent_.calls, 1);
    }

    void okAsksAndSends_data() {
        QTest::addColumn<Octets>("newAddress");
        QTest::addColumn<bool>("pingAnswers");
        QTest::addColumn<QStringList>("answers");  // the answer to the one question asked
        QTest::addColumn<int>("pings");
        QTest::addColumn<int>("commands");
        const Octets same{192, 0, 2, 50}, other{192, 0, 2, 99}, foreign{10, 9, 9, 9};
        QTest::newRow("same address: no ping") << same << true << QStringList{} << 0 << 1;
        QTest::newRow("new free address") << other << false << QStringList{} << 1 << 1;
        QTest::newRow("address in use, yes") << other << true << QStringList{"&Oui"} << 1 << 1;
        QTest::newRow("address in use, no") << other << true << QStringList{"&Non"} << 1 << 0;
        QTest::newRow("incompatible, no") << foreign << false << QStringList{"&Non"} << 0 << 0;
        QTest::newRow("incompatible, yes") << foreign << false << QStringList{"&Oui"} << 1 << 1;
    }

    void okAsksAndSends() {
        QFETCH(Octets, newAddress);
        QFETCH(bool, pingAnswers);
        QFETCH(QStringList, answers);
        QFETCH(int, pings);
        QFETCH(int, commands);
        pingAnswers_ = pingAnswers;
        Workstation local(false, false, {{{192, 0, 2, 10}, {255, 255, 255, 0}}});
        OneBox one(BoxSpec{});
        QList<SeenBox> seen(answers.size());
        bool stayedOpen = false;
        const int result = showConfigure(one.box, local.record.get(), [&](TConfigureForm& f) {
            f.ui->phIPAddress->setAddress(newAddress);
            const QString verdictText = f.ui->LabelCompatible->text();
            if (!answers.isEmpty()) answerNextBox(seen[0], answers[0]);
            f.ui->OkBitBtn->click();
            stayedOpen = f.isVisible();
            if (!answers.isEmpty() && answers.last() == "&Non") {
                QVERIFY(stayedOpen);
                QCOMPARE(f.ui->phIPAddress->address(), newAddress);  // entries as typed
                f.ui->CancelBitBtn->click();
            }
            if (!answers.isEmpty() && newAddress[0] == 10)
                QCOMPARE(seen[0].text, verdictText + f.Message(3));
        });
        QCOMPARE(pings_, pings);
        QCOMPARE(sent_.calls, commands);
        for (const SeenBox& s : seen) {
            QVERIFY(s.seen);
            QCOMPARE(s.title, QStringLiteral("Avertissement"));
            QCOMPARE(s.buttons, (QStringList{"&Oui", "&Non"}));
        }
        if (pingAnswers && pings == 1 && newAddress[0] != 10) QCOMPARE(seen[0].text, form_->Message(4));
        QCOMPARE(result, commands == 1 ? int(mrOk) : int(mrCancel));
        if (commands == 1) QCOMPARE(sent_.address, newAddress);
    }

    void commandResults_data() {
        QTest::addColumn<int>("command");
        QTest::addColumn<int>("result");
        QTest::addColumn<int>("line");  // -1: no message
        QTest::newRow("accepted") << 0 << int(mrOk) << -1;
        QTest::newRow("refused") << -1 << int(mrAbort) << 5;
        QTest::newRow("no answer") << -2 << int(mrAbort) << 6;
    }

    void commandResults() {
        QFETCH(int, command);
        QFETCH(int, result);
        QFETCH(int, line);
        commandResult_ = command;
        Workstation local(false, false, {{{192, 0, 2, 10}, {255, 255, 255, 0}}});
        OneBox one(BoxSpec{});
        SeenBox seen;
        const int shown = showConfigure(one.box, local.record.get(), [&](TConfigureForm& f) {
            f.ui->PasseEdit->setText("admin");
            f.ui->VoisinageCheckBox->click();
            f.ui->VoisinageCheckBox->click();  // twice: the restart stays ticked
            answerNextBox(seen, "&Abandon");
            f.ui->OkBitBtn->click();
        });
        QCOMPARE(shown, result);
        QCOMPARE(sent_.password, std::string("admin"));
        QVERIFY(sent_.restart);
        QVERIFY(!sent_.neighbourhood);
        QCOMPARE(sent_.mask, (Octets{255, 255, 255, 0}));
        QCOMPARE(seen.seen, line >= 0);
        if (line >= 0) {
            QCOMPARE(seen.title, QStringLiteral("Erreur"));
            QCOMPARE(seen.buttons, QStringList{"&Abandon"});
            QCOMPARE(seen.text, form_->Message(line));
        }
        QVERIFY(QApplication::overrideCursor() == nullptr);
    }

    void passwordShowsHashes() {
        QLineEdit* edit = form_->ui->PasseEdit;
        QCOMPARE(edit->echoMode(), QLineEdit::Password);
        QCOMPARE(edit->style()->styleHint(QStyle::SH_LineEdit_PasswordCharacter, nullptr, edit), int('#'));
        QCOMPARE(edit->maxLength(), 100);
    }

    void octetFieldsClampAndAdvance() {
        TphIPAddress entry;
        int changes = 0;
        connect(&entry, &TphIPAddress::valueChanged, [&] { ++changes; });
        entry.field(0)->selectAll();
        QTest::keyClicks(entry.field(0), "300");
        QCOMPARE(entry.octet(0), 255);
        QTest::keyClicks(entry.field(1), "12");
        QCOMPARE(entry.address(), (Octets{255, 12, 0, 0}));
        QVERIFY(changes >= 4);
        entry.setAddress(Octets{255, 12, 0, 0});  // same value: no change signal
        const int before = changes;
        entry.setAddress(Octets{1, 2, 3, 4});
        QCOMPARE(changes, before + 1);
    }

    void supportCode_data() {
        QTest::addColumn<QString>("challenge");
        QTest::addColumn<QString>("code");
        QTest::newRow("30 without terminator") << "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123" << "ABCDEFGHIJ";
        QTest::newRow("short") << "XYZ" << "XYZ";
        QTest::newRow("empty") << "" << "";
    }

    void supportCode() {
        QFETCH(QString, challenge);
        QFETCH(QString, code);
        BoxSpec boxSpec;
        boxSpec.serial = "2560";
        boxSpec.challenge = challenge.toStdString();
        OneBox one(boxSpec);
        TDebloqueForm form;
        form.Box = one.box;
        onNextModal([&](QWidget*) {
            QCOMPARE(form.ui->EditSerie->text(), QStringLiteral("2560"));
            QCOMPARE(form.ui->EditDepanne->text(), code);
            QVERIFY(form.ui->EditDebloque->text().isEmpty());
            form.ui->EditDebloque->setText("left over");
            form.ui->CancelDebloqueBitBtn->click();
        });
        QCOMPARE(form.exec(), int(mrCancel));
    }

    void wholeSerialNumber() {
        // The unlock dialog shows what the program puts in its fields whole; its input
        // limit of 10 is for typing, and comes back with a shorter text.
        TDebloqueForm form;
        QCOMPARE(form.ui->EditSerie->maxLength(), 10);
        for (const char* serial : {"1234567890123456789", "2560", "0012345678", "12345678901"}) {
            BoxSpec boxSpec;
            boxSpec.serial = serial;
            boxSpec.challenge = "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123";
            OneBox one(boxSpec);
            form.Box = one.box;
            QString shown, code;
            int limit = 0;
            onNextModal([&](QWidget*) {
                shown = form.ui->EditSerie->text();
                code = form.ui->EditDepanne->text();
                limit = form.ui->EditSerie->maxLength();
                form.ui->CancelDebloqueBitBtn->click();
            });
            form.exec();
            QCOMPARE(shown, QString::fromLatin1(serial));
            QCOMPARE(code, QStringLiteral("ABCDEFGHIJ"));
            QCOMPARE(limit, std::max(10, static_cast<int>(std::strlen(serial))));
        }
    }

    void dialogsShowThatTheyWait_data() {
        QTest::addColumn<QString>("exchange");
        QTest::addColumn<QString>("text");
        QTest::newRow("ping") << "ping" << QString::fromUtf8("Test de l'adresse 192.0.2.99...");
        QTest::newRow("network command") << "configure" << QString::fromUtf8("Attente de la réponse du boîtier...");
        QTest::newRow("unlock command") << "unlock" << QString::fromUtf8("Attente de la réponse du boîtier...");
    }

    void dialogsShowThatTheyWait() {
        QFETCH(QString, exchange);
        QFETCH(QString, text);
        Workstation local(false, false, {{{192, 0, 2, 10}, {255, 255, 255, 0}}});
        OneBox one(BoxSpec{});
        TDebloqueForm unlock;
        QDialog& dialog = exchange == "unlock" ? static_cast<QDialog&>(unlock) : *form_;
        TWaitIndicator* indicator = exchange == "unlock" ? unlock.WaitIndicator : form_->WaitIndicator;
        QList<QPushButton*> buttons =
            exchange == "unlock" ? QList<QPushButton*>{unlock.ui->OkDebloqueBitBtn, unlock.ui->CancelDebloqueBitBtn}
                                 : QList<QPushButton*>{form_->ui->OkBitBtn, form_->ui->CancelBitBtn};
        struct Seen {
            bool shown = false, buttonsHeld = false, stayedOpen = false;
            QString text;
        } seen;
        const auto look = [&] {
            seen.shown = indicator->isVisible();
            seen.text = indicator->text();
            seen.buttonsHeld = !buttons[0]->isEnabled() && !buttons[1]->isEnabled();
            // Neither Escape nor the close button ends a dialog that waits.
            QTest::keyClick(&dialog, Qt::Key_Escape);
            dialog.close();
            seen.stayedOpen = dialog.isVisible();
        };
        services().ping = [&](const sockaddr_storage&) {
            if (exchange == "ping") onWindowThread(look);
            return false;
        };
        services().configNetwork = [&](CVelqorinBoxOnNetwork&, const char*, bool, sockaddr_storage,
                                       sockaddr_storage, bool, bool) {
            if (exchange == "configure") onWindowThread(look);
            return 0;
        };
        services().effacerMdp = [&](CVelqorinBoxOnNetwork&, const char*) {
            onWindowThread(look);
            return 0;
        };
        int result = 0;
        if (exchange == "unlock") {
            unlock.Box = one.box;
            onNextModal([&](QWidget*) { unlock.ui->OkDebloqueBitBtn->click(); });
            result = unlock.exec();
        } else {
            result = showConfigure(one.box, local.record.get(), [](TConfigureForm& f) {
                f.ui->phIPAddress->setAddress(Octets{192, 0, 2, 99});
                f.ui->OkBitBtn->click();
            });
        }
        QVERIFY(seen.shown);
        QCOMPARE(seen.text, text);
        QVERIFY(seen.buttonsHeld);
        QVERIFY(seen.stayedOpen);
        QCOMPARE(result, int(mrOk));  // the exchange went on to its end
        QVERIFY(!indicator->isVisible());
        QVERIFY(buttons[0]->isEnabled() && buttons[1]->isEnabled());
    }

    void unlockClosesWithOkWhateverTheAnswer_data() {
        QTest::addColumn<int>("command");
        QTest::addColumn<int>("line");
        QTest::newRow("accepted") << 0 << -1;
        QTest::newRow("refused") << -1 << 0;
        QTest::newRow("no answer") << -2 << 1;
    }

    void unlockClosesWithOkWhateverTheAnswer() {
        QFETCH(int, command);
        QFETCH(int, line);
        std::string codeSent = "none";
        services().effacerMdp = [&](CVelqorinBoxOnNetwork&, const char* code) {
            codeSent = code;
            return command;
        };
        OneBox one(BoxSpec{});
        TDebloqueForm form;
        form.Box = one.box;
        SeenBox seen;
        onNextModal([&](QWidget*) {
            form.ui->EditDebloque->setText("UNLOCK-1000");
            answerNextBox(seen, "&Abandon");
            form.ui->OkDebloqueBitBtn->click();
        });
        QCOMPARE(form.exec(), int(mrOk));
        QCOMPARE(codeSent, std::string("UNLOCK-1000"));
        QCOMPARE(seen.seen, line >= 0);
        if (line >= 0) {
            QCOMPARE(seen.title, QStringLiteral("Erreur"));
            QCOMPARE(seen.text, form.Message(line));
        }
        QVERIFY(QApplication::overrideCursor() == nullptr);
    }
};

QTEST_MAIN(DialogsTest)
#include "tst_Dialogs.moc"
