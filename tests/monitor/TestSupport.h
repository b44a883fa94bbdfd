// What the monitor's tests share: box replies made to measure, a sweep that lists them,
// and a way to answer the modal windows the code under test opens.
#pragma once

#include <netinet/in.h>

#include <array>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <deque>
#include <functional>
#include <mutex>
#include <utility>
#include <string>
#include <vector>

#include <QApplication>
#include <QElapsedTimer>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QThread>
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
    std::string adapter;    // the adapter it answers on; empty: the fleet's
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

// Work handed from other threads to the window thread's event loop. The work itself goes
// by a mutex and a condition, which the thread sanitizer sees; Qt's queue carries only
// the wake-up, made inside Qt, whose own locks a Qt not built for the sanitizer hides.
class WindowThreadCalls : public QObject {
    Q_OBJECT

public:
    static WindowThreadCalls& instance() {
        static WindowThreadCalls* calls = [] {
            auto* made = new WindowThreadCalls;
            made->moveToThread(qApp->thread());
            return made;
        }();
        return *calls;
    }

    // Runs `work` there and waits until it has run.
    void runAndWait(const std::function<void()>& work) {
        std::unique_lock lock(mutex_);
        pending_.push_back(&work);
        const std::uint64_t ticket = ++posted_;
        lock.unlock();
        QMetaObject::invokeMethod(this, "runPending", Qt::QueuedConnection);
        lock.lock();
        ran_.wait(lock, [&] { return done_ >= ticket; });
    }

private:
    Q_INVOKABLE void runPending() {
        std::unique_lock lock(mutex_);
        while (!pending_.empty()) {
            const std::function<void()>* work = pending_.front();
            pending_.pop_front();
            lock.unlock();
            (*work)();
            lock.lock();
            ++done_;
        }
        ran_.notify_all();
    }

    std::mutex mutex_;
    std::condition_variable ran_;
    std::deque<const std::function<void()>*> pending_;
    std::uint64_t posted_ = 0;
    std::uint64_t done_ = 0;
};

// Runs `work` on the window thread and waits for it: from the exchange's thread, through
// the window thread's event loop, which must therefore be turning.
inline void onWindowThread(const std::function<void()>& work) {
    if (!work) return;
    if (QThread::currentThread() == qApp->thread())
        work();  // a sweep run on the window thread by mistake: the checks still run
    else
        WindowThreadCalls::instance().runAndWait(work);
}

// A sweep that lists `boxes` as if they had answered, and counts its calls. It tells the
// observer as a real sweep does: the adapter, then its listening window of `windowMs`,
// read every 20 ms, which ends early when the observer asks to stop.
struct FakeFleet {
    std::vector<BoxSpec> boxes;
    std::vector<InterfaceSpec> interfaces;  // none: the inventory recorded nothing
    bool succeed = true;
    int windowMs = 0;
    std::string adapter = "vqtest0";
    int beyondLimit = 0;  // replies the sweep tells it dropped past the boxes it lists
    // Run on the window thread while the sweep waits: `during` once the lists are
    // emptied and the adapter told, `beforeEnd` when the window is over.
    std::function<void()> during;
    std::function<void()> beforeEnd;

    // What the sweeps did.
    int sweeps = 0;
    bool stopped = false;         // the last one was asked to stop and ended early
    bool onTheWindowThread = false;
    bool dialUpAsked = false;

    void install() {
        services().sweep = [this](CVelqorinNetworkAnalyse& analyser, bool withDialUp,
                                  const SweepObservers& observers) {
            ++sweeps;
            stopped = false;
            onTheWindowThread = QThread::currentThread() == qApp->thread();
            dialUpAsked = withDialUp;
            analyser.reset();  // a real sweep discards the old records whatever it finds
            const CVelqorinNetworkAnalyse::SweepObserver* told = observers.ethernet;
            const auto stopAsked = [told] {
                return told != nullptr && told->stopRequested != nullptr &&
                       told->stopRequested(told->context);
            };
            if (told != nullptr && told->adapter != nullptr)
                told->adapter(told->context, adapter.c_str(), 0, 1);
            onWindowThread(during);
            QElapsedTimer window;
            window.start();
            const char* names[] = {adapter.c_str()};
            while (window.elapsed() < windowMs) {
                QThread::msleep(20);
                if (told != nullptr && told->listening != nullptr)
                    told->listening(told->context, names, 1, static_cast<int>(window.elapsed()));
                if (stopAsked()) {
                    stopped = true;
                    break;
                }
            }
            onWindowThread(beforeEnd);
            if (told != nullptr && told->adapterTally != nullptr) {
                const CVelqorinNetworkAnalyse::AdapterTally tally{adapter.c_str(), 1, 0, 0, 0, 0,
                                                                  beyondLimit};
                told->adapterTally(told->context, &tally);
            }
            const CVelqorinNetworkAnalyse::SweepObserver* dialUp = observers.dialUp;
            if (withDialUp && dialUp != nullptr && dialUp->adapter != nullptr)
                dialUp->adapter(dialUp->context, "ppp0", 0, 1);
            if (!succeed) return false;
            CVelqorinNetworkInterface* last = nullptr;
            for (const InterfaceSpec& recorded : interfaces) {
                unsigned char mac[8] = {};
                std::memcpy(mac, recorded.mac.data(), recorded.mac.size());
                last = new CVelqorinNetworkInterface(last, recorded.name.c_str(), mac);
                if (analyser.firstInterface == nullptr) analyser.firstInterface = last;
                ++analyser.interfaceCount;
                for (const auto& [ip, mask] : recorded.addresses)
                    last->addIpAddress(addressBlock(ip), addressBlock(mask));
            }
            for (const BoxSpec& boxSpec : boxes) {
                const TAnalyseBuffer frame = makeReply(boxSpec);
                analyser.AddBox(&frame, (boxSpec.adapter.empty() ? adapter : boxSpec.adapter).c_str());
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
