// velqorin apply's phases against a fake site: what each row ends as, from the boxes'
// answers, the ping, and what the confirming sweep shows.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "ApplyPhases.h"
#include "Commands.h"

using namespace velqorin;
using namespace velqorin::cli;

namespace {

// A box with a fixed address 198.51.100.<n>/24, out of the neighbourhood, a master.
TAnalyseBuffer boxRecord(const std::string& serial, std::uint8_t n) {
    TAnalyseBuffer r;
    std::memset(&r, 0, sizeof r);
    setFieldText(r.serialNumber, serial);
    const std::uint8_t ip[4] = {198, 51, 100, n}, mask[4] = {255, 255, 255, 0};
    std::memcpy(r.manualIp, ip, 4);
    std::memcpy(r.manualMask, mask, 4);
    return r;
}

// The boxes as the sweeps find them, and how each answers.
struct FakeSite final : SiteActions {
    std::map<std::string, TAnalyseBuffer> boxes;    // by serial number, as the first sweep saw them
    std::map<std::string, int> answer;              // the command result each box gives
    std::map<std::string, bool> takesCommand;       // a command changes the box (default yes)
    std::vector<std::string> pingAnswers;           // addresses in use
    std::vector<std::string> heard;                 // "serial:sync", "serial:network"
    std::vector<std::string> serials;               // per plan row, as located
    int sweeps = 0;
    int confirmingSweep = kOk;
    int pingRounds = 0;            // pings of many addresses at once
    std::size_t inFlightAsked = 0;  // by the last sendAll

