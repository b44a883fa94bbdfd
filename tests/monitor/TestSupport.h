// What the monitor's tests share: box replies made to measure, a sweep that lists them,
// and a way to answer the modal windows the code under test opens.
#pragma once

#include <netinet/in.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <functional>
#include <utility>
#include <string>
#include <vector>

#include <QApplication>
#include <QElapsedTimer>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QTimer>

#include "Services.h"
#include "velqorin/Frame.h"
#include "velqorin/NetworkAnalyse.h"

namespace velqorin::monitor::test {

struct BoxSpec {
    std::string serial = "1000";
    std::array<std::uint8_t, 6> mac{0x02, 0x00, 0x00, 0x01, 0x00, 0x01};
    std::array<std::uint8_t, 6> localMac{0x02, 0x00, 0x00, 0xaa, 0x00, 0x00};
    std::uint8_t addressMode = 0;
    std::array<std::uint8_t, 4> ip{192, 0, 2, 50};
    std::array<std::uint8_t, 4> mask{255, 255, 255, 0};
    std::array<std::uint8_t, 4> manualIp{192, 0, 2, 50};
    std::array<std::uint8_t, 4> manualMask{255, 255, 255, 0};
    std::uint8_t neighbourhood = 0;
    std::uint32_t version = 0;
    std::uint32_t syncSlave = 0, syncFault = 0, syncDone = 0, stateShown = 0, stateAlt = 0;
    std::uint32_t syncMaster = 0, syncAge = 0;
    std::int32_t syncFloor = 0;
    std::string challenge;  // copied without terminator when it fills the field
};

inline TAnalyseBuffer makeReply(const BoxSpec& boxSpec) {
    TAnalyseBuffer frame;
    buildDiscoveryRequest(frame, "");
    frame.frameKind = static_cast<std::uint8_t>(FrameKind::DiscoveryReply);
    std::memcpy(frame.destinationMac, boxSpec.localMac.data(), 6);
    std::memcpy(frame.sourceMac, boxSpec.mac.data(), 6);
    std::memcpy(frame.currentIp, boxSpec.ip.data(), 4);
    std::memcpy(frame.currentMask, boxSpec.mask.data(), 4);
    std::memcpy(frame.manualIp, boxSpec.manualIp.data(), 4);
    std::memcpy(frame.manualMask, boxSpec.manualMask.data(), 4);
    frame.addressMode = boxSpec.addressMode;
    frame.neighbourhood = boxSpec.neighbourhood;
    setFieldText(frame.serialNumber, boxSpec.serial);
    storeLe(frame.softwareVersion, boxSpec.version);
    storeLe(frame.syncSlave, boxSpec.syncSlave);
    storeLe(frame.syncFault, boxSpec.syncFault);
    storeLe(frame.syncDone, boxSpec.syncDone);
    storeLe(frame.syncMaster, boxSpec.syncMaster);
    storeLe(frame.syncFloor, boxSpec.syncFloor);
    storeLe(frame.syncAge, boxSpec.syncAge);
    storeLe(frame.stateIconShown, boxSpec.stateShown);
    storeLe(frame.stateIconAlt, boxSpec.stateAlt);
    std::memset(frame.challenge, 0, sizeof frame.challenge);
    std::memcpy(frame.challenge, boxSpec.challenge.data(),
                std::min(boxSpec.challenge.size(), sizeof frame.challenge));
    return frame;
}

inline sockaddr_storage addressBlock(const std::array<std::uint8_t, 4>& ip) {
    sockaddr_storage s{};
    s.ss_family = AF_INET;
    std::memcpy(reinterpret_cast<std::uint8_t*>(&s) + 4, ip.data(), ip.size());
    return s;
}

// A workstation adapter as the inventory records it; the boxes' localMac by default.
struct InterfaceSpec {
    std::string name = "vqtest0";
    std::array<std::uint8_t, 6> mac{0x02, 0x00, 0x00, 0xaa, 0x00, 0x00};
    std::vector<std::pair<std::array<std::uint8_t, 4>, std::array<std::uint8_t, 4>>> addresses;
};

// A sweep that lists `boxes` as if they had answered, and counts its calls.
struct FakeFleet {
    std::vector<BoxSpec> boxes;
    std::vector<InterfaceSpec> interfaces;  // none: the inventory recorded nothing
    bool succeed = true;
    int sweeps = 0;
    std::function<void()> during;  // runs inside the sweep, while the window is busy

    void install() {
        services().sweep = [this](CVelqorinNetworkAnalyse& analyser, bool) {
            ++sweeps;
            if (during) during();
            analyser.reset();  // a real sweep discards the old records whatever it finds
            if (!succeed) return false;
            CVelqorinNetworkInterface* last = nullptr;
            for (const InterfaceSpec& adapter : interfaces) {
                unsigned char mac[8] = {};
                std::memcpy(mac, adapter.mac.data(), adapter.mac.size());
                last = new CVelqorinNetworkInterface(last, adapter.name.c_str(), mac);
                if (analyser.firstInterface == nullptr) analyser.firstInterface = last;
                ++analyser.interfaceCount;
                for (const auto& [ip, mask] : adapter.addresses)
                    last->addIpAddress(addressBlock(ip), addressBlock(mask));
            }
            for (const BoxSpec& boxSpec : boxes) {
                const TAnalyseBuffer frame = makeReply(boxSpec);
                analyser.AddBox(&frame, "vqtest0");
            }
            return true;
        };
    }
};

inline QList<QPointer<QTimer>>& pendingModalWatches() {
    static QList<QPointer<QTimer>> watches;
    return watches;
}

// Runs `act` on the next modal window that opens (polling the event loop), so that a test
// can answer a dialog or message box that the code under test shows with exec().
inline void onNextModal(std::function<void(QWidget*)> act, int timeoutMs = 5000) {
    auto* timer = new QTimer(qApp);
    QElapsedTimer clock;
    clock.start();
    QWidget* before = QApplication::activeModalWidget();
    timer->setInterval(10);
    QObject::connect(timer, &QTimer::timeout, timer, [timer, clock, before, act, timeoutMs] {
        QWidget* modal = QApplication::activeModalWidget();
        const bool appeared = modal != nullptr && modal != before;
        if (!appeared && clock.elapsed() <= timeoutMs) return;
        timer->stop();
        timer->deleteLater();
        if (appeared) act(modal);
    });
    timer->start();
    pendingModalWatches().append(timer);
}

// A watch for a window that never came must not act in the next test.
inline void cancelModalWatches() {
    for (const QPointer<QTimer>& timer : pendingModalWatches()) delete timer.data();
    pendingModalWatches().clear();
}

struct SeenBox {
    QString title, text;
    QStringList buttons;
    bool seen = false;
};

// Answers the next message box by pressing the button with text `press`, recording it.
inline void answerNextBox(SeenBox& seen, const QString& press) {
    onNextModal([&seen, press](QWidget* modal) {
        auto* box = qobject_cast<QMessageBox*>(modal);
        if (box == nullptr) return;
        seen.seen = true;
        seen.title = box->windowTitle();
        seen.text = box->text();
        for (QAbstractButton* button : box->buttons()) {
            seen.buttons << button->text();
            if (button->text() == press) button->click();
        }
    });
}

}  // namespace velqorin::monitor::test
