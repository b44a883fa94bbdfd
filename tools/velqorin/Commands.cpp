#include "Commands.h"
#include "velqorin/Address.h"

#include <arpa/inet.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <mutex>
#include <set>
#include <thread>

#include "BoxReport.h"
#include "Input.h"
#include "SafeText.h"
#include "Sweep.h"
#include "Terminal.h"
#include "velqorin/Compatibility.h"
#include "velqorin/Extern.h"
#include "velqorin/NetworkAnalyse.h"

namespace velqorin::cli {
namespace {

constexpr std::size_t kSecretMax = kPasswordMax;
constexpr std::size_t kSyncSecretMax = kSyncPasswordMax;

int fail(ExitCode code, const std::string& message) {
    std::cerr << "velqorin: " << terminalText(message) << '\n';
    return code;
}

// What the sweep is doing and about how long is left, on a terminal only and on standard
// error, so that what goes to standard output stays clean for scripts. With --verbose,
// each adapter's replies and losses follow on standard error, terminal or not.
class SweepProgressLine {
public:
    SweepProgressLine(bool concurrent, bool verbose, const std::atomic<bool>* stop)
        : enabled_(::isatty(STDERR_FILENO) == 1), concurrent_(concurrent), verbose_(verbose),
          stop_(stop) {
        if (enabled_) painter_ = std::thread([this] { paint(); });
    }
    ~SweepProgressLine() {
        done_ = true;
        if (painter_.joinable()) painter_.join();
        if (enabled_) std::fputs("\r\033[K", stderr);
    }
    SweepProgressLine(const SweepProgressLine&) = delete;
    SweepProgressLine& operator=(const SweepProgressLine&) = delete;

    CVelqorinNetworkAnalyse::SweepObserver observer() {
        return {this, &SweepProgressLine::turning, &SweepProgressLine::listening,
                &SweepProgressLine::adapterDone, &SweepProgressLine::stopAsked,
                &SweepProgressLine::tally};
    }
    std::set<std::string> swept() {
        std::lock_guard lock(mutex_);
        return swept_;
    }

private:
    static void turning(void* self, const char* adapter, int index, int count) {
        auto& p = *static_cast<SweepProgressLine*>(self);
        std::lock_guard lock(p.mutex_);
        p.asking_ = adapter;
        p.index_ = index;
        p.count_ = count;
        p.listening_.clear();
        p.turned_ = std::chrono::steady_clock::now();
    }
    static void listening(void* self, const char* const* adapters, int count, int) {
        auto& p = *static_cast<SweepProgressLine*>(self);
        std::lock_guard lock(p.mutex_);
        std::string names;
        for (int i = 0; i < count; ++i) names += (i > 0 ? ", " : "") + std::string(adapters[i]);
        if (p.listening_.empty()) p.windowStart_ = std::chrono::steady_clock::now();
        p.listening_ = names;
    }
    static bool stopAsked(void* self) {
        const auto* stop = static_cast<SweepProgressLine*>(self)->stop_;
        return stop != nullptr && stop->load();
    }
    static void adapterDone(void* self, const char* adapter, int, unsigned) {
        auto& p = *static_cast<SweepProgressLine*>(self);
        std::lock_guard lock(p.mutex_);
        p.swept_.insert(adapter);
    }
    // Boxes that answered fewer times than they were asked point at frames lost on the
    // way; dropped frames at a capture buffer too small for the burst.
    static void tally(void* self, const CVelqorinNetworkAnalyse::AdapterTally* t) {
        auto& p = *static_cast<SweepProgressLine*>(self);
        if (!p.verbose_) return;
        std::lock_guard lock(p.mutex_);
        if (p.enabled_) std::fputs("\r\033[K", stderr);
        const auto plural = [](long n, const char* one, const char* many) {
            return std::to_string(n) + " " + (n == 1 ? one : many);
        };
        // A flood of made-up serial numbers shows as replies beyond the boxes a sweep lists.
        const std::string beyond =
            t->beyondLimit > 0 ? ", " + plural(t->beyondLimit, "reply", "replies") +
                                     " dropped beyond the " +
                                     std::to_string(CVelqorinNetworkAnalyse::kMaxBoxes) +
                                     " boxes a sweep lists"
                               : std::string();
        std::fprintf(stderr, "velqorin: %s: %s sent, %s accepted from %s, %d answered fewer than %s, %s dropped for want of capture buffer%s\n",
                     terminalText(t->adapter).c_str(), plural(t->requests, "request", "requests").c_str(),
                     plural(t->replies, "reply", "replies").c_str(),
                     plural(t->boxes, "box", "boxes").c_str(), t->boxesShort,
                     plural(t->requests, "time", "times").c_str(),
                     plural(t->dropped, "frame", "frames").c_str(), beyond.c_str());
    }

