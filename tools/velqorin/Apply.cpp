#include "Apply.h"
#include "velqorin/Address.h"

#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <sstream>

#include "ApplyPhases.h"
#include "BoxReport.h"
#include "Commands.h"
#include "Input.h"
#include "Plan.h"
#include "SafeText.h"
#include "Sweep.h"
#include "Terminal.h"
#include "velqorin/CommandBatch.h"
#include "velqorin/Compatibility.h"
#include "velqorin/Extern.h"
#include "velqorin/NetworkAnalyse.h"
#include "velqorin/SyncOrder.h"

namespace velqorin::cli {
namespace {

// A plan for a site is a few kilobytes; anything this large is the wrong file.
constexpr std::streamoff kPlanMax = 4 << 20;
// What a box reads of a password in a network command (a synchronisation command reads
// one more).
constexpr std::size_t kSecretMax = kPasswordMax;

std::optional<std::string> readPlanFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        std::cerr << "velqorin: cannot read the plan " << path << ": " << std::strerror(errno) << '\n';
        return std::nullopt;
    }
    // A plan may hold passwords: read into one buffer that never moves, so that wiping it
    // afterwards leaves no copy behind.
    std::string text;
    text.reserve(static_cast<std::size_t>(kPlanMax));
    char buffer[65536];
    bool tooLarge = false;
    while (in.read(buffer, sizeof buffer) || in.gcount() > 0) {
        const auto n = static_cast<std::size_t>(in.gcount());
        if (text.size() + n > static_cast<std::size_t>(kPlanMax)) {
            tooLarge = true;
            break;
        }
        text.append(buffer, n);
    }
    explicit_bzero(buffer, sizeof buffer);
    if (tooLarge || in.bad()) {
        wipe(text);
        std::cerr << "velqorin: " << terminalText(path)
                  << (tooLarge ? " is larger than 4 MiB; is it the plan?\n" : ": cannot read the plan\n");
        return std::nullopt;
    }
    return text;
}

// A plan with passwords that every user of the machine may read gives them away.
void warnWhenOthersMayRead(const std::string& path, const Plan& plan) {
    const bool passwords = std::any_of(plan.rows.begin(), plan.rows.end(),
                                       [](const PlanRow& r) { return r.password.has_value(); });
    struct stat status {};
    if (!passwords || ::stat(path.c_str(), &status) != 0 || (status.st_mode & S_IROTH) == 0) return;
    std::cerr << "velqorin: " << terminalText(path)
              << " holds passwords and every user of this machine may read it; make it "
                 "private with: chmod o-rwx "
              << terminalText(path) << '\n';
}

// The plan's passwords are wiped however apply ends.
struct PasswordsWiped {
    Plan& plan;
    ~PasswordsWiped() {
        for (PlanRow& row : plan.rows)
            if (row.password) wipe(*row.password);
    }
};

Ipv4 addressIn(const sockaddr_storage& block) {
    Ipv4 ip;
    std::memcpy(ip.data(), blockAddress(block), 4);
    return ip;
}

sockaddr_storage block(const Ipv4& ip) { return ipv4Block(ip.data()); }

std::vector<Ipv4> workstationAddresses(const CVelqorinNetworkAnalyse& analyser) {
    std::vector<Ipv4> addresses;
    for (const CVelqorinNetworkInterface* rec = analyser.firstInterface; rec; rec = rec->next)
        for (int i = 0; i < rec->getCountIpAddresses(); ++i) {
            sockaddr_storage address{}, mask{};
            rec->getIpAddress(i, &address, &mask);
            addresses.push_back(addressIn(address));
        }
    return addresses;
}

std::string joined(const std::set<std::string>& names) {
    std::string text;
    for (const auto& n : names) text += (text.empty() ? "" : ", ") + n;
    return text.empty() ? "none" : text;
}

// ConfigNetwork knows only DHCP or fixed; a box that keeps the Auto IP, RARP or other mode
// it reports gets the same fields written as ConfigNetwork writes them, its mode byte as
// it was.
bool keepsOtherMode(const NetworkCommand& c) { return c.addressMode != 0 && c.addressMode != 1; }

CommandCode writeKeepingMode(CVelqorinBoxOnNetwork& box, const std::string& password, const NetworkCommand& c) {
    TAnalyseBuffer& r = box.storedRecord;
    r.addressMode = c.addressMode;
    std::memcpy(r.manualIp, c.ip.data(), 4);
    std::memcpy(r.manualMask, c.mask.data(), 4);
    r.neighbourhood = c.neighbourhood ? 1 : 0;
    std::memset(box.password, 0, sizeof box.password);
    std::memcpy(box.password, password.data(), std::min(password.size(), kSecretMax));
    // Send wipes it once the command is out.
    return {static_cast<unsigned char>(c.restart ? FrameKind::ApplyNetworkAndRestart : FrameKind::ApplyNetwork),
            false};
}

// The site as the library reaches it: one analyser, its sweeps, and each row's box as the
// last sweep located it.
class AnalyserSite final : public SiteActions {
public:
    AnalyserSite(const std::vector<std::string>& interfaces, int requests)
        : interfaces_(interfaces), style_{false, false, requests} {}

