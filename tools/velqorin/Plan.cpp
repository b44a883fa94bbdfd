#include "Plan.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>

#include "BoxReport.h"
#include "Csv.h"
#include "SafeText.h"
#include "Secret.h"

namespace velqorin::cli {
namespace {

enum class Column { Serial, Dhcp, Ip, Mask, Neighbourhood, Restart, Sync, Master, Floor, Password, Mac };

constexpr std::array<std::pair<std::string_view, Column>, 11> kColumns{{
    {"serial", Column::Serial},
    {"dhcp", Column::Dhcp},
    {"ip", Column::Ip},
    {"mask", Column::Mask},
    {"neighbourhood", Column::Neighbourhood},
    {"restart", Column::Restart},
    {"sync", Column::Sync},
    {"master", Column::Master},
    {"floor", Column::Floor},
    {"password", Column::Password},
    {"mac", Column::Mac},
}};

// The widest serial number a box reports: its 20-byte field without a NUL.
constexpr std::size_t kSerialMax = sizeof(TAnalyseBuffer::serialNumber);

std::string lower(std::string_view text) {
    std::string out(text);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return out;
}

std::string_view trimmed(std::string_view text) {
    const auto first = text.find_first_not_of(" \t");
    if (first == std::string_view::npos) return {};
    const auto last = text.find_last_not_of(" \t");
    return text.substr(first, last - first + 1);
}

std::optional<Column> columnNamed(std::string_view name) {
    const std::string key = lower(trimmed(name));
    for (const auto& [text, column] : kColumns)
        if (key == text) return column;
    return std::nullopt;
}

std::string columnName(Column column) {
    for (const auto& [text, c] : kColumns)
        if (c == column) return std::string(text);
    return "?";
}

std::string quotedCell(std::string_view text) { return "\"" + std::string(text) + "\""; }

std::optional<std::uint64_t> decimal(std::string_view text) {
    if (text.empty() || text.size() > 19) return std::nullopt;
    std::uint64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

// The number a serial number text stands for, the way a master is named.
std::optional<std::uint64_t> serialValue(std::string_view serial) { return decimal(serial); }

std::string addressText(const Ipv4& ip, const Ipv4& mask) {
    return ipText(ip.data()) + "/" + ipText(mask.data());
}

std::string syncText(bool follower, std::uint32_t master, std::int32_t floor) {
    if (!follower) return "master";
    return "follows " + std::to_string(master) + " floor " + std::to_string(floor);
}

class RowReader {
public:
    RowReader(std::size_t line, std::vector<PlanProblem>& problems)
        : line_(line), problems_(problems) {}

    void problem(const std::string& reason) { problems_.push_back({line_, reason}); }

    std::optional<bool> yesNo(Column column, std::string_view text) {
        const std::string word = lower(text);
        if (word == "yes") return true;
        if (word == "no") return false;
        problem(columnName(column) + " " + quotedCell(text) + " is not yes or no");
        return std::nullopt;
    }

    bool read(Column column, std::string_view text, PlanRow& row) {
        switch (column) {
            case Column::Serial: return readSerial(text, row);
            case Column::Dhcp: row.dhcp = yesNo(column, text); return row.dhcp.has_value();
            case Column::Neighbourhood:
                row.neighbourhood = yesNo(column, text);
                return row.neighbourhood.has_value();
            case Column::Restart: {
                const auto value = yesNo(column, text);
                row.restart = value.value_or(false);
                return value.has_value();
            }
            case Column::Ip:
                row.ip = parseIpv4(text);
                if (!row.ip)
                    problem("ip " + quotedCell(text) +
                            " is not an IPv4 address (four octets 0 to 255)");
                return row.ip.has_value();
            case Column::Mask:
                row.mask = parseIpv4(text);
                if (!row.mask || !isSubnetMask(*row.mask)) {
                    problem("mask " + quotedCell(text) +
                            " is not a subnet mask (ones then zeros, such as 255.255.255.0)");
                    row.mask.reset();
                    return false;
                }
                return true;
            case Column::Sync: return readSync(text, row);
            case Column::Master: return readMaster(text, row);
            case Column::Floor: return readFloor(text, row);
            case Column::Password: return readPassword(text, row);
            case Column::Mac:
                row.mac = parseMac(text);
                if (!row.mac) {
                    problem("mac " + quotedCell(text) + " is not a MAC address (such as "
                            "02:00:00:01:00:0a)");
                    return false;
                }
                return true;
        }
        return false;
    }

    // The rules between the cells of one row.
    void checkTogether(const PlanRow& row, bool ipCell, bool maskCell) {
        if (ipCell != maskCell) problem("ip and mask go together: give both, or neither");
        if (row.dhcp == true && (ipCell || maskCell))
            problem("ip and mask set a fixed address; leave them empty with dhcp yes");
        if (row.ip && row.mask)
            if (auto why = addressProblem(*row.ip, *row.mask))
                problem("ip " + ipText(row.ip->data()) + " cannot be given to a box: " + *why);
        if (row.sync != SyncRole::Follower && (row.master || row.floor))
            problem("master and floor are only for sync follow");
        if (row.sync == SyncRole::Follower && (!row.master || !row.floor))
            problem("sync follow needs master and floor");
        if (row.master && serialValue(row.serial) == std::uint64_t{*row.master})
            problem("box " + row.serial + " cannot follow itself");
    }

private:
    bool readSerial(std::string_view text, PlanRow& row) {
        row.serial = text;
        if (text.size() > kSerialMax) {
            problem("serial " + quotedCell(text) + " is longer than the " +
                    std::to_string(kSerialMax) + " characters a box has");
            return false;
        }
        return true;
    }

    bool readSync(std::string_view text, PlanRow& row) {
        const std::string word = lower(text);
        if (word == "master") {
            row.sync = SyncRole::Master;
        } else if (word == "follow") {
            row.sync = SyncRole::Follower;
        } else {
            problem("sync " + quotedCell(text) + " is not master or follow");
            return false;
        }
        return true;
    }

    bool readMaster(std::string_view text, PlanRow& row) {
        const auto value = decimal(text);
        if (!value || *value > 0xFFFFFFFFu) {
            problem("master " + quotedCell(text) +
                    " is not the serial number of a master box (a number up to "
                    "4294967295)");
            return false;
        }
        row.master = static_cast<std::uint32_t>(*value);
        return true;
    }

    bool readFloor(std::string_view text, PlanRow& row) {
        int value = 0;
        const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
        if (error != std::errc() || end != text.data() + text.size() || !validFloor(value)) {
            problem("floor " + quotedCell(text) + " is not a floor a box takes: -5 to -1 or 1 to 5");
            return false;
        }
        row.floor = value;
        return true;
    }

    bool readPassword(std::string_view text, PlanRow& row) {
        // The password itself is never repeated in a message.
        if (text.find_first_of(std::string_view("\0\r\n", 3)) != std::string_view::npos) {
            problem("the password holds a NUL or a line break, which a box would cut it at");
            return false;
        }
        row.password = std::string(text);
        return true;
    }

    std::size_t line_;
    std::vector<PlanProblem>& problems_;
};

}  // namespace

namespace {

// The header's columns in order; problems with it go onto the plan.
std::vector<Column> readHeader(const CsvRecord& header, Plan& plan) {
    std::vector<Column> columns;
    std::map<Column, std::size_t> seen;
    for (const CsvCell& cell : header.cells) {
        const auto column = columnNamed(cell.text);
        if (!column) {
            plan.problems.push_back({header.line, "unknown column " + quotedCell(cell.text) +
                                                      " (the columns are " + kPlanColumns + ")"});
            continue;
        }
        if (seen.count(*column))
            plan.problems.push_back({header.line, "column " + columnName(*column) + " twice"});
        seen[*column] = columns.size();
        columns.push_back(*column);
    }
    if (!seen.count(Column::Serial))
        plan.problems.push_back({header.line, "no serial column: every row names its box by "
                                              "serial number"});
    return columns;
}

// One row onto the plan, or its problems.
void readRow(const CsvRecord& record, const std::vector<Column>& columns, Plan& plan) {
    const std::size_t before = plan.problems.size();
    RowReader reader(record.line, plan.problems);
    if (record.cells.size() > columns.size()) {
        reader.problem("has " + std::to_string(record.cells.size()) + " cells, the header " +
                       std::to_string(columns.size()) + " columns");
        return;
    }
    PlanRow row;
    row.line = record.line;
    bool ipCell = false, maskCell = false;
    for (std::size_t c = 0; c < record.cells.size(); ++c) {
        const CsvCell& cell = record.cells[c];
        // A password is taken as written; other cells lose the spaces around them.
        const std::string_view value =
            columns[c] == Column::Password || cell.quoted ? std::string_view(cell.text)
                                                          : trimmed(cell.text);
        if (value.empty()) continue;
        if (columns[c] == Column::Ip) ipCell = true;
        if (columns[c] == Column::Mask) maskCell = true;
        reader.read(columns[c], value, row);
    }
    if (row.serial.empty()) reader.problem("no serial number");
    if (plan.problems.size() == before) reader.checkTogether(row, ipCell, maskCell);
    if (plan.problems.size() == before) plan.rows.push_back(std::move(row));
}

}  // namespace

Plan readPlan(std::string_view text) {
    Plan plan;
    CsvTable table = readCsv(text);
    // Its cells hold the passwords too; they go with it.
    struct Wiped {
        CsvTable& table;
        ~Wiped() {
            for (CsvRecord& record : table.records)
                for (CsvCell& cell : record.cells) wipe(cell.text);
        }
    } wiped{table};
    const std::size_t usable = table.records.size();
    if (usable == 0) {
        if (table.error)
            plan.problems.push_back({table.error->line, table.error->reason});
        else
            plan.problems.push_back({0, std::string("the plan is empty: it needs a header line "
                                                    "naming its columns (") +
                                            kPlanColumns + ") and one row per box"});
        return plan;
    }
    const std::vector<Column> columns = readHeader(table.records.front(), plan);
    if (!plan.problems.empty()) return plan;
    for (std::size_t r = 1; r < usable; ++r) readRow(table.records[r], columns, plan);
    if (table.error) plan.problems.push_back({table.error->line, table.error->reason});
    return plan;
}

void checkPlan(Plan& plan, const std::vector<Ipv4>& workstationAddresses) {
    std::map<std::string, std::size_t> serials;
    std::map<Ipv4, const PlanRow*> addresses;
    std::map<std::uint64_t, const PlanRow*> followers;  // serial value -> its row
    for (const PlanRow& row : plan.rows)
        if (row.sync == SyncRole::Follower)
            if (const auto value = serialValue(row.serial)) followers.emplace(*value, &row);

    for (const PlanRow& row : plan.rows) {
        auto problem = [&](const std::string& reason) { plan.problems.push_back({row.line, reason}); };
        if (const auto [it, fresh] = serials.emplace(row.serial, row.line); !fresh)
            problem("serial " + row.serial + " is already on line " + std::to_string(it->second));
        if (row.ip) {
            if (const auto [it, fresh] = addresses.emplace(*row.ip, &row); !fresh)
                problem("ip " + ipText(row.ip->data()) + " is also given to box " +
                        it->second->serial + " on line " + std::to_string(it->second->line));
            if (std::find(workstationAddresses.begin(), workstationAddresses.end(), *row.ip) !=
                workstationAddresses.end())
                problem("ip " + ipText(row.ip->data()) +
                        " is the workstation's own address; two devices with one address cut "
                        "the workstation off");
        }
        if (row.master)
            if (const auto it = followers.find(*row.master); it != followers.end())
                problem("master " + std::to_string(*row.master) + " is made a follower on line " +
                        std::to_string(it->second->line) + "; a box follows a master");
    }
    std::stable_sort(plan.problems.begin(), plan.problems.end(),
                     [](const PlanProblem& a, const PlanProblem& b) { return a.line < b.line; });
}

std::string problemText(const PlanProblem& problem) {
    if (problem.line == 0) return problem.reason;
    return "line " + std::to_string(problem.line) + ": " + problem.reason;
}

BoxSettings settingsOf(const TAnalyseBuffer& record) {
    BoxSettings s;
    s.addressMode = record.addressMode;
    std::copy(record.manualIp, record.manualIp + 4, s.ip.begin());
    std::copy(record.manualMask, record.manualMask + 4, s.mask.begin());
    s.neighbourhood = record.neighbourhood != 0;
    s.follower = loadLe<std::uint32_t>(record.syncSlave) != 0;
    s.master = loadLe<std::uint32_t>(record.syncMaster);
    s.floor = loadLe<std::int32_t>(record.syncFloor);
    return s;
}

BoxSettings plannedSettings(const PlanRow& row, const BoxSettings& now) {
    BoxSettings p = now;
    if (row.dhcp == true)
        p.addressMode = 1;
    else if (row.dhcp == false || row.ip)
        p.addressMode = addressMode(now.addressMode) == AddressMode::Fixed ? now.addressMode : 0;
    if (row.ip) p.ip = *row.ip;
    if (row.mask) p.mask = *row.mask;
    if (row.neighbourhood) p.neighbourhood = *row.neighbourhood;
    if (row.sync == SyncRole::Master) p.follower = false;
    if (row.sync == SyncRole::Follower) {
        p.follower = true;
        p.master = *row.master;
        p.floor = *row.floor;
    }
    return p;
}

Difference differenceOf(const PlanRow& row, const BoxSettings& now) {
    const BoxSettings p = plannedSettings(row, now);
    Difference d;
    if (p.follower != now.follower ||
        (p.follower && (p.master != now.master || p.floor != now.floor))) {
        d.sync = SyncCommand{!p.follower, p.follower ? p.master : 0, p.follower ? p.floor : 0};
        d.fields.push_back("sync " + syncText(now.follower, now.master, now.floor) + " -> " +
                           syncText(p.follower, p.master, p.floor));
    }
    bool network = false;
    if (p.addressMode != now.addressMode) {
        d.fields.push_back(std::string("mode ") + modeWord(now.addressMode) + " -> " +
                           modeWord(p.addressMode));
        network = true;
    }
    if (p.ip != now.ip || p.mask != now.mask) {
        d.fields.push_back("address " + addressText(now.ip, now.mask) + " -> " +
                           addressText(p.ip, p.mask));
        d.newAddress = p.ip != now.ip;
        network = true;
    }
    if (p.neighbourhood != now.neighbourhood) {
        d.fields.push_back(std::string("neighbourhood ") + (now.neighbourhood ? "yes" : "no") +
                           " -> " + (p.neighbourhood ? "yes" : "no"));
        network = true;
    }
    if (network) d.network = NetworkCommand{p.addressMode, p.ip, p.mask, p.neighbourhood, row.restart};
    return d;
}

std::optional<std::string> keptAddressProblem(const PlanRow& row, const BoxSettings& now,
                                              const std::vector<Ipv4>& workstationAddresses) {
    const BoxSettings p = plannedSettings(row, now);
    if (row.ip || addressMode(p.addressMode) != AddressMode::Fixed ||
        addressMode(now.addressMode) == AddressMode::Fixed)
        return std::nullopt;
    const std::string held = "box " + row.serial + " would take its stored manual address " +
                             addressText(now.ip, now.mask) + ", ";
    const std::string fix = "; give ip and mask on this row";
    if (!isSubnetMask(now.mask)) return held + "whose mask is not a subnet mask" + fix;
    if (auto why = addressProblem(now.ip, now.mask)) return held + "which cannot be used: " + *why + fix;
    if (std::find(workstationAddresses.begin(), workstationAddresses.end(), now.ip) !=
        workstationAddresses.end())
        return held + "which is the workstation's own address" + fix;
    return std::nullopt;
}

std::string askedText(const PlanRow& row) {
    std::vector<std::string> parts;
    if (row.dhcp) parts.push_back(std::string("dhcp ") + (*row.dhcp ? "yes" : "no"));
    if (row.ip && row.mask) parts.push_back("ip " + addressText(*row.ip, *row.mask));
    if (row.neighbourhood)
        parts.push_back(std::string("neighbourhood ") + (*row.neighbourhood ? "yes" : "no"));
    if (row.sync == SyncRole::Master) parts.push_back("master");
    if (row.sync == SyncRole::Follower)
        parts.push_back("follow " + std::to_string(*row.master) + " floor " + std::to_string(*row.floor));
    if (row.restart) parts.push_back("restart");
    if (parts.empty()) return "nothing";
    std::string text;
    for (const auto& p : parts) text += (text.empty() ? "" : ", ") + p;
    return text;
}

std::string settingsText(const BoxSettings& s) {
    const std::string address = addressText(s.ip, s.mask);
    std::string text = addressMode(s.addressMode) == AddressMode::Fixed
                           ? "fixed " + address
                           : std::string(modeWord(s.addressMode)) + ", manual " + address;
    text += std::string(", neighbourhood ") + (s.neighbourhood ? "yes" : "no");
    return text + ", " + syncText(s.follower, s.master, s.floor);
}

const char* resultWord(RowResult result) {
    switch (result) {
        case RowResult::Done: return "done";
        case RowResult::Unchanged: return "unchanged";
        case RowResult::NotFound: return "not found";
        case RowResult::Ambiguous: return "ambiguous";
        case RowResult::AddressInUse: return "address in use";
        case RowResult::Refused: return "refused";
        case RowResult::NoAnswer: return "no answer";
        case RowResult::NotConfirmed: return "not confirmed";
    }
    return "?";
}

namespace {

std::string dumped(const nlohmann::json& value) {
    // Serial numbers and details come partly from the wire: bytes that are not UTF-8 are
    // replaced, not fatal.
    return value.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
}

}  // namespace

std::string outcomeTable(const std::vector<RowOutcome>& outcomes) {
    std::vector<std::vector<std::string>> cells{{"Line", "Serial", "Asked", "Result", "Detail"}};
    std::map<RowResult, int> counts;
    for (const RowOutcome& o : outcomes) {
        cells.push_back({std::to_string(o.line), o.serial, o.asked, resultWord(o.result), o.detail});
        ++counts[o.result];
    }
    std::vector<std::string> summary;
    for (const auto& [result, count] : counts)
        summary.push_back(std::to_string(count) + " " + resultWord(result));
    return columnsText(cells) + std::to_string(outcomes.size()) + " row" +
           (outcomes.size() == 1 ? "" : "s") + ": " + joinedText(summary, ", ") + "\n";
}

std::string outcomeJson(const std::vector<RowOutcome>& outcomes) {
    auto list = nlohmann::json::array();
    for (const RowOutcome& o : outcomes) {
        list.push_back({{"line", o.line},
                        {"serial", o.serial},
                        {"asked", o.asked},
                        {"result", resultWord(o.result)},
                        {"sent", o.sent},
                        {"detail", o.detail}});
        if (o.answerLost) list.back()["answerLost"] = true;
    }
    return dumped(list);
}

int outcomeExitCode(const std::vector<RowOutcome>& outcomes) {
    for (const RowOutcome& o : outcomes)
        if (o.result != RowResult::Done && o.result != RowResult::Unchanged) return 1;
    return 0;
}

const char* verdictWord(Verdict verdict) {
    switch (verdict) {
        case Verdict::Compatible: return "compatible";
        case Verdict::CompatibleUseDhcp: return "compatible, use DHCP";
        case Verdict::CompatibleUseFixed: return "compatible, use a fixed address";
        case Verdict::Incompatible: return "incompatible";
        case Verdict::WorkstationAddress: break;
    }
    return "workstation address";
}

std::string dryRunTable(const std::vector<DryRunRow>& rows) {
    // A block per row: the settings are too wide to sit side by side.
    std::ostringstream out;
    for (const DryRunRow& r : rows) {
        out << "line " << r.line << ", box " << r.serial << ": ";
        if (r.missing) {
            out << resultWord(*r.missing) << (r.detail.empty() ? "" : "; " + r.detail) << '\n'
                << "  asked    " << r.planned << '\n';
            continue;
        }
        out << (r.changes.empty() ? "unchanged" : "to change") << ", "
            << (r.verdict ? verdictWord(*r.verdict) : "no verdict")
            << (r.detail.empty() ? "" : "; " + r.detail) << '\n'
            << "  now      " << r.now << '\n'
            << "  planned  " << r.planned << '\n';
        for (const std::string& c : r.changes) out << "  change   " << c << '\n';
    }
    out << "Dry run: nothing was sent.\n";
    // Serial numbers come from the plan, settings from the boxes.
    return terminalLines(out.str());
}

std::string dryRunJson(const std::vector<DryRunRow>& rows) {
    auto list = nlohmann::json::array();
    for (const DryRunRow& r : rows) {
        nlohmann::json item = {{"line", r.line},
                               {"serial", r.serial},
                               {"found", !r.missing},
                               {"now", r.missing ? nlohmann::json(nullptr) : nlohmann::json(r.now)},
                               {"planned", r.planned},
                               {"changes", r.changes},
                               {"verdict", r.verdict ? nlohmann::json(verdictWord(*r.verdict))
                                                     : nlohmann::json(nullptr)},
                               {"detail", r.detail}};
        if (r.missing) item["result"] = resultWord(*r.missing);
        list.push_back(std::move(item));
    }
    return dumped(list);
}

}  // namespace velqorin::cli