    double secondsLeft() const {
        using namespace std::chrono;
        const double window = CVelqorinNetworkAnalyse::kWindowMs / 1000.0;
        const auto now = steady_clock::now();
        if (concurrent_) {
            if (listening_.empty()) return window;
            return std::max(0.0, window - duration<double>(now - windowStart_).count());
        }
        const double inWindow = duration<double>(now - turned_).count();
        return std::max(0.0, (count_ - index_) * window - inWindow);
    }

    void paint() {
        while (!done_) {
            {
                std::lock_guard lock(mutex_);
                if (count_ > 0) {
                    const int left = static_cast<int>(secondsLeft() + 0.49);
                    if (concurrent_ && !listening_.empty())
                        std::fprintf(stderr, "\r\033[Klistening on %s, about %d s left",
                                     listening_.c_str(), left);
                    else
                        std::fprintf(stderr, "\r\033[Ksweeping %s (%d of %d), about %d s left",
                                     asking_.c_str(), index_ + 1, count_, left);
                    std::fflush(stderr);
                }
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    }

    const bool enabled_;
    const bool concurrent_;
    const bool verbose_;
    const std::atomic<bool>* stop_;
    std::atomic<bool> done_{false};
    std::thread painter_;
    std::mutex mutex_;
    std::string asking_;
    std::string listening_;
    int index_ = 0;
    int count_ = 0;
    std::chrono::steady_clock::time_point turned_;
    std::chrono::steady_clock::time_point windowStart_;
    std::set<std::string> swept_;
};

}  // namespace

bool haveRawAccess(CVelqorinNetworkAnalyse& analyser) {
    if (analyser.CheckVersion() && analyser.CheckService()) return true;
    char why[1000] = "";
    CVelqorinNetworkAnalyse::RawAccessProblem(why, sizeof why);
    std::cerr << "velqorin: no raw network access. Finding and configuring boxes takes raw "
                 "Ethernet frames, which the link helper sends and receives for velqorin.\n"
                 "velqorin: "
              << terminalText(why) << '\n';
    return false;
}

CVelqorinNetworkAnalyse::SweepObserver stopObserver(const std::atomic<bool>* stop) {
    CVelqorinNetworkAnalyse::SweepObserver observer{};
    observer.context = const_cast<std::atomic<bool>*>(stop);
    observer.stopRequested = [](void* flag) {
        return flag != nullptr && static_cast<const std::atomic<bool>*>(flag)->load();
    };
    return observer;
}

int sweep(CVelqorinNetworkAnalyse& analyser, const std::vector<std::string>& only,
          std::set<std::string>& swept, const SweepStyle& style) {
    if (!haveRawAccess(analyser)) return kNoRawAccess;
    std::vector<const char*> names;
    for (const auto& name : only) names.push_back(name.c_str());
    const char* const* listed = only.empty() ? nullptr : names.data();
    const int listedCount = static_cast<int>(names.size());
    bool ok = false;
    {
        SweepProgressLine progress(!style.oneByOne, style.verbose, style.stop);
        const auto observer = progress.observer();
        ok = style.oneByOne
                 ? analyser.AnalyseAdapters(listed, listedCount, &observer)
                 : analyser.AnalyseConcurrently(listed, listedCount, &observer, style.requests);
        swept = progress.swept();
    }
    if (!ok) return fail(kNoAdapterList, "cannot list the network adapters for raw capture");
    for (const auto& name : only)
        if (!swept.count(name))
            std::cerr << "velqorin: " << terminalText(name)
                      << " is not a usable Ethernet adapter (it must exist, be up and not be "
                         "loopback); not swept\n";
    return kOk;
}

namespace {

std::string joined(const std::set<std::string>& names) {
    std::string text;
    for (const auto& n : names) text += (text.empty() ? "" : ", ") + n;
    return text.empty() ? "none" : text;
}

// The box a command goes to: listed, or the record of another station that answered with
// the same serial number, which `station` then owns.
struct FoundBox {
    CVelqorinBoxOnNetwork* box = nullptr;
    std::unique_ptr<CVelqorinBoxOnNetwork> station;
};

// Sweeps and finds the one box the target names.
int findBox(CVelqorinNetworkAnalyse& analyser, const BoxTarget& target, FoundBox& chosen) {
    std::optional<Mac> mac;
    if (!target.mac.empty() && !(mac = parseMac(target.mac)))
        return fail(kBadInput, "--mac " + target.mac + " is not a MAC address (such as 02:00:00:01:00:0a)");
    std::set<std::string> swept;
    if (const int code = sweep(analyser, target.interfaces, swept, {false, false, target.requests});
        code != kOk)
        return code;
    const BoxLookup found = lookUpBox(analyser, target.serial, mac);
    switch (found.outcome) {
        case BoxLookup::Outcome::NotFound:
            return fail(kNotFound, "no box with serial number " + target.serial +
                                       " answered (adapters swept: " + joined(swept) + ")");
        case BoxLookup::Outcome::OnSeveralAdapters:
            return fail(kAmbiguous, "box " + target.serial + " answers on " +
                                        joinedText(found.adapters, ", ") + "; choose one with --interface");
        case BoxLookup::Outcome::FromSeveralStations:
            return fail(kAmbiguous, "box " + target.serial + " answers on " + found.adapter + " from " +
                                        std::to_string(found.stations.size()) + " stations (" +
                                        stationMacs(found.stations) +
                                        "): two boxes share this serial number, or one answers "
                                        "in its name; name the box with --mac");
        case BoxLookup::Outcome::NotFromThatMac:
            return fail(kNotFound, "box " + target.serial + " did not answer from " + target.mac +
                                       " (it answered from " + stationMacs(found.stations) + ")");
        case BoxLookup::Outcome::Found:
            break;
    }
    chosen.box = found.box;
    if (found.station) {
        chosen.station = std::make_unique<CVelqorinBoxOnNetwork>(nullptr, &*found.station,
                                                                 found.box->adapterName);
        chosen.box = chosen.station.get();
    }
    return kOk;
}

const char* linkKindText(LinkKind kind) {
    return kind == LinkKind::Usb ? "USB" : kind == LinkKind::Serial ? "a serial line" : "the network";
}

int requireNetworkBox(const CVelqorinBoxOnNetwork& box) {
    const LinkKind kind = linkKind(box.storedRecord);
    if (kind == LinkKind::Network) return kOk;
    return fail(kBadInput, "box " + std::string(fieldText(box.storedRecord.serialNumber)) +
                               " is connected over " + linkKindText(kind) +
                               "; only boxes on the network can be set up");
}

std::optional<Secret> secret(const BoxTarget& target, const std::string& what,
                             std::size_t max = kSecretMax) {
    if (!target.passwordStdin && !haveTerminal()) {
        std::cerr << "velqorin: no terminal to read the " << what
                  << " from; give it on standard input with --password-stdin\n";
        return std::nullopt;
    }
    auto text = readSecret("The box's " + what + ": ", target.passwordStdin);
    if (!text) {
        std::cerr << "velqorin: no " << what << " given\n";
        return std::nullopt;
    }
    if (text->size() > max)
        std::cerr << "velqorin: a box reads only the first " << max << " characters of the "
                  << what << "\n";
    return text;
}

int commandResult(int result, const std::string& refusal) {
    switch (result) {
        case kCommandAccepted: std::cout << "The box accepted the command.\n"; return kOk;
        case kCommandRefused: return fail(kRefused, refusal);
        default:
            return fail(kNoAnswer,
                        "a network error occurred: the box did not answer within about three "
                        "seconds, or the adapter could not be used");
    }
}

const char* verdictText(Verdict v) {
    switch (v) {
        case Verdict::Compatible:
            return "The box's settings fit the workstation's network configuration";
        case Verdict::CompatibleUseDhcp:
            return "The box's manual settings fit the workstation's network configuration, but "
                   "you should turn DHCP on";
        case Verdict::CompatibleUseFixed:
            return "The box's manual settings fit the workstation's network configuration, but "
                   "you should turn DHCP off";
        case Verdict::Incompatible:
            return "The box's manual settings do not fit the workstation's network configuration";
        case Verdict::WorkstationAddress:
            break;
    }
    return "The box's manual address must differ from the workstation's and from every other "
           "device on the network";
}

bool goOn(const std::string& question, bool yes) {
    if (yes) {
        std::cerr << "velqorin: " << question << " Going on (--yes).\n";
        return true;
    }
    if (!haveTerminal()) {
        std::cerr << "velqorin: " << question << " No terminal to ask; give --yes to go on.\n";
        return false;
    }
    return confirm(question + " Continue?");
}

sockaddr_storage block(const std::uint8_t* ip) { return ipv4Block(ip); }

}  // namespace

int scan(const ScanOptions& options) {
    CVelqorinNetworkAnalyse analyser;
    std::set<std::string> swept;
    if (const int code = sweep(analyser, options.interfaces, swept,
                               {options.oneByOne, options.verbose, options.requests});
        code != kOk)
        return code;
    int result = kOk;
    if (options.dialUp && !analyser.Analyse_Ras()) {
        std::cerr << "velqorin: cannot list the point-to-point links; no box behind a dial-up "
                     "link is listed\n";
        result = kNoAdapterList;
    }
    if (options.sync) {
        const auto chains = syncListOf(analyser);
        if (options.json)
            std::cout << syncJsonText(chains);
        else if (options.csv)
            std::cout << syncCsvText(chains);
        else if (chains.empty())
            std::cout << "No box on the local network answered on " << swept.size() << " adapter"
                      << (swept.size() == 1 ? "" : "s") << ".\n";
        else
            std::cout << syncTableText(chains);
        return result;
    }
    const auto rows = rowsOf(analyser);
    if (options.json)
        std::cout << jsonText(rows);
    else if (options.csv)
        std::cout << csvText(rows);
    else if (rows.empty())
        std::cout << "No box answered on " << swept.size() << " adapter"
                  << (swept.size() == 1 ? "" : "s")
                  << (options.dialUp ? " or behind a point-to-point link" : "") << ".\n";
    else
        std::cout << tableText(rows);
    if (const std::string summary = addressSummary(rows); !summary.empty())
        std::cerr << "velqorin: " << terminalText(summary) << '\n';
    return result;
}

int interfaces(bool json) {
    CVelqorinNetworkAnalyse analyser;
    analyser.getIps();
    std::cout << (json ? interfacesJson(analyser) : interfacesText(analyser));
    return kOk;
}

namespace {

struct ReportPrinter {
    int shown = 0;
    bool endedWithBlankLine = false;
    bool listingFailed = false;

