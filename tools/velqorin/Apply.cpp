#include "Apply.h"

#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <iostream>
#include <memory>
#include <optional>
#include <set>
#include <sstream>

#include "Commands.h"
#include "Input.h"
#include "Plan.h"
#include "SafeText.h"
#include "Sweep.h"
#include "Terminal.h"
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
    std::memcpy(ip.data(), reinterpret_cast<const std::uint8_t*>(&block) + 4, 4);
    return ip;
}

sockaddr_storage block(const Ipv4& ip) {
    sockaddr_storage s{};
    s.ss_family = AF_INET;
    std::memcpy(reinterpret_cast<std::uint8_t*>(&s) + 4, ip.data(), 4);
    return s;
}

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

std::string adapterOf(const CVelqorinBoxOnNetwork& box) {
    std::string name(CVelqorinBoxOnNetwork::kAdapterNameSize, '\0');
    box.getInterfaceName(name.data());
    name.resize(std::strlen(name.c_str()));
    return name;
}

std::string joined(const std::set<std::string>& names) {
    std::string text;
    for (const auto& n : names) text += (text.empty() ? "" : ", ") + n;
    return text.empty() ? "none" : text;
}

// Where a row's box answered the sweep, or why it cannot be set up.
struct Target {
    CVelqorinBoxOnNetwork* box = nullptr;
    std::unique_ptr<CVelqorinBoxOnNetwork> station;  // another station's record `box` points to
    std::string adapter;
    std::optional<RowResult> missing;
    std::string detail;
};

Target locate(const CVelqorinNetworkAnalyse& analyser, const PlanRow& row,
              const std::set<std::string>& swept) {
    Target t;
    const auto found = boxesWithSerial(analyser, row.serial);
    if (found.empty()) {
        t.missing = RowResult::NotFound;
        t.detail = "no box with this serial number answered (adapters swept: " + joined(swept) + ")";
        return t;
    }
    if (found.size() > 1) {
        std::set<std::string> where;
        for (const auto* b : found) where.insert(adapterOf(*b));
        t.missing = RowResult::Ambiguous;
        t.detail = "answers on " + joined(where) + "; choose one with -i";
        return t;
    }
    const LinkKind kind = linkKind(found.front()->storedRecord);
    if (kind != LinkKind::Network) {
        t.missing = RowResult::NotFound;
        t.detail = std::string("found connected over ") + (kind == LinkKind::Usb ? "USB" : "a serial line") +
                   "; only boxes on the network can be set up";
        return t;
    }
    t.box = found.front();
    t.adapter = adapterOf(*t.box);
    const std::vector<TAnalyseBuffer> stations = stationsOf(analyser, *t.box);
    const StationChoice choice = chooseStation(stations, row.mac);
    switch (choice.outcome) {
        case StationChoice::Outcome::Several:
            t.missing = RowResult::Ambiguous;
            t.detail = "answers on " + t.adapter + " from " + std::to_string(stations.size()) +
                       " stations (" + stationMacs(stations) +
                       "); name the box in the plan's mac column";
            break;
        case StationChoice::Outcome::NoSuchMac:
            t.missing = RowResult::NotFound;
            t.detail = "did not answer from " + macText(row.mac->data()) + " (it answered from " +
                       stationMacs(stations) + ")";
            break;
        case StationChoice::Outcome::Chosen:
            if (choice.index > 0) {
                t.station = std::make_unique<CVelqorinBoxOnNetwork>(nullptr, &stations[choice.index],
                                                                    t.box->adapterName);
                t.box = t.station.get();
            }
            return t;
    }
    t.box = nullptr;
    return t;
}

// The same box in a later sweep: same serial number on the same adapter, from the station
// the row names when it names one.
std::optional<TAnalyseBuffer> again(const CVelqorinNetworkAnalyse& analyser, const PlanRow& row,
                                    const std::string& adapter) {
    for (const auto* b : boxesWithSerial(analyser, row.serial)) {
        if (adapterOf(*b) != adapter) continue;
        const std::vector<TAnalyseBuffer> stations = stationsOf(analyser, *b);
        const StationChoice choice = chooseStation(stations, row.mac);
        if (choice.outcome == StationChoice::Outcome::Chosen) return stations[choice.index];
    }
    return std::nullopt;
}

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

int sendSync(CVelqorinBoxOnNetwork& box, const std::string& password, const SyncCommand& c) {
    return box.ConfigSynchro(password.c_str(), c.masterMode, c.master, c.floor, false);
}