    int sweep() override {
        boxes_.clear();
        stations_.clear();
        swept_.clear();
        return cli::sweep(analyser_, interfaces_, swept_, style_);
    }
    std::vector<Ipv4> workstationAddresses() override { return cli::workstationAddresses(analyser_); }

    Located locate(std::size_t row, const PlanRow& plan) override {
        Located t;
        const BoxLookup found = lookUpBox(analyser_, plan.serial, plan.mac);
        switch (found.outcome) {
            case BoxLookup::Outcome::NotFound:
                t.missing = RowResult::NotFound;
                t.detail = "no box with this serial number answered (adapters swept: " + joined(swept_) + ")";
                return t;
            case BoxLookup::Outcome::OnSeveralAdapters:
                t.missing = RowResult::Ambiguous;
                t.detail = "answers on " + joinedText(found.adapters, ", ") + "; choose one with -i";
                return t;
            case BoxLookup::Outcome::FromSeveralStations:
                t.missing = RowResult::Ambiguous;
                t.detail = "answers on " + found.adapter + " from " + std::to_string(found.stations.size()) +
                           " stations (" + stationMacs(found.stations) +
                           "); name the box in the plan's mac column";
                return t;
            case BoxLookup::Outcome::NotFromThatMac:
                t.missing = RowResult::NotFound;
                t.detail = "did not answer from " + macText(plan.mac->data()) + " (it answered from " +
                           stationMacs(found.stations) + ")";
                return t;
            case BoxLookup::Outcome::Found:
                break;
        }
        const LinkKind kind = linkKind(found.box->storedRecord);
        if (kind != LinkKind::Network) {
            t.missing = RowResult::NotFound;
            t.detail = std::string("found connected over ") + (kind == LinkKind::Usb ? "USB" : "a serial line") +
                       "; only boxes on the network can be set up";
            return t;
        }
        CVelqorinBoxOnNetwork* box = found.box;
        if (found.station) {
            auto station = std::make_unique<CVelqorinBoxOnNetwork>(nullptr, &*found.station,
                                                                   found.box->adapterName);
            box = station.get();
            stations_.push_back(std::move(station));
        }
        boxes_[row] = box;
        t.record = box->storedRecord;
        t.adapter = found.adapter;
        return t;
    }

    bool serialAnswered(std::uint32_t serial) override {
        for (const auto* b = analyser_.firstBox; b != nullptr; b = b->next)
            if (serialNames(b->storedRecord, serial)) return true;
        return false;
    }

    std::optional<Verdict> verdict(std::size_t row, const BoxSettings& planned) override {
        CVelqorinBoxOnNetwork* box = boxOf(row);
        unsigned char mac[8];
        const auto* local = box != nullptr ? analyser_.getNetworkInterface(box->getMac(mac)) : nullptr;
        if (local == nullptr) return std::nullopt;
        return compatibilityVerdict(*local, planned.ip.data(), planned.mask.data(), planned.addressMode == 1);
    }

    bool answersPing(const Ipv4& address) override { return ExternPingEx(block(address)); }

    std::vector<bool> answersPings(const std::vector<Ipv4>& addresses) override {
        std::vector<sockaddr_storage> blocks;
        blocks.reserve(addresses.size());
        for (const Ipv4& a : addresses) blocks.push_back(block(a));
        return pingAddresses(blocks);
    }

    int sendSync(std::size_t row, const std::string& password, const SyncCommand& c) override {
        CVelqorinBoxOnNetwork* box = boxOf(row);
        if (box == nullptr) return kCommandNoAnswer;
        return box->ConfigSynchro(password.c_str(), c.masterMode, c.master, c.floor, false);
    }

    int sendNetwork(std::size_t row, const std::string& password, const NetworkCommand& c) override {
        CVelqorinBoxOnNetwork* box = boxOf(row);
        if (box == nullptr) return kCommandNoAnswer;
        if (keepsOtherMode(c)) {
            const CommandCode code = writeKeepingMode(*box, password, c);
            return box->Send(code.code, code.clearPassword);
        }
        return box->ConfigNetwork(password.c_str(), c.addressMode == 1, block(c.ip), block(c.mask),
                                  c.neighbourhood, c.restart);
    }

    std::vector<std::vector<int>> sendAll(const std::vector<RowCommands>& rows, std::size_t inFlight,
                                          const std::function<void(std::size_t)>& progress) override {
        std::vector<BoxCommands> batch;
        for (const RowCommands& r : rows) {
            BoxCommands& b = batch.emplace_back();
            b.box = boxOf(r.row);
            const std::string* password = r.password;
            if (r.sync)
                b.commands.push_back(
                    synchroCommand(password->c_str(), r.sync->masterMode, r.sync->master, r.sync->floor, false));
            if (r.network && keepsOtherMode(*r.network))
                b.commands.push_back([password, c = *r.network](CVelqorinBoxOnNetwork& box) {
                    return writeKeepingMode(box, *password, c);
                });
            else if (r.network)
                b.commands.push_back(networkCommand(password->c_str(), r.network->addressMode == 1,
                                                    block(r.network->ip), block(r.network->mask),
                                                    r.network->neighbourhood, r.network->restart));
        }
        CommandBatchOptions options;
        options.inFlightPerAdapter = inFlight;
        options.progress = progress;
        // A row without its box gets no result, which counts as no answer.
        return sendCommands(batch, options);
    }