    // Reports one after the other, one empty line between them.
    static void print(void* self, const char* title, const char* text,
                      CVelqorinNetworkAnalyse::ReportIcon icon) {
        auto& p = *static_cast<ReportPrinter*>(self);
        // Host names, domains and link names come from files and the network.
        const std::string body = terminalLines(text != nullptr ? text : "");
        if (p.shown++ > 0 && !p.endedWithBlankLine) std::cout << '\n';
        std::cout << terminalText(title != nullptr ? title : "") << '\n' << body;
        if (!body.empty() && body.back() != '\n') std::cout << '\n';
        p.endedWithBlankLine = body.ends_with("\n\n");
        if (icon == CVelqorinNetworkAnalyse::ReportError) p.listingFailed = true;
    }
};

// Puts the default sink back however diag ends.
struct SinkInstalled {
    explicit SinkInstalled(ReportPrinter& printer) {
        CVelqorinNetworkAnalyse::SetReportSink(&ReportPrinter::print, &printer);
    }
    ~SinkInstalled() { CVelqorinNetworkAnalyse::SetReportSink(nullptr, nullptr); }
    SinkInstalled(const SinkInstalled&) = delete;
    SinkInstalled& operator=(const SinkInstalled&) = delete;
};

}  // namespace

int diag() {
    ReportPrinter printer;
    {
        const SinkInstalled installed(printer);
        CVelqorinNetworkAnalyse analyser;
        analyser.NetworkTest1();
        analyser.NetworkTest2();
        analyser.NetworkTest3();
    }
    std::cout << std::flush;
    return printer.listingFailed ? kFailed : kOk;
}

int ping(std::string address) {
    if (!parseIpv4(address)) return fail(kBadInput, address + " is not an IPv4 address (four octets 0 to 255)");
    const bool answered = ExternPing(address.data());
    std::cout << address << (answered ? " answers\n" : " does not answer (500 ms)\n");
    return answered ? kOk : kFailed;
}

int configure(const ConfigureOptions& o) {
    std::optional<Ipv4> ip, mask;
    if (!o.dhcp) {
        ip = parseIpv4(o.ip);
        mask = parseIpv4(o.mask);
        if (!ip) return fail(kBadInput, "--ip " + o.ip + " is not an IPv4 address (four octets 0 to 255)");
        if (!mask || !isSubnetMask(*mask))
            return fail(kBadInput, "--mask " + o.mask + " is not a subnet mask (such as 255.255.255.0)");
        if (auto problem = addressProblem(*ip, *mask))
            return fail(kBadInput, "--ip " + o.ip + " cannot be given to a box: " + *problem);
    }

    CVelqorinNetworkAnalyse analyser;
    FoundBox found;
    if (const int code = findBox(analyser, o.target, found); code != kOk) return code;
    CVelqorinBoxOnNetwork* box = found.box;
    if (const int code = requireNetworkBox(*box); code != kOk) return code;

    const TAnalyseBuffer& now = box->storedRecord;
    // With DHCP the manual address stays what the box holds.
    const Ipv4 newIp = ip ? *ip : Ipv4{now.manualIp[0], now.manualIp[1], now.manualIp[2], now.manualIp[3]};
    const Ipv4 newMask = mask ? *mask : Ipv4{now.manualMask[0], now.manualMask[1], now.manualMask[2], now.manualMask[3]};
    const bool neighbourhood = o.neighbourhood.value_or(now.neighbourhood != 0);
    if (neighbourhood != (now.neighbourhood != 0) && !o.restart)
        std::cerr << "velqorin: the neighbourhood visibility changes only when the box restarts; "
                     "add --restart to restart it now\n";

    unsigned char localMac[8];
    if (const CVelqorinNetworkInterface* local = analyser.getNetworkInterface(box->getMac(localMac))) {
        const Verdict verdict = compatibilityVerdict(*local, newIp.data(), newMask.data(), o.dhcp);
        // Two devices with one address cut the workstation off: a script's --yes is not
        // enough for that, a person must say so.
        if (verdict == Verdict::WorkstationAddress && o.yes)
            return fail(kDeclined, std::string(verdictText(verdict)) +
                                       "; --yes does not cover this, run configure at a terminal "
                                       "to confirm it");
        if (verdict != Verdict::Compatible && !goOn(std::string(verdictText(verdict)) + ".", o.yes))
            return kDeclined;
    } else {
        std::cerr << "velqorin: the workstation interface this box answered on is unknown; "
                     "the settings are not checked against it\n";
    }
    if (std::memcmp(newIp.data(), now.manualIp, 4) != 0 &&
        ExternPingEx(block(newIp.data())) &&
        !goOn("The address " + ipText(newIp.data()) + " seems to be in use already.", o.yes))
        return kDeclined;

    const auto password = secret(o.target, "password");
    if (!password) return kBadInput;
    const int result = box->ConfigNetwork(password->c_str(), o.dhcp, block(newIp.data()),
                                          block(newMask.data()), neighbourhood, o.restart);
    return commandResult(result, "the password was refused, or the session expired; sweep again and retry");
}

int sync(const SyncOptions& o) {
    unsigned master = 0;
    int floor = 0;
    if (!o.master) {
        if (*o.follow < 0 || *o.follow > 0xFFFFFFFFLL)
            return fail(kBadInput, "--follow takes the serial number of a master box");
        master = static_cast<unsigned>(*o.follow);
        floor = o.floor.value_or(0);
        if (!validFloor(floor))
            return fail(kBadInput, "--floor " + std::to_string(floor) + " is not a floor a box takes: -5 to -1 or 1 to 5");
    }
    CVelqorinNetworkAnalyse analyser;
    FoundBox found;
    if (const int code = findBox(analyser, o.target, found); code != kOk) return code;
    CVelqorinBoxOnNetwork* box = found.box;
    if (const int code = requireNetworkBox(*box); code != kOk) return code;
    if (!o.master && boxesWithSerial(analyser, std::to_string(master)).empty())
        std::cerr << "velqorin: no box with serial number " << master
                  << " answered this sweep; setting it as the master all the same\n";

    const auto password = secret(o.target, "password", kSyncSecretMax);
    if (!password) return kBadInput;
    const int result = box->ConfigSynchro(password->c_str(), o.master, master, floor, o.now);
    return commandResult(result, "the password was refused, or the session expired; sweep again and retry");
}

int unlock(const BoxTarget& target) {
    CVelqorinNetworkAnalyse analyser;
    FoundBox found;
    if (const int code = findBox(analyser, target, found); code != kOk) return code;
    CVelqorinBoxOnNetwork* box = found.box;
    const std::string_view challenge = fieldText(box->storedRecord.challenge);
    std::cout << "Box " << terminalText(fieldText(box->storedRecord.serialNumber))
              << ", support code " << terminalText(challenge.substr(0, kSupportCodeLength))
              << "\nGive both to support to get the box's unlock code.\n"
              << std::flush;
    const auto code = secret(target, "unlock code");
    if (!code) return kBadInput;
    const int result = box->EffacerMdp(code->c_str());
    if (result == kCommandAccepted) {
        std::cout << "The box's administrator password is cleared.\n";
        return kOk;
    }
    return commandResult(result, "the unlock code was refused");
}

}  // namespace velqorin::cli
