// monitor_bench: how long the monitor's window thread is kept from its event loop.
//
//   monitor_bench [--lab NAME] [--refreshes N] [--boxes N] [--runs N] [--one-at-a-time]
//
// Refresh/: the real main window (offscreen) refreshes N times with the real sweep; a
// 2 ms timer of the window thread measures the longest gap of its event loop during each
// refresh. It sends raw frames, so it runs only with --lab and only inside the lab's
// workstation namespace (bench/run-benchmarks.sh brings the lab up); elsewhere it is
// skipped. Rebuild/: a sweep that lists --boxes made-up boxes (no network), and the time
// the window thread then spends rebuilding both lists, measured --runs times.
#include <CLI/CLI.hpp>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QTimer>
#include <QTreeWidget>

#include "InsideLab.h"
#include "Configure.h"
#include "Depanne.h"
#include "Exchange.h"
#include "Principal.h"
#include "Services.h"
#include "velqorin/Frame.h"

namespace {

using namespace velqorin::monitor;
using Clock = std::chrono::steady_clock;

constexpr int kHeartbeatMs = 2;

using velqorin::bench::outsideLab;

double msSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// The window thread's longest stretch without turning its event loop, while it is on.
class Heartbeat {
public:
    Heartbeat() {
        timer_.setTimerType(Qt::PreciseTimer);
        timer_.setInterval(kHeartbeatMs);
        QObject::connect(&timer_, &QTimer::timeout, [this] {
            const qint64 now = clock_.nsecsElapsed();
            longest_ = std::max(longest_, now - last_);
            last_ = now;
            ++ticks_;
        });
    }
    void start() {
        last_ = 0;  // from the start: a refresh that blocks before the first tick counts
        longest_ = 0;
        ticks_ = 0;
        clock_.start();
        timer_.start();
    }
    // After the event loop's next turns, so that a stretch right before counts too.
    void stop() {
        QElapsedTimer t;
        t.start();
        while (t.elapsed() < 5 * kHeartbeatMs) QCoreApplication::processEvents(QEventLoop::AllEvents);
        timer_.stop();
    }
    double longestGapMs() const { return static_cast<double>(longest_) / 1e6; }
    int ticks() const { return ticks_; }

private:
    QTimer timer_;
    QElapsedTimer clock_;
    qint64 last_ = 0;
    qint64 longest_ = 0;
    int ticks_ = 0;
};

struct Windows {
    Windows() {
        MainForm = new TMainForm;
        ConfigureForm = new TConfigureForm(MainForm);
        DebloqueForm = new TDebloqueForm(MainForm);
        MainForm->FirstPaint = false;  // the benchmark starts each refresh itself
        MainForm->show();
        settle();
    }
    ~Windows() { delete MainForm; }
    static void settle() {
        QElapsedTimer t;
        t.start();
        while (t.elapsed() < 200) QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    int rows(const char* list) const {
        return MainForm->findChild<QTreeWidget*>(list)->topLevelItemCount();
    }
};

int refreshes(const std::string& lab, int count) {
    if (auto why = outsideLab(lab)) {
        std::printf("Refresh/ skipped: %s\n", why->c_str());
        return 0;
    }
    Windows windows;
    Heartbeat heartbeat;
    double worst = 0;
    std::printf("%-8s %12s %8s %15s %6s\n", "refresh", "duration_ms", "ticks", "longest_gap_ms",
                "rows");
    for (int i = 0; i < count; ++i) {
        heartbeat.start();
        const auto start = Clock::now();
        MainForm->RafraichirExecute();
        const double duration = msSince(start);
        heartbeat.stop();
        worst = std::max(worst, heartbeat.longestGapMs());
        std::printf("%-8d %12.0f %8d %15.1f %6d\n", i + 1, duration, heartbeat.ticks(),
                    heartbeat.longestGapMs(), windows.rows("VelqorinListView"));
        Windows::settle();
    }
    std::printf("longest gap of the window thread's event loop: %.1f ms (target <= 50 ms)\n", worst);
    return 0;
}

// Boxes of every kind the lists show: masters with their followers on several floors,
// some in fault or never synchronised, a few reached by USB or a serial link.
std::vector<TAnalyseBuffer> madeUpBoxes(int count) {
    std::vector<TAnalyseBuffer> boxes;
    const int masters = std::max(1, count / 10);
    for (int i = 0; i < count; ++i) {
        TAnalyseBuffer r;
        velqorin::buildDiscoveryRequest(r, "");
        r.frameKind = static_cast<std::uint8_t>(velqorin::FrameKind::DiscoveryReply);
        const int serial = 10000 + i;
        velqorin::setFieldText(r.serialNumber, std::to_string(serial));
        const std::uint8_t mac[6] = {0x00, 0x50, 0xc2, static_cast<std::uint8_t>(i % 50 == 49 ? 0x08 : 0x01),
                                     static_cast<std::uint8_t>(i >> 8), static_cast<std::uint8_t>(i)};
        std::copy(mac, mac + 6, r.sourceMac);
        const std::uint8_t ip[4] = {192, 0, static_cast<std::uint8_t>(2 + i / 250),
                                    static_cast<std::uint8_t>(i % 250 + 1)};
        std::copy(ip, ip + 4, r.currentIp);
        const std::uint8_t mask[4] = {255, 255, 255, 0};
        std::copy(mask, mask + 4, r.currentMask);
        r.addressMode = static_cast<std::uint8_t>(i % 4);
        velqorin::storeLe(r.softwareVersion, static_cast<std::uint32_t>(0x04050000 + i));
        const bool master = i < masters;
        velqorin::storeLe(r.syncSlave, master ? 0u : 1u);
        velqorin::storeLe(r.syncMaster, master ? 0u : static_cast<std::uint32_t>(10000 + i % masters));
        velqorin::storeLe(r.syncFloor, static_cast<std::int32_t>(i % 10 - 5));
        velqorin::storeLe(r.syncDone, static_cast<std::uint32_t>(i % 3 != 0));
        velqorin::storeLe(r.syncFault, static_cast<std::uint32_t>(i % 17 == 0));
        velqorin::storeLe(r.syncAge, static_cast<std::uint32_t>(i * 37));
        velqorin::storeLe(r.stateIconShown, static_cast<std::uint32_t>(i % 2));
        boxes.push_back(r);
    }
    return boxes;
}

int rebuilds(int boxCount, int runs) {
    const std::vector<TAnalyseBuffer> boxes = madeUpBoxes(boxCount);
    std::optional<Clock::time_point> sweepOver;
    services().sweep = [&](CVelqorinNetworkAnalyse& analyser, bool, const SweepObservers&) {
        analyser.reset();
        for (const TAnalyseBuffer& box : boxes) analyser.AddBox(&box, "vq0");
        sweepOver = Clock::now();
        return true;
    };
    Windows windows;
    Heartbeat heartbeat;
    std::vector<double> times;
    std::printf("%-4s %11s %15s %6s %6s\n", "run", "rebuild_ms", "longest_gap_ms", "rows1", "rows2");
    for (int i = 0; i < runs; ++i) {
        heartbeat.start();
        MainForm->RafraichirExecute();
        // From the end of the sweep to the end of the refresh: all on the window thread.
        const double rebuild = msSince(*sweepOver);
        heartbeat.stop();
        times.push_back(rebuild);
        std::printf("%-4d %11.1f %15.1f %6d %6d\n", i + 1, rebuild, heartbeat.longestGapMs(),
                    windows.rows("VelqorinListView"), windows.rows("VelqorinListView2"));
        Windows::settle();
    }
    std::sort(times.begin(), times.end());
    std::printf("window-thread time to rebuild both lists for %d boxes: median %.1f ms, worst %.1f ms "
                "(target <= 100 ms)\n",
                boxCount, times[times.size() / 2], times.back());
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"How long the monitor's window thread is kept from its event loop"};
    std::string lab;
    int refreshCount = 5, boxCount = 1000, runs = 5;
    bool oneAtATime = false;
    app.add_option("--lab", lab, "the lab whose workstation namespace this runs in");
    app.add_option("--refreshes", refreshCount, "refreshes with the real sweep")->check(CLI::Range(1, 100));
    app.add_option("--boxes", boxCount, "made-up boxes for the rebuild")->check(CLI::Range(1, 100000));
    app.add_option("--runs", runs, "rebuilds measured")->check(CLI::Range(1, 100));
    app.add_flag("--one-at-a-time", oneAtATime, "sweep one adapter after the other");
    CLI11_PARSE(app, argc, argv);

    qputenv("QT_QPA_PLATFORM", "offscreen");
    // Settings of its own: no language, version or sweep mode from the machine.
    QTemporaryDir settings;
    qputenv("XDG_CONFIG_HOME", settings.path().toUtf8());
    qputenv("XDG_CONFIG_DIRS", settings.path().toUtf8());
    if (oneAtATime) {
        QDir().mkpath(settings.path() + "/Quarvel");
        QFile file(settings.path() + "/Quarvel/Velqorin Network Monitor.conf");
        if (file.open(QIODevice::WriteOnly)) file.write("[General]\nOneAdapterAtATime=true\n");
    }
    QApplication application(argc, argv);
    std::printf("== Refresh/: the window thread during %d refreshes with the real sweep%s\n",
                refreshCount, oneAtATime ? ", one adapter at a time" : "");
    refreshes(lab, refreshCount);
    std::printf("== Rebuild/: both lists for %d boxes, %d runs\n", boxCount, runs);
    return rebuilds(boxCount, runs);
}
