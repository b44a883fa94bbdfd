// velqorin apply in its phases, each a function of its own: prepare (locate every row's
// box and work out what differs), the dry run, send, confirm. They reach the network only
// through SiteActions, so that tests drive them with a fake.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "Plan.h"

namespace velqorin::cli {

// Where a row's box answered the sweep, or why it cannot be set up.
struct Located {
    std::optional<TAnalyseBuffer> record;  // the box's record as the sweep gave it
    std::string adapter;
    std::optional<RowResult> missing;  // NotFound or Ambiguous
    std::string detail;
};

// A row's commands, for sending many rows' at once.
struct RowCommands {
    std::size_t row;
    const std::string* password;
    std::optional<SyncCommand> sync;
    std::optional<NetworkCommand> network;
};

// What apply does on the network.
class SiteActions {
public:
    virtual ~SiteActions() = default;
    // A sweep: kOk, or the exit code of its failure, having said why. A row's box as an
    // earlier sweep located it is gone once another sweep ran.
    virtual int sweep() = 0;
    virtual std::vector<Ipv4> workstationAddresses() = 0;
    // Row `row` of the plan in the last sweep.
    virtual Located locate(std::size_t row, const PlanRow& plan) = 0;
    // Whether a box with that serial number answered the last sweep.
    virtual bool serialAnswered(std::uint32_t serial) = 0;
    // The compatibility of `planned` with the interface the located box answered on;
    // nothing when that interface is unknown.
    virtual std::optional<Verdict> verdict(std::size_t row, const BoxSettings& planned) = 0;
    virtual bool answersPing(const Ipv4& address) = 0;
    // Every address pinged at once: whether each answers.
    virtual std::vector<bool> answersPings(const std::vector<Ipv4>& addresses) = 0;
    // The commands, to row `row`'s box as located by the last sweep: command results.
    virtual int sendSync(std::size_t row, const std::string& password, const SyncCommand& c) = 0;
    virtual int sendNetwork(std::size_t row, const std::string& password, const NetworkCommand& c) = 0;
    // The rows' commands at once, at most `inFlight` on each adapter, each row's
    // synchronisation before its network settings: per row, the results of the commands
    // sent, in order, up to the first one not accepted. `progress` is told how many rows
    // are done.
    virtual std::vector<std::vector<int>> sendAll(const std::vector<RowCommands>& rows, std::size_t inFlight,
                                                  const std::function<void(std::size_t)>& progress) = 0;
    // The same box in the last sweep: the same serial number on `adapter`, from the
    // station the row names when it names one.
    virtual std::optional<TAnalyseBuffer> again(const PlanRow& row, const std::string& adapter) = 0;
};

struct Preparation {
    std::vector<Located> targets;          // one per row
    std::vector<Difference> differences;   // one per row; empty for a missing box
    std::vector<PlanProblem> problems;     // a plan with any is not used
    std::vector<std::string> warnings;     // for standard error, the plan used all the same
};

// After the first sweep: every row located and compared with what its box reports.
Preparation prepare(SiteActions& site, const Plan& plan);

std::vector<DryRunRow> dryRun(SiteActions& site, const Plan& plan, const Preparation& prepared);

// Whether some row with something to send has no password of its own.
bool needsCommonPassword(const Plan& plan, const Preparation& prepared);

struct Sending {
    std::vector<RowOutcome> outcomes;
    std::vector<std::size_t> sent;        // rows whose commands were all accepted
    std::vector<std::size_t> unanswered;  // rows whose last command got no answer
};

// Each row's commands, the synchronisation first (a box restarting for its network
// settings would not hear it), after a ping of a new address unless `force`. `common` is
// the password of the rows without one. With `jobs` 1, one row after the other; with
// more, every row's ping at once, then every row's commands, at most `jobs` in flight on
// each adapter. `progress` is told what is being done.
Sending send(SiteActions& site, const Plan& plan, const Preparation& prepared,
             const std::string* common, bool force, std::size_t jobs,
             const std::function<void(const std::string&)>& progress = {});

// A last sweep, and each row's result by what its box now reports: done, or not
// confirmed; a row whose answer was lost but whose box shows the plan is done.
void confirm(SiteActions& site, const Plan& plan, const Preparation& prepared, Sending& sending);

}  // namespace velqorin::cli
