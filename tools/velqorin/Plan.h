// A commissioning plan: one CSV row per box with the settings it is to have. Reading and
// checking it, working out what a box must be sent and how the results read are pure, so
// they are tested without a network.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Input.h"
#include "velqorin/Compatibility.h"
#include "velqorin/Frame.h"

namespace velqorin::cli {

enum class SyncRole { Master, Follower };

// One row; an empty cell is an unset field, which keeps what the box has.
struct PlanRow {
    std::size_t line = 0;
    std::string serial;
    std::optional<bool> dhcp;
    std::optional<Ipv4> ip;
    std::optional<Ipv4> mask;
    std::optional<bool> neighbourhood;
    bool restart = false;
    std::optional<SyncRole> sync;
    std::optional<std::uint32_t> master;  // the serial number of the master to follow
    std::optional<int> floor;
    std::optional<std::string> password;
    std::optional<Mac> mac;  // the box's own, when several stations answer with its serial
};

struct PlanProblem {
    std::size_t line = 0;  // 0: the file as a whole
    std::string reason;
};

struct Plan {
    std::vector<PlanRow> rows;
    std::vector<PlanProblem> problems;  // in line order; a plan with any is not used
};

inline constexpr const char* kPlanColumns =
    "serial, dhcp, ip, mask, neighbourhood, restart, sync, master, floor, password, mac";

// Reads a plan file's text: the header line, then one row per box. Every bad cell becomes
// a problem naming its line; the rows that are good are kept either way.
Plan readPlan(std::string_view text);

// The rules between rows (a serial number or an address given twice, a master that the
// plan makes a follower) and against the workstation's own addresses. Adds problems.
void checkPlan(Plan& plan, const std::vector<Ipv4>& workstationAddresses);

// "line 4: ..." or the reason alone for the file as a whole.
std::string problemText(const PlanProblem& problem);

// What a plan can set on a box, as the box reports it.
struct BoxSettings {
    std::uint8_t addressMode = 0;
    Ipv4 ip{};    // the manual address and mask
    Ipv4 mask{};
    bool neighbourhood = false;
    bool follower = false;
    std::uint32_t master = 0;
    std::int32_t floor = 0;
};

BoxSettings settingsOf(const TAnalyseBuffer& record);

// The settings the box is to have once the row is applied. A row that gives an address
// gives a fixed address; a fixed box keeps the mode byte it reports, and a box in Auto IP
// or RARP mode keeps that mode unless the row sets dhcp or an address.
BoxSettings plannedSettings(const PlanRow& row, const BoxSettings& now);

struct NetworkCommand {
    std::uint8_t addressMode = 0;
    Ipv4 ip{};
    Ipv4 mask{};
    bool neighbourhood = false;
    bool restart = false;
};

struct SyncCommand {
    bool masterMode = false;
    std::uint32_t master = 0;  // 0 with floor 0 in master mode
    std::int32_t floor = 0;
};

// What to send a box so that it takes the row; nothing when it already has it.
struct Difference {
    std::optional<SyncCommand> sync;
    std::optional<NetworkCommand> network;
    std::vector<std::string> fields;  // "dhcp yes -> no", one per field that differs
    bool newAddress = false;          // the manual address changes: ping it first
    bool empty() const { return !sync && !network; }
};

Difference differenceOf(const PlanRow& row, const BoxSettings& now);

// The manual address a row would make a box use although the row gives none (dhcp no for
// a box in another mode), when it is not one a box can be given; empty otherwise.
std::optional<std::string> keptAddressProblem(const PlanRow& row, const BoxSettings& now,
                                              const std::vector<Ipv4>& workstationAddresses);

// "dhcp no, ip 192.0.2.41/255.255.255.0, follow 4100 floor 2, restart"; "nothing" when
// the row sets nothing.
std::string askedText(const PlanRow& row);
// "fixed 192.0.2.41/255.255.255.0, neighbourhood yes, master"
std::string settingsText(const BoxSettings& settings);

// The result of one row; the words are stable, scripts read them.
enum class RowResult {
    Done,
    Unchanged,
    NotFound,
    Ambiguous,
    AddressInUse,
    Refused,
    NoAnswer,
    NotConfirmed,
};
const char* resultWord(RowResult result);

struct RowOutcome {
    std::size_t line = 0;
    std::string serial;
    std::string asked;
    RowResult result = RowResult::NotFound;
    std::vector<std::string> sent;  // "sync", "network", "network+restart", in order
    std::string detail;
    // No answer came, but the confirming sweep shows the box with the planned settings.
    bool answerLost = false;
};

std::string outcomeTable(const std::vector<RowOutcome>& outcomes);
std::string outcomeJson(const std::vector<RowOutcome>& outcomes);
// 0 when every row is done or unchanged, else 1.
int outcomeExitCode(const std::vector<RowOutcome>& outcomes);

// "compatible", "compatible, use DHCP", "compatible, use a fixed address", "incompatible",
// "workstation address"
const char* verdictWord(Verdict verdict);

// One row of a dry run: what the box reports, what it would have, and what that means.
struct DryRunRow {
    std::size_t line = 0;
    std::string serial;
    std::optional<RowResult> missing;  // NotFound or Ambiguous
    std::string detail;                // why missing, or a note
    std::string now;
    std::string planned;
    std::vector<std::string> changes;  // empty: unchanged
    std::optional<Verdict> verdict;    // none when the interface is not known
};

// For people: a block of lines per row.
std::string dryRunTable(const std::vector<DryRunRow>& rows);
std::string dryRunJson(const std::vector<DryRunRow>& rows);

}  // namespace velqorin::cli
