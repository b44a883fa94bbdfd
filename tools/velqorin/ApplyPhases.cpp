#include "ApplyPhases.h"

#include <algorithm>

#include "Commands.h"
#include "SafeText.h"
#include "velqorin/NetworkAnalyse.h"

namespace velqorin::cli {
namespace {

std::string failureText(int result, const char* command) {
    if (result == kCommandRefused)
        return std::string("the box refused the ") + command +
               " command: wrong password, or the challenge expired";
    return std::string("no answer to the ") + command +
           " command within about three seconds, or the adapter could not be used";
}

std::string joinedFields(const std::vector<std::string>& fields) {
    std::string text;
    for (const auto& f : fields) text += (text.empty() ? "" : "; ") + f;
    return text;
}

void addDetail(RowOutcome& out, const std::string& note) {
    out.detail += (out.detail.empty() ? "" : "; ") + note;
}

}  // namespace

Preparation prepare(SiteActions& site, const Plan& plan) {
    Preparation p;
    const std::vector<Ipv4> ownAddresses = site.workstationAddresses();
    for (std::size_t i = 0; i < plan.rows.size(); ++i) {
        const PlanRow& row = plan.rows[i];
        p.targets.push_back(site.locate(i, row));
        const Located& t = p.targets.back();
        if (!t.record) {
            p.differences.emplace_back();
            continue;
        }
        const BoxSettings now = settingsOf(*t.record);
        p.differences.push_back(differenceOf(row, now));
        if (auto why = keptAddressProblem(row, now, ownAddresses)) p.problems.push_back({row.line, *why});
        if (row.master && !site.serialAnswered(*row.master))
            p.warnings.push_back("line " + std::to_string(row.line) + ": no box with serial number " +
                                 std::to_string(*row.master) + " answered this sweep; box " +
                                 terminalText(row.serial) + " is to follow it all the same");
    }
    return p;
}

std::vector<DryRunRow> dryRun(SiteActions& site, const Plan& plan, const Preparation& prepared) {
    std::vector<DryRunRow> rows;
    for (std::size_t i = 0; i < plan.rows.size(); ++i) {
        const PlanRow& row = plan.rows[i];
        const Located& t = prepared.targets[i];
        DryRunRow r;
        r.line = row.line;
        r.serial = row.serial;
        r.missing = t.missing;
        r.detail = t.detail;
        if (!t.record) {
            r.planned = askedText(row);
            rows.push_back(std::move(r));
            continue;
        }
        const BoxSettings now = settingsOf(*t.record);
        const BoxSettings planned = plannedSettings(row, now);
        r.now = settingsText(now);
        r.planned = settingsText(planned);
        r.changes = prepared.differences[i].fields;
        r.verdict = site.verdict(i, planned);
        if (!r.verdict) r.detail = "the workstation interface it answered on is unknown";
        rows.push_back(std::move(r));
    }
    return rows;
}

bool needsCommonPassword(const Plan& plan, const Preparation& prepared) {
    for (std::size_t i = 0; i < plan.rows.size(); ++i)
        if (!prepared.differences[i].empty() && !plan.rows[i].password) return true;
    return false;
}

namespace {

bool needsPing(const Difference& d) { return d.network && d.newAddress; }

// Whether the row goes on after its ping: a new address in use stops it unless `force`.
bool goesOnAfterPing(RowOutcome& out, const Difference& d, bool answered, bool force) {
    if (!answered) return true;
    const std::string ip = ipText(d.network->ip.data());
    if (!force) {
        out.result = RowResult::AddressInUse;
        out.detail = ip + " answers a ping; nothing sent (--force sends all the same)";
        return false;
    }
    out.detail = ip + " answers a ping; sent all the same (--force)";
    return true;
}

// The row's outcome from the results of its commands that were sent, in order; a command
// without a result could not be sent and counts as unanswered.
void settle(Sending& s, std::size_t i, const Difference& d, const std::vector<int>& results) {
    RowOutcome& out = s.outcomes[i];
    std::size_t next = 0;
    const auto resultOfNext = [&] { return next < results.size() ? results[next++] : kCommandNoAnswer; };
    int result = kCommandAccepted;
    if (d.sync) {
        out.sent.push_back("sync");
        result = resultOfNext();
        if (result != kCommandAccepted) out.detail = failureText(result, "synchronisation");
    }
    if (result == kCommandAccepted && d.network) {
        out.sent.push_back(d.network->restart ? "network+restart" : "network");
        result = resultOfNext();
        if (result != kCommandAccepted)
            out.detail = failureText(result, "network") + (d.sync ? "; it took the synchronisation settings" : "");
    }
    if (result != kCommandAccepted) {
        out.result = result == kCommandRefused ? RowResult::Refused : RowResult::NoAnswer;
        if (result != kCommandRefused) s.unanswered.push_back(i);
        return;
    }
    s.sent.push_back(i);
}

// Today's way: each row's ping and commands before the next row's.
void sendOneByOne(SiteActions& site, const Plan& plan, const Preparation& prepared,
                  const std::vector<std::size_t>& rows, const std::string* common, bool force,
                  const std::function<void(const std::string&)>& progress, Sending& s) {
    for (const std::size_t i : rows) {
        const PlanRow& row = plan.rows[i];
        const Difference& d = prepared.differences[i];
        if (progress)
            progress("line " + std::to_string(row.line) + ": box " + terminalText(row.serial) + " (" +
                     std::to_string(i + 1) + " of " + std::to_string(plan.rows.size()) + ")");
        const bool inUse = needsPing(d) && site.answersPing(d.network->ip);
        if (!goesOnAfterPing(s.outcomes[i], d, inUse, force)) continue;
        const std::string& password = row.password ? *row.password : *common;
        std::vector<int> results;
        if (d.sync) results.push_back(site.sendSync(i, password, *d.sync));
        if (d.network && (results.empty() || results.back() == kCommandAccepted))
            results.push_back(site.sendNetwork(i, password, *d.network));
        settle(s, i, d, results);
    }
}

// Every row's ping at once, then every row's commands in flight together.
void sendTogether(SiteActions& site, const Plan& plan, const Preparation& prepared,
                  const std::vector<std::size_t>& rows, const std::string* common, bool force,
                  std::size_t jobs, const std::function<void(const std::string&)>& progress, Sending& s) {
    std::vector<Ipv4> addresses;
    for (const std::size_t i : rows)
        if (needsPing(prepared.differences[i])) addresses.push_back(prepared.differences[i].network->ip);
    if (progress && !addresses.empty()) progress("pinging " + std::to_string(addresses.size()) + " new addresses");
    const std::vector<bool> inUse = addresses.empty() ? std::vector<bool>{} : site.answersPings(addresses);

    std::vector<RowCommands> commands;
    std::size_t pinged = 0;
    for (const std::size_t i : rows) {
        const PlanRow& row = plan.rows[i];
        const Difference& d = prepared.differences[i];
        const bool answered = needsPing(d) && pinged < inUse.size() && inUse[pinged++];
        if (!goesOnAfterPing(s.outcomes[i], d, answered, force)) continue;
        commands.push_back({i, row.password ? &*row.password : common, d.sync, d.network});
    }
    const std::string total = std::to_string(commands.size());
    const auto results = site.sendAll(commands, jobs, [&](std::size_t done) {
        if (progress) progress("commands: " + std::to_string(done) + " of " + total + " boxes done");
    });
    for (std::size_t k = 0; k < commands.size(); ++k)
        settle(s, commands[k].row, prepared.differences[commands[k].row],
               k < results.size() ? results[k] : std::vector<int>{});
}

}  // namespace

Sending send(SiteActions& site, const Plan& plan, const Preparation& prepared,
             const std::string* common, bool force, std::size_t jobs,
             const std::function<void(const std::string&)>& progress) {
    Sending s;
    std::vector<std::size_t> rows;  // those with something to send
    for (std::size_t i = 0; i < plan.rows.size(); ++i) {
        const PlanRow& row = plan.rows[i];
        const Located& t = prepared.targets[i];
        RowOutcome& out = s.outcomes.emplace_back();
        out.line = row.line;
        out.serial = row.serial;
        out.asked = askedText(row);
        if (t.missing) {
            out.result = *t.missing;
            out.detail = t.detail;
        } else if (prepared.differences[i].empty()) {
            out.result = RowResult::Unchanged;
        } else {
            rows.push_back(i);
        }
    }
    if (jobs <= 1) sendOneByOne(site, plan, prepared, rows, common, force, progress, s);
    else sendTogether(site, plan, prepared, rows, common, force, jobs, progress, s);
    // The rows in the plan's order, whichever way they went.
    std::sort(s.sent.begin(), s.sent.end());
    std::sort(s.unanswered.begin(), s.unanswered.end());
    return s;
}

void confirm(SiteActions& site, const Plan& plan, const Preparation& prepared, Sending& s) {
    if (s.sent.empty() && s.unanswered.empty()) return;
    const int code = site.sweep();
    // A box that reports exactly what was asked took the command: its answer, not the
    // command, was lost on the way.
    if (code == kOk)
        for (const std::size_t i : s.unanswered) {
            const auto record = site.again(plan.rows[i], prepared.targets[i].adapter);
            if (!record || !differenceOf(plan.rows[i], settingsOf(*record)).empty()) continue;
            RowOutcome& out = s.outcomes[i];
            out.result = RowResult::Done;
            out.answerLost = true;
            out.detail = "no answer came, but the box reports the settings asked: the answer was "
                         "lost on the way";
        }
    for (const std::size_t i : s.sent) {
        const PlanRow& row = plan.rows[i];
        RowOutcome& out = s.outcomes[i];
        const Difference& asked = prepared.differences[i];
        out.result = RowResult::NotConfirmed;
        if (code != kOk) {
            addDetail(out, "the verification sweep failed");
            continue;
        }
        const auto record = site.again(row, prepared.targets[i].adapter);
        if (!record) {
            addDetail(out, "accepted, but did not answer the verification sweep" +
                               std::string(row.restart && asked.network
                                               ? " (it was restarting: run the plan again to check it)"
                                               : ""));
            continue;
        }
        const Difference left = differenceOf(row, settingsOf(*record));
        if (!left.empty()) {
            addDetail(out, "accepted, but reports other settings (reported -> asked): " +
                               joinedFields(left.fields));
            continue;
        }
        out.result = RowResult::Done;
        if (asked.network && !row.restart &&
            std::any_of(asked.fields.begin(), asked.fields.end(),
                        [](const std::string& f) { return f.rfind("neighbourhood", 0) == 0; }))
            addDetail(out, "the neighbourhood visibility takes effect when the box restarts");
    }
}

}  // namespace velqorin::cli
