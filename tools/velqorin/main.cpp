// velqorin: find Velqorin boxes from a terminal or a script.
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <iostream>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "BoxReport.h"
#include "velqorin/Extern.h"
#include "velqorin/NetworkAnalyse.h"

namespace {

enum ExitCode {
    kOk = 0,
    kFailed = 1,
    kUsage = 2,
    kNoRawAccess = 3,
    kNoAdapterList = 4,
};

constexpr double kSecondsPerAdapter = 3.1;

std::string programPath() {
    char path[4096];
    const ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
    return n > 0 ? std::string(path, static_cast<std::size_t>(n)) : std::string("velqorin");
}

bool haveRawAccess(CVelqorinNetworkAnalyse& analyser) {
    if (analyser.CheckVersion() && analyser.CheckService()) return true;
    std::cerr << "velqorin: no raw network access. Finding and configuring boxes takes raw "
                 "Ethernet frames, which need the CAP_NET_RAW capability.\n"
                 "Run velqorin as root, or grant it once with:\n"
                 "  sudo setcap cap_net_raw,cap_net_admin+ep "
              << programPath() << '\n';
    return false;
}

// Shows which adapter is being swept and about how long is left, on a terminal only,
// on standard error so that the table or the JSON on standard output stay clean.
class SweepProgressLine {
public:
    SweepProgressLine() : enabled_(::isatty(STDERR_FILENO) == 1) {
        if (enabled_) painter_ = std::thread([this] { paint(); });
    }
    ~SweepProgressLine() {
        done_ = true;
        if (painter_.joinable()) painter_.join();
        if (enabled_) std::fputs("\r\033[K", stderr);
    }

    static void report(void* self, const char* adapter, int index, int count) {
        static_cast<SweepProgressLine*>(self)->update(adapter, index, count);
    }
    const std::set<std::string>& swept() const { return swept_; }

private:
    void update(const char* adapter, int index, int count) {
        std::lock_guard lock(mutex_);
        adapter_ = adapter;
        index_ = index;
        count_ = count;
        started_ = std::chrono::steady_clock::now();
        swept_.insert(adapter);
    }
    void paint() {
        while (!done_) {
            {
                std::lock_guard lock(mutex_);
                if (count_ > 0) {
                    const double inWindow = std::chrono::duration<double>(
                                                std::chrono::steady_clock::now() - started_)
                                                .count();
                    const double left = std::max(
                        0.0, (count_ - index_) * kSecondsPerAdapter - inWindow);
                    std::fprintf(stderr, "\r\033[Ksweeping %s (%d of %d), about %.0f s left",
                                 adapter_.c_str(), index_ + 1, count_, left + 0.49);
                    std::fflush(stderr);
                }
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    }

    bool enabled_;
    std::atomic<bool> done_{false};
    std::thread painter_;
    std::mutex mutex_;
    std::string adapter_;
    int index_ = 0;
    int count_ = 0;
    std::chrono::steady_clock::time_point started_;
    std::set<std::string> swept_;
};

struct ScanOptions {
    std::vector<std::string> interfaces;
    bool json = false;
    bool csv = false;
};

int scan(const ScanOptions& options) {
    CVelqorinNetworkAnalyse analyser;
    if (!haveRawAccess(analyser)) return kNoRawAccess;

    std::vector<const char*> only;
    for (const auto& name : options.interfaces) only.push_back(name.c_str());
    bool listed = false;
    std::set<std::string> swept;
    {
        SweepProgressLine progress;
        listed = analyser.AnalyseAdapters(options.interfaces.empty() ? nullptr : only.data(),
                                          static_cast<int>(only.size()),
                                          &SweepProgressLine::report, &progress);
        swept = progress.swept();
    }
    if (!listed) {
        std::cerr << "velqorin: cannot list the network adapters for raw capture\n";
        return kNoAdapterList;
    }
    for (const auto& name : options.interfaces)
        if (!swept.count(name))
            std::cerr << "velqorin: " << name
                      << " is not a usable Ethernet adapter (it must exist, be up and not be "
                         "loopback); not swept\n";

    const auto rows = velqorin::cli::rowsOf(analyser);
    if (options.json) {
        std::cout << velqorin::cli::jsonText(rows);
    } else if (options.csv) {
        std::cout << velqorin::cli::csvText(rows);
    } else if (rows.empty()) {
        std::cout << "No box answered on " << swept.size() << " adapter"
                  << (swept.size() == 1 ? "" : "s") << ".\n";
    } else {
        std::cout << velqorin::cli::tableText(rows);
    }
    return kOk;
}

int interfaces(bool json) {
    CVelqorinNetworkAnalyse analyser;
    analyser.getIps();
    std::cout << (json ? velqorin::cli::interfacesJson(analyser)
                       : velqorin::cli::interfacesText(analyser));
    return kOk;
}

int ping(std::string address) {
    const bool answered = ExternPing(address.data());
    std::cout << address << (answered ? " answers\n" : " does not answer (500 ms)\n");
    return answered ? kOk : kFailed;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"Find Velqorin boxes on the local network and set them up."};
    app.require_subcommand(1);
    app.footer(
        "Exit codes: 0 done; 1 failed (e.g. no ping answer); 2 bad usage; 3 no raw network "
        "access; 4 the adapters cannot be listed.");

    ScanOptions scanOptions;
    auto* scanCommand = app.add_subcommand("scan", "Sweep the Ethernet adapters and list every box that answers");
    scanCommand->add_option("-i,--interface", scanOptions.interfaces,
                            "Sweep only this adapter (may be repeated)");
    auto* jsonFlag = scanCommand->add_flag("--json", scanOptions.json, "One JSON record per box");
    scanCommand->add_flag("--csv", scanOptions.csv, "CSV with a header line")->excludes(jsonFlag);

    bool interfacesJson = false;
    auto* interfacesCommand =
        app.add_subcommand("interfaces", "List the workstation's interfaces as the sweep records them");
    interfacesCommand->add_flag("--json", interfacesJson, "As JSON");

    std::string address;
    auto* pingCommand = app.add_subcommand("ping", "Send one ICMP echo and wait 500 ms for it");
    pingCommand->add_option("address", address, "IPv4 address, dotted")->required();

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        const int code = app.exit(e);
        return code == 0 ? kOk : kUsage;
    }
    if (*scanCommand) return scan(scanOptions);
    if (*interfacesCommand) return interfaces(interfacesJson);
    if (*pingCommand) return ping(address);
    return kUsage;
}