    std::optional<TAnalyseBuffer> again(const PlanRow& row, const std::string& adapter) override {
        for (const auto* b : boxesWithSerial(analyser_, row.serial)) {
            if (adapterOf(*b) != adapter) continue;
            const std::vector<TAnalyseBuffer> stations = stationsOf(analyser_, *b);
            const StationChoice choice = chooseStation(stations, row.mac);
            if (choice.outcome == StationChoice::Outcome::Chosen) return stations[choice.index];
        }
        return std::nullopt;
    }

private:
    CVelqorinBoxOnNetwork* boxOf(std::size_t row) const {
        const auto at = boxes_.find(row);
        return at == boxes_.end() ? nullptr : at->second;
    }

    const std::vector<std::string>& interfaces_;
    const SweepStyle style_;
    CVelqorinNetworkAnalyse analyser_;
    std::set<std::string> swept_;
    std::map<std::size_t, CVelqorinBoxOnNetwork*> boxes_;          // by row, this sweep's
    std::vector<std::unique_ptr<CVelqorinBoxOnNetwork>> stations_;  // records of other stations
};

std::optional<Secret> commonPassword(bool fromStdin) {
    if (!fromStdin && !haveTerminal()) {
        std::cerr << "velqorin: no terminal to read the password from; give it on standard "
                     "input with --password-stdin, or in the plan's password column. Nothing "
                     "was sent.\n";
        return std::nullopt;
    }
    auto text = readSecret("The boxes' password (for the rows without one): ", fromStdin);
    if (!text) std::cerr << "velqorin: no password given; nothing was sent\n";
    return text;
}

// Which row is being worked on, on a terminal only.
class RowProgress {
public:
    RowProgress() : enabled_(::isatty(STDERR_FILENO) == 1) {}
    ~RowProgress() {
        if (enabled_) std::cerr << "\r\033[K" << std::flush;
    }
    RowProgress(const RowProgress&) = delete;
    RowProgress& operator=(const RowProgress&) = delete;
    void show(const std::string& text) {
        if (enabled_) std::cerr << "\r\033[K" << text << std::flush;
    }

private:
    bool enabled_;
};

// Every problem of the plan, by its line, and nothing sent.
int planNotUsed(const std::string& path, const std::vector<PlanProblem>& problems) {
    for (const PlanProblem& p : problems)
        std::cerr << "velqorin: " << terminalText(path + ": " + problemText(p)) << '\n';
    std::cerr << "velqorin: the plan is not used; nothing was sent\n";
    return kBadInput;
}

}  // namespace

int apply(const ApplyOptions& o) {
    auto text = readPlanFile(o.plan);
    if (!text) return kBadInput;
    Plan plan = readPlan(*text);
    wipe(*text);
    const PasswordsWiped wiped{plan};
    warnWhenOthersMayRead(o.plan, plan);
    {
        CVelqorinNetworkAnalyse inventory;
        inventory.getIps();
        checkPlan(plan, workstationAddresses(inventory));
    }
    if (plan.problems.empty() && plan.rows.empty())
        plan.problems.push_back({0, "the plan has a header line but no row"});
    if (!plan.problems.empty()) return planNotUsed(o.plan, plan.problems);

    AnalyserSite site(o.interfaces, o.requests);
    if (const int code = site.sweep(); code != kOk) return code;
    const Preparation prepared = prepare(site, plan);
    for (const std::string& warning : prepared.warnings) std::cerr << "velqorin: " << warning << '\n';
    if (!prepared.problems.empty()) return planNotUsed(o.plan, prepared.problems);

    if (o.dryRun) {
        const std::vector<DryRunRow> rows = dryRun(site, plan, prepared);
        std::cout << (o.json ? dryRunJson(rows) : dryRunTable(rows));
        return kOk;
    }

    // One password for the rows that have none, asked before the first command.
    std::optional<Secret> common;
    if (needsCommonPassword(plan, prepared) && !(common = commonPassword(o.passwordStdin))) return kBadInput;
    for (std::size_t i = 0; i < plan.rows.size(); ++i) {
        const std::string* password = plan.rows[i].password ? &*plan.rows[i].password : common ? &common->text() : nullptr;
        if (!prepared.differences[i].empty() && password && password->size() > kSecretMax)
            std::cerr << "velqorin: line " << plan.rows[i].line << ": a box reads only the first "
                      << kSecretMax << " characters of a password\n";
    }

    Sending sending;
    {
        RowProgress progress;
        sending = send(site, plan, prepared, common ? &common->text() : nullptr, o.force, o.jobs,
                       [&progress](const std::string& row) { progress.show(row); });
    }
    confirm(site, plan, prepared, sending);
    std::cout << (o.json ? outcomeJson(sending.outcomes) : outcomeTable(sending.outcomes));
    return outcomeExitCode(sending.outcomes);
}

}  // namespace velqorin::cli