int sendNetwork(CVelqorinBoxOnNetwork& box, const std::string& password, const NetworkCommand& c) {
    if (c.addressMode == 0 || c.addressMode == 1)
        return box.ConfigNetwork(password.c_str(), c.addressMode == 1, block(c.ip), block(c.mask),
                                 c.neighbourhood, c.restart);
    // ConfigNetwork knows only DHCP or fixed; a box that keeps the Auto IP, RARP or other
    // mode it reports gets the same fields written as ConfigNetwork writes them, its mode
    // byte as it was.
    TAnalyseBuffer& r = box.storedRecord;
    r.addressMode = c.addressMode;
    std::memcpy(r.manualIp, c.ip.data(), 4);
    std::memcpy(r.manualMask, c.mask.data(), 4);
    r.neighbourhood = c.neighbourhood ? 1 : 0;
    std::memset(box.password, 0, sizeof box.password);
    std::memcpy(box.password, password.data(), std::min(password.size(), kSecretMax));
    // Send wipes it once the command is out.
    return box.Send(c.restart, false);
}

std::string failureText(int result, const char* command) {
    if (result == kCommandRefused)
        return std::string("the box refused the ") + command +
               " command: wrong password, or the challenge expired";
    return std::string("no answer to the ") + command +
           " command within about three seconds, or the adapter could not be used";
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

std::string joinedFields(const std::vector<std::string>& fields) {
    std::string text;
    for (const auto& f : fields) text += (text.empty() ? "" : "; ") + f;
    return text;
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
    if (!plan.problems.empty()) {
        for (const PlanProblem& p : plan.problems)
            std::cerr << "velqorin: " << terminalText(o.plan + ": " + problemText(p)) << '\n';
        std::cerr << "velqorin: the plan is not used; nothing was sent\n";
        return kBadInput;
    }

    CVelqorinNetworkAnalyse analyser;
    std::set<std::string> swept;
    const SweepStyle style{false, false, o.requests};
    if (const int code = sweep(analyser, o.interfaces, swept, style); code != kOk) return code;
    const std::vector<Ipv4> ownAddresses = workstationAddresses(analyser);

    std::vector<Target> targets;
    std::vector<Difference> differences;
    std::vector<PlanProblem> boxProblems;
    for (const PlanRow& row : plan.rows) {
        targets.push_back(locate(analyser, row, swept));
        const Target& t = targets.back();
        if (!t.box) {
            differences.emplace_back();
            continue;
        }
        const BoxSettings now = settingsOf(t.box->storedRecord);
        differences.push_back(differenceOf(row, now));
        if (auto why = keptAddressProblem(row, now, ownAddresses)) boxProblems.push_back({row.line, *why});
        if (row.master) {
            bool seen = false;
            for (const auto* b = analyser.firstBox; b != nullptr; b = b->next)
                seen = seen || serialNames(b->storedRecord, *row.master);
            if (!seen)
                std::cerr << "velqorin: line " << row.line << ": no box with serial number "
                          << *row.master << " answered this sweep; box "
                          << terminalText(row.serial) << " is to follow it all the same\n";
        }
    }
    if (!boxProblems.empty()) {
        for (const PlanProblem& p : boxProblems)
            std::cerr << "velqorin: " << terminalText(o.plan + ": " + problemText(p)) << '\n';
        std::cerr << "velqorin: the plan is not used; nothing was sent\n";
        return kBadInput;
    }

    if (o.dryRun) {
        std::vector<DryRunRow> rows;
        for (std::size_t i = 0; i < plan.rows.size(); ++i) {
            const PlanRow& row = plan.rows[i];
            const Target& t = targets[i];
            DryRunRow r;
            r.line = row.line;
            r.serial = row.serial;
            r.missing = t.missing;
            r.detail = t.detail;
            if (!t.box) {
                r.planned = askedText(row);
                rows.push_back(std::move(r));
                continue;
            }
            const BoxSettings now = settingsOf(t.box->storedRecord);
            const BoxSettings planned = plannedSettings(row, now);
            r.now = settingsText(now);
            r.planned = settingsText(planned);
            r.changes = differences[i].fields;
            unsigned char mac[8];
            if (const auto* local = analyser.getNetworkInterface(t.box->getMac(mac)))
                r.verdict = compatibilityVerdict(*local, planned.ip.data(), planned.mask.data(),
                                                 planned.addressMode == 1);
            else
                r.detail = "the workstation interface it answered on is unknown";
            rows.push_back(std::move(r));
        }
        std::cout << (o.json ? dryRunJson(rows) : dryRunTable(rows));
        return kOk;
    }

    // One password for the rows that have none, asked before the first command.
    std::optional<Secret> common;
    for (std::size_t i = 0; i < plan.rows.size() && !common; ++i)
        if (!differences[i].empty() && !plan.rows[i].password) {
            common = commonPassword(o.passwordStdin);
            if (!common) return kBadInput;
        }
    for (std::size_t i = 0; i < plan.rows.size(); ++i) {
        const std::string* password = plan.rows[i].password ? &*plan.rows[i].password : common ? &common->text() : nullptr;
        if (!differences[i].empty() && password && password->size() > kSecretMax)
            std::cerr << "velqorin: line " << plan.rows[i].line << ": a box reads only the first "
                      << kSecretMax << " characters of a password\n";
    }

    std::vector<RowOutcome> outcomes;
    std::vector<std::size_t> sent;        // rows whose commands were all accepted
    std::vector<std::size_t> unanswered;  // rows whose last command got no answer
    {
        RowProgress progress;
        for (std::size_t i = 0; i < plan.rows.size(); ++i) {
            const PlanRow& row = plan.rows[i];
            const Target& t = targets[i];
            const Difference& d = differences[i];
            RowOutcome& out = outcomes.emplace_back();
            out.line = row.line;
            out.serial = row.serial;
            out.asked = askedText(row);
            if (t.missing) {
                out.result = *t.missing;
                out.detail = t.detail;
                continue;
            }
            if (d.empty()) {
                out.result = RowResult::Unchanged;
                continue;
            }
            progress.show("line " + std::to_string(row.line) + ": box " + terminalText(row.serial) + " (" +
                          std::to_string(i + 1) + " of " + std::to_string(plan.rows.size()) + ")");
            if (d.network && d.newAddress && ExternPingEx(block(d.network->ip))) {
                const std::string ip = ipText(d.network->ip.data());
                if (!o.force) {
                    out.result = RowResult::AddressInUse;
                    out.detail = ip + " answers a ping; nothing sent (--force sends all the same)";
                    continue;
                }
                out.detail = ip + " answers a ping; sent all the same (--force)";
            }
            const std::string& password = row.password ? *row.password : common->text();
            int result = kCommandAccepted;
            // The synchronisation first: a box that restarts for its network settings would
            // not hear a command right after.
            if (d.sync) {
                out.sent.push_back("sync");
                result = sendSync(*t.box, password, *d.sync);
                if (result != kCommandAccepted)
                    out.detail = failureText(result, "synchronisation");
            }
            if (result == kCommandAccepted && d.network) {
                out.sent.push_back(d.network->restart ? "network+restart" : "network");
                result = sendNetwork(*t.box, password, *d.network);
                if (result != kCommandAccepted)
                    out.detail = failureText(result, "network") +
                                 (d.sync ? "; it took the synchronisation settings" : "");
            }
            if (result != kCommandAccepted) {
                out.result = result == kCommandRefused ? RowResult::Refused : RowResult::NoAnswer;
                if (result != kCommandRefused) unanswered.push_back(i);
                continue;
            }
            sent.push_back(i);
        }
    }

    if (!sent.empty() || !unanswered.empty()) {
        // Box pointers of the first sweep are gone from here on.
        std::set<std::string> sweptAgain;
        const int code = sweep(analyser, o.interfaces, sweptAgain, style);
        // A box that reports exactly what was asked took the command: its answer, not the
        // command, was lost on the way.
        if (code == kOk)
            for (const std::size_t i : unanswered) {
                const auto record = again(analyser, plan.rows[i], targets[i].adapter);
                if (!record || !differenceOf(plan.rows[i], settingsOf(*record)).empty()) continue;
                RowOutcome& out = outcomes[i];
                out.result = RowResult::Done;
                out.answerLost = true;
                out.detail = "no answer came, but the box reports the settings asked: the answer "
                             "was lost on the way";
            }
        for (const std::size_t i : sent) {
            const PlanRow& row = plan.rows[i];
            RowOutcome& out = outcomes[i];
            const Difference& asked = differences[i];
            auto add = [&out](const std::string& note) {
                out.detail += (out.detail.empty() ? "" : "; ") + note;
            };
            out.result = RowResult::NotConfirmed;
            if (code != kOk) {
                add("the verification sweep failed");
                continue;
            }
            const auto record = again(analyser, row, targets[i].adapter);
            if (!record) {
                add("accepted, but did not answer the verification sweep" +
                    std::string(row.restart && asked.network
                                    ? " (it was restarting: run the plan again to check it)"
                                    : ""));
                continue;
            }
            const Difference left = differenceOf(row, settingsOf(*record));
            if (!left.empty()) {
                add("accepted, but reports other settings (reported -> asked): " +
                    joinedFields(left.fields));
                continue;
            }
            out.result = RowResult::Done;
            if (asked.network && !row.restart &&
                std::any_of(asked.fields.begin(), asked.fields.end(),
                            [](const std::string& f) { return f.rfind("neighbourhood", 0) == 0; }))
                add("the neighbourhood visibility takes effect when the box restarts");
        }
    }

    std::cout << (o.json ? outcomeJson(outcomes) : outcomeTable(outcomes));
    return outcomeExitCode(outcomes);
}

}  // namespace velqorin::cli