    int sweep() override { return ++sweeps == 1 ? kOk : confirmingSweep; }
    std::vector<Ipv4> workstationAddresses() override { return {Ipv4{198, 51, 100, 10}}; }
    Located locate(std::size_t row, const PlanRow& plan) override {
        if (serials.size() <= row) serials.resize(row + 1);
        serials[row] = plan.serial;
        Located t;
        const auto at = boxes.find(plan.serial);
        if (at == boxes.end()) {
            t.missing = RowResult::NotFound;
            t.detail = "not here";
            return t;
        }
        t.record = at->second;
        t.adapter = "vq0";
        return t;
    }
    bool serialAnswered(std::uint32_t serial) override { return boxes.count(std::to_string(serial)) != 0; }
    std::optional<Verdict> verdict(std::size_t, const BoxSettings&) override { return Verdict::Compatible; }
    bool answersPing(const Ipv4& a) override {
        return std::find(pingAnswers.begin(), pingAnswers.end(), ipText(a.data())) != pingAnswers.end();
    }
    std::vector<bool> answersPings(const std::vector<Ipv4>& addresses) override {
        ++pingRounds;
        std::vector<bool> answered;
        for (const Ipv4& a : addresses) answered.push_back(answersPing(a));
        return answered;
    }
    std::vector<std::vector<int>> sendAll(const std::vector<RowCommands>& rows, std::size_t inFlight,
                                          const std::function<void(std::size_t)>&) override {
        inFlightAsked = inFlight;
        std::vector<std::vector<int>> results;
        for (const RowCommands& r : rows) {
            std::vector<int>& row = results.emplace_back();
            if (r.sync) row.push_back(sendSync(r.row, *r.password, *r.sync));
            if (r.network && (row.empty() || row.back() == kCommandAccepted))
                row.push_back(sendNetwork(r.row, *r.password, *r.network));
        }
        return results;
    }
    int command(std::size_t row, const char* kind, const std::function<void(TAnalyseBuffer&)>& change) {
        const std::string& serial = serials[row];
        heard.push_back(serial + ":" + kind);
        if (takesCommand.count(serial) == 0 || takesCommand[serial]) change(boxes[serial]);
        return answer.count(serial) ? answer[serial] : kCommandAccepted;
    }
    int sendSync(std::size_t row, const std::string&, const SyncCommand& c) override {
        return command(row, "sync", [&](TAnalyseBuffer& r) {
            storeLe<std::uint32_t>(r.syncSlave, c.masterMode ? 0 : 1);
            storeLe<std::uint32_t>(r.syncMaster, c.master);
            storeLe<std::int32_t>(r.syncFloor, c.floor);
        });
    }
    int sendNetwork(std::size_t row, const std::string&, const NetworkCommand& c) override {
        return command(row, "network", [&](TAnalyseBuffer& r) {
            r.addressMode = c.addressMode;
            std::memcpy(r.manualIp, c.ip.data(), 4);
            std::memcpy(r.manualMask, c.mask.data(), 4);
            r.neighbourhood = c.neighbourhood ? 1 : 0;
        });
    }
    std::optional<TAnalyseBuffer> again(const PlanRow& row, const std::string&) override {
        const auto at = boxes.find(row.serial);
        if (at == boxes.end()) return std::nullopt;
        return at->second;
    }
};

struct Applied {
    Sending sending;
    std::vector<std::string> heard;
};

Applied applyPlan(FakeSite& site, const std::string& planText, bool force = false, std::size_t jobs = 1) {
    const Plan plan = readPlan(planText);
    EXPECT_TRUE(plan.problems.empty());
    EXPECT_EQ(site.sweep(), kOk);
    const Preparation prepared = prepare(site, plan);
    const std::string common = "admin";
    Sending s = send(site, plan, prepared, &common, force, jobs);
    confirm(site, plan, prepared, s);
    return {std::move(s), site.heard};
}

// One row after the other, or all at once: the same rows.
class ApplyPhasesJobs : public ::testing::TestWithParam<std::size_t> {};

TEST_P(ApplyPhasesJobs, EachRowEndsByWhatItsBoxAnsweredAndThenReports) {
    FakeSite site;
    for (const auto& [serial, n] : std::vector<std::pair<std::string, std::uint8_t>>{
             {"1", 1}, {"2", 2}, {"3", 3}, {"4", 4}, {"5", 5}, {"6", 6}, {"7", 7}, {"8", 8}})
        site.boxes[serial] = boxRecord(serial, n);
    site.pingAnswers = {"198.51.100.99"};
    site.answer["4"] = kCommandRefused;
    site.answer["5"] = kCommandNoAnswer;  // and takes the command: the answer was lost
    site.answer["6"] = kCommandNoAnswer;
    site.takesCommand["6"] = false;       // the command was lost
    site.takesCommand["7"] = false;       // accepted, but keeps its settings
    const Applied run = applyPlan(site,
                              "serial,ip,mask,sync,master,floor\n"
                              "1,198.51.100.61,255.255.255.0,,,\n"   // done
                              "2,198.51.100.2,255.255.255.0,,,\n"    // unchanged
                              "3,198.51.100.99,255.255.255.0,,,\n"   // address in use
                              "4,198.51.100.64,255.255.255.0,,,\n"   // refused
                              "5,198.51.100.65,255.255.255.0,,,\n"   // no answer, yet done
                              "6,198.51.100.66,255.255.255.0,,,\n"   // no answer
                              "7,198.51.100.67,255.255.255.0,,,\n"   // not confirmed
                              "9,198.51.100.69,255.255.255.0,,,\n"   // not found
                              "8,198.51.100.68,255.255.255.0,follow,1,2\n",  // both commands
                              false, GetParam());
    const std::vector<RowResult> expected = {
        RowResult::Done,    RowResult::Unchanged, RowResult::AddressInUse,
        RowResult::Refused, RowResult::Done,      RowResult::NoAnswer,
        RowResult::NotConfirmed, RowResult::NotFound, RowResult::Done};
    ASSERT_EQ(run.sending.outcomes.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i)
        EXPECT_EQ(resultWord(run.sending.outcomes[i].result), std::string(resultWord(expected[i])))
            << "row " << i + 1 << ": " << run.sending.outcomes[i].detail;
    EXPECT_TRUE(run.sending.outcomes[4].answerLost);
    EXPECT_FALSE(run.sending.outcomes[0].answerLost);
    EXPECT_NE(run.sending.outcomes[6].detail.find("reports other settings"), std::string::npos);
    // The synchronisation goes before the network command; nothing goes to 2, 3 or 9.
    EXPECT_EQ(run.heard, (std::vector<std::string>{"1:network", "4:network", "5:network", "6:network",
                                                   "7:network", "8:sync", "8:network"}));
    EXPECT_EQ(site.sweeps, 2) << "one sweep to locate, one to confirm";
    // Together: one round of pings for every new address.
    EXPECT_EQ(site.pingRounds, GetParam() == 1 ? 0 : 1);
    EXPECT_EQ(site.inFlightAsked, GetParam() == 1 ? 0u : GetParam());
    EXPECT_EQ(run.sending.sent, (std::vector<std::size_t>{0, 6, 8}));
    EXPECT_EQ(run.sending.unanswered, (std::vector<std::size_t>{4, 5}));
}

TEST_P(ApplyPhasesJobs, ForceSendsToAnAddressInUseAndAFailedConfirmingSweepConfirmsNothing) {
    FakeSite site;
    site.boxes["1"] = boxRecord("1", 1);
    site.pingAnswers = {"198.51.100.99"};
    site.confirmingSweep = kNoAdapterList;
    const Applied run = applyPlan(site, "serial,ip,mask\n1,198.51.100.99,255.255.255.0\n", true, GetParam());
    ASSERT_EQ(run.sending.outcomes.size(), 1u);
    EXPECT_EQ(run.sending.outcomes[0].result, RowResult::NotConfirmed);
    EXPECT_NE(run.sending.outcomes[0].detail.find("sent all the same (--force)"), std::string::npos);
    EXPECT_NE(run.sending.outcomes[0].detail.find("verification sweep failed"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(OneByOneAndTogether, ApplyPhasesJobs, ::testing::Values(1u, 64u));

TEST(ApplyPhases, PrepareWarnsOfAMissingMasterAndFindsAKeptWorkstationAddress) {
    FakeSite site;
    site.boxes["1"] = boxRecord("1", 10);  // the workstation's own address stored...
    site.boxes["1"].addressMode = 1;        // ...by a box on DHCP, which is to use it
    site.boxes["2"] = boxRecord("2", 2);
    site.sweep();
    const Plan plan = readPlan("serial,dhcp,sync,master,floor\n1,no,,,\n2,,follow,77,1\n");
    const Preparation p = prepare(site, plan);
    ASSERT_EQ(p.problems.size(), 1u);
    EXPECT_EQ(p.problems[0].line, 2u);
    ASSERT_EQ(p.warnings.size(), 1u);
    EXPECT_NE(p.warnings[0].find("no box with serial number 77"), std::string::npos);
    EXPECT_TRUE(needsCommonPassword(plan, p));
    EXPECT_EQ(dryRun(site, plan, p).size(), 2u);
}

}  // namespace
