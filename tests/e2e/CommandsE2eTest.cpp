// The box commands end to end: the shared library as another program uses it, and the
// velqorin tool, in the workstation namespace, against the box simulator on the LAN side.
// Runs in the fixture lab "cmd": vq0 and vq1 both on segment 0 (br0), so every box answers
// on two adapters.
//
// Box objects come from a sweep of vq0 only (about three seconds); a test does all its
// commands on one sweep unless what it checks is what the next sweep shows.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <sys/mman.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "harness/Error.h"
#include "harness/Fd.h"
#include "harness/CliRun.h"
#include "harness/LabTest.h"
#include "harness/Netns.h"
#include "harness/Process.h"
#include "harness/SimProcess.h"
#include "support/FrameKinds.h"
#include "support/Hex.h"
#include "velqorin/NetworkAnalyse.h"

namespace velqorin::e2e {
namespace {

using nlohmann::json;

constexpr const char* kAdapter = "vq0";

// ---------------------------------------------------------------- simulator fleet and log

json box(const std::string& serial, const std::string& ip, const std::string& password) {
    // MACs 02:00:00:01:xx:yy from the serial: the fourth octet keeps them network boxes.
    const int n = std::stoi(serial);
    char mac[18];
    std::snprintf(mac, sizeof mac, "02:00:00:01:%02x:%02x", (n >> 8) & 0xff, n & 0xff);
    return {{"serial", serial},      {"mac", mac},
            {"currentIp", ip},       {"currentMask", "255.255.255.0"},
            {"password", password}};
}

SimOptions fleetOn(const std::string& lab, const std::vector<json>& boxes) {
    SimOptions o;
    o.lab = lab;
    o.interface = "br0";
    o.fleetJson = json{{"boxes", boxes}}.dump();
    return o;
}

// The commands the simulator heard, for one box or for all.
std::vector<json> commandsHeard(const SimProcess& sim, const std::string& serial = {}) {
    std::vector<json> out;
    for (auto& line : sim.received())
        if (line["kind"].is_number() && velqorin::isCommandKind(line["kind"].get<std::uint8_t>()) &&
            (serial.empty() || line["box"] == serial))
            out.push_back(std::move(line));
    return out;
}

// The frame a box sent with `verdict` ("accepted", "refused"), without a misbehaviour note:
// the real answer, not a decoy. Waits for the log line, which may trail the frame.
json answerSent(const SimProcess& sim, const std::string& serial, const std::string& verdict,
                std::size_t nth = 0) {
    std::size_t seen = 0;
    const auto line = sim.waitForLog(
        [&](const json& l) {
            return l.value("dir", "") == "tx" && l["box"] == serial &&
                   l.value("verdict", "") == verdict && !l.contains("note") && seen++ == nth;
        },
        2s);
    if (!line) throw HarnessError("box " + serial + " sent no " + verdict + " answer");
    return *line;
}

std::vector<std::uint8_t> hexBytes(const std::string& hex) {
    auto bytes = velqorin::bytesOfHex(hex);
    if (!bytes) throw HarnessError("bad hex in the simulator's log");
    return std::move(*bytes);
}

std::string hexOf(std::string_view text) {
    return velqorin::hexText({reinterpret_cast<const std::uint8_t*>(text.data()), text.size()});
}

// Where two frames differ, as "offset: expected/actual" for the first few bytes.
std::string differences(const std::vector<std::uint8_t>& actual, const TAnalyseBuffer& expected) {
    if (actual.size() != kFrameSize) return "length " + std::to_string(actual.size());
    std::string out;
    int shown = 0;
    for (std::size_t i = 0; i < kFrameSize && shown < 12; ++i) {
        if (actual[i] == frameBytes(expected)[i]) continue;
        char part[40];
        std::snprintf(part, sizeof part, " [%zu] %02x/%02x", i, frameBytes(expected)[i], actual[i]);
        out += part;
        ++shown;
    }
    return out.empty() ? "none" : "at offset [expected/sent]:" + out;
}

void expectFrame(const json& line, const TAnalyseBuffer& expected) {
    const auto bytes = hexBytes(line.at("hex").get<std::string>());
    EXPECT_TRUE(bytes.size() == kFrameSize &&
                std::memcmp(bytes.data(), frameBytes(expected), kFrameSize) == 0)
        << "the frame differs " << differences(bytes, expected);
}

// The password never travels: no command carries it, in its credential or anywhere else.
void expectNoPasswordOnTheWire(const SimProcess& sim, const std::vector<std::string>& passwords) {
    const auto commands = commandsHeard(sim);
    ASSERT_FALSE(commands.empty());
    for (const auto& line : commands)
        for (const auto& password : passwords) {
            ASSERT_FALSE(password.empty());
            EXPECT_NE(line.value("credential", ""), password) << line.dump();
            EXPECT_EQ(line.value("hex", "").find(hexOf(password)), std::string::npos)
                << "password \"" << password << "\" in " << line.dump();
        }
}

// ---------------------------------------------------------------- expected commands

// SHA-1 of the challenge then the password, in lower-case hex: worked out here with
// OpenSSL, apart from the library's own code.
std::string responseOf(std::string_view challenge, std::string_view password) {
    const std::string text = std::string(challenge) + std::string(password);
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned length = 0;
    if (EVP_Digest(text.data(), text.size(), digest, &length, EVP_sha1(), nullptr) != 1 ||
        length != 20)
        throw HarnessError("EVP_Digest(sha1) failed");
    return hexOf(std::string_view(reinterpret_cast<const char*>(digest), length));
}

// `stored` turned round towards the box, as kind `kind`.
TAnalyseBuffer commandFrom(const TAnalyseBuffer& stored, FrameKind kind) {
    TAnalyseBuffer c = stored;
    std::memcpy(c.destinationMac, stored.sourceMac, kMacSize);
    std::memcpy(c.sourceMac, stored.destinationMac, kMacSize);
    c.frameKind = static_cast<std::uint8_t>(kind);
    return c;
}

// The response, its NUL, and the rest of the field as stored.
void putResponse(TAnalyseBuffer& c, std::string_view password) {
    const std::string response = responseOf(fieldText(c.challenge), password);
    std::memcpy(c.credential, response.c_str(), response.size() + 1);
    c.clearPassword = 0;
}

void putUnlockCode(TAnalyseBuffer& c, std::string_view code) {
    setFieldText(c.credential, code);
    c.clearPassword = 1;
}

void putIp(std::uint8_t (&field)[4], std::initializer_list<std::uint8_t> octets) {
    std::copy(octets.begin(), octets.end(), field);
}

sockaddr_storage block(std::initializer_list<std::uint8_t> octets) {
    sockaddr_storage s{};
    s.ss_family = AF_INET;
    std::copy(octets.begin(), octets.end(), reinterpret_cast<std::uint8_t*>(&s) + 4);
    return s;
}

// The sockets this process holds: an adapter left open would show here.
std::multiset<std::string> openSockets() {
    std::multiset<std::string> sockets;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        std::error_code ignored;
        const std::string target = std::filesystem::read_symlink(entry.path(), ignored).string();
        if (target.rfind("socket:", 0) == 0) sockets.insert(target);
    }
    return sockets;
}

// ---------------------------------------------------------------- the library

class BoxCommands : public LabTest {
protected:
    // Sweeps vq0 again; every box pointer of the last sweep is gone after it.
    void sweep() {
        const char* only[] = {kAdapter};
        NetnsGuard inside(lab().workstation(), NetnsGuard::Sysfs::Remount);
        ASSERT_TRUE(analyser.AnalyseAdapters(only, 1, nullptr, nullptr));
    }

    CVelqorinBoxOnNetwork& found(const std::string& serial) {
        for (auto* b = analyser.firstBox; b != nullptr; b = b->next)
            if (fieldText(b->storedRecord.serialNumber) == serial) return *b;
        throw HarnessError("the sweep did not find box " + serial);
    }

    // Runs a command where the box was found, in the workstation namespace.
    template <typename Command>
    int command(Command&& run) {
        NetnsGuard inside(lab().workstation(), NetnsGuard::Sysfs::Remount);
        return run();
    }

    CVelqorinNetworkAnalyse analyser;
};

const std::string kLongPassword = "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWX";

TEST_F(BoxCommands, EachCommandGoesOutByteForByteAndTheNextSweepShowsWhatWasAccepted) {
    json fixed = box("4101", "192.0.2.41", kLongPassword.substr(0, 48));
    json dhcp = box("4102", "192.0.2.42", "dhcp-Secret");
    dhcp["dhcpIp"] = "192.0.2.142";
    dhcp["dhcpMask"] = "255.255.255.0";
    json follower = box("4103", "192.0.2.43", "follow-Secret");
    json master = box("4104", "192.0.2.44", "master-Secret");
    master["sync"] = {{"slave", 1}, {"master", 9}, {"floor", 3}};
    json locked = box("4105", "192.0.2.45", "forgotten-Secret");
    locked["unlockCode"] = "UNLOCK-4105";
    json speed = box("4106", "192.0.2.46", "speed-Secret");
    SimProcess sim(fleetOn(lab().name, {fixed, dhcp, follower, master, locked, speed}));
    sweep();

    {
        SCOPED_TRACE("ConfigNetwork, fixed address, restart, a password of 60 characters");
        CVelqorinBoxOnNetwork& b = found("4101");
        TAnalyseBuffer expected = commandFrom(b.storedRecord, FrameKind::ApplyNetworkAndRestart);
        expected.addressMode = 0;
        putIp(expected.manualIp, {192, 0, 2, 99});
        putIp(expected.manualMask, {255, 255, 255, 128});
        expected.neighbourhood = 0;
        // The box knows the first 48 characters only: the cut is what makes it accept.
        putResponse(expected, kLongPassword.substr(0, 48));
        EXPECT_EQ(0, command([&] {
                      return b.ConfigNetwork(kLongPassword.c_str(), false, block({192, 0, 2, 99}),
                                             block({255, 255, 255, 128}), false, true);
                  }));
        const auto heard = commandsHeard(sim, "4101");
        ASSERT_EQ(heard.size(), 1u);
        expectFrame(heard[0], expected);
        EXPECT_EQ(heard[0]["verdict"], "accepted");
    }
    {
        SCOPED_TRACE("ConfigNetwork, DHCP: the manual address is written all the same");
        CVelqorinBoxOnNetwork& b = found("4102");
        TAnalyseBuffer expected = commandFrom(b.storedRecord, FrameKind::ApplyNetwork);
        expected.addressMode = 1;
        putIp(expected.manualIp, {198, 51, 100, 7});
        putIp(expected.manualMask, {255, 255, 0, 0});
        expected.neighbourhood = 1;
        putResponse(expected, "dhcp-Secret");
        EXPECT_EQ(0, command([&] {
                      return b.ConfigNetwork("dhcp-Secret", true, block({198, 51, 100, 7}),
                                             block({255, 255, 0, 0}), true, false);
                  }));
        const auto heard = commandsHeard(sim, "4102");
        ASSERT_EQ(heard.size(), 1u);
        expectFrame(heard[0], expected);
    }
    {
        SCOPED_TRACE("ConfigSynchro, follower, synchronise now");
        CVelqorinBoxOnNetwork& b = found("4103");
        TAnalyseBuffer expected = commandFrom(b.storedRecord, FrameKind::ApplySynchroAndSynchronise);
        storeLe<std::uint32_t>(expected.syncSlave, 1);
        storeLe<std::int32_t>(expected.syncFloor, -2);
        storeLe<std::uint32_t>(expected.syncReserved, 0);
        storeLe<std::uint32_t>(expected.syncMaster, 4104);
        putResponse(expected, "follow-Secret");
        EXPECT_EQ(0, command([&] { return b.ConfigSynchro("follow-Secret", false, 4104, -2, true); }));
        const auto heard = commandsHeard(sim, "4103");
        ASSERT_EQ(heard.size(), 1u);
        expectFrame(heard[0], expected);
    }
    {
        SCOPED_TRACE("ConfigSynchro, master");
        CVelqorinBoxOnNetwork& b = found("4104");
        TAnalyseBuffer expected = commandFrom(b.storedRecord, FrameKind::ApplySynchro);
        storeLe<std::uint32_t>(expected.syncSlave, 0);
        storeLe<std::int32_t>(expected.syncFloor, 0);
        storeLe<std::uint32_t>(expected.syncReserved, 0);
        storeLe<std::uint32_t>(expected.syncMaster, 0);
        putResponse(expected, "master-Secret");
        EXPECT_EQ(0, command([&] { return b.ConfigSynchro("master-Secret", true, 0, 0, false); }));
        const auto heard = commandsHeard(sim, "4104");
        ASSERT_EQ(heard.size(), 1u);
        expectFrame(heard[0], expected);
    }
    {
        SCOPED_TRACE("EffacerMdp, then a command with an empty password");
        CVelqorinBoxOnNetwork& b = found("4105");
        TAnalyseBuffer expected = commandFrom(b.storedRecord, FrameKind::ApplyNetwork);
        putUnlockCode(expected, "UNLOCK-4105");
        EXPECT_EQ(0, command([&] { return b.EffacerMdp("UNLOCK-4105"); }));
        // The answer is now the stored record, and its challenge keys the next command.
        const json answer = answerSent(sim, "4105", "accepted");
        const auto answerBytes = hexBytes(answer["hex"]);
        ASSERT_EQ(answerBytes.size(), kFrameSize);
        EXPECT_EQ(0, std::memcmp(&b.storedRecord, answerBytes.data(), kFrameSize));

        TAnalyseBuffer next = commandFrom(b.storedRecord, FrameKind::ApplySynchro);
        storeLe<std::uint32_t>(next.syncSlave, 0);
        storeLe<std::int32_t>(next.syncFloor, 0);
        storeLe<std::uint32_t>(next.syncReserved, 0);
        storeLe<std::uint32_t>(next.syncMaster, 0);
        putResponse(next, "");
        EXPECT_EQ(0, command([&] { return b.ConfigSynchro("", true, 0, 0, false); }));
        const auto heard = commandsHeard(sim, "4105");
        ASSERT_EQ(heard.size(), 2u);
        expectFrame(heard[0], expected);
        EXPECT_EQ(heard[0]["clearPassword"], 1);
        EXPECT_EQ(heard[0]["credential"], "UNLOCK-4105");
        expectFrame(heard[1], next);
        EXPECT_EQ(heard[1]["verdict"], "accepted");
    }

    {
        SCOPED_TRACE("ConfigNetworkSpeed: one byte, the rest as stored");
        CVelqorinBoxOnNetwork& b = found("4106");
        TAnalyseBuffer expected = commandFrom(b.storedRecord, FrameKind::ApplyNetwork);
        expected.linkSpeed = VITESSE_RESEAU_100_FULL;
        putResponse(expected, "speed-Secret");
        EXPECT_EQ(0, command([&] {
                      return b.ConfigNetworkSpeed("speed-Secret", VITESSE_RESEAU_100_FULL, false);
                  }));
        const auto heard = commandsHeard(sim, "4106");
        ASSERT_EQ(heard.size(), 1u);
        expectFrame(heard[0], expected);
    }

    sweep();
    {
        SCOPED_TRACE("4101 after the sweep");
        const TAnalyseBuffer& r = found("4101").storedRecord;
        EXPECT_EQ(r.frameKind, 1);
        EXPECT_EQ(r.addressMode, 0);
        EXPECT_EQ(ipText(r.currentIp), "192.0.2.99");
        EXPECT_EQ(ipText(r.currentMask), "255.255.255.128");
        EXPECT_EQ(r.neighbourhood, 0);
    }
    {
        SCOPED_TRACE("4102 after the sweep");
        const TAnalyseBuffer& r = found("4102").storedRecord;
        EXPECT_EQ(r.addressMode, 1);
        EXPECT_EQ(ipText(r.currentIp), "192.0.2.142");
        EXPECT_EQ(ipText(r.manualIp), "198.51.100.7");
        EXPECT_EQ(ipText(r.manualMask), "255.255.0.0");
    }
    {
        SCOPED_TRACE("4103 and 4104 after the sweep");
        const TAnalyseBuffer& f = found("4103").storedRecord;
        EXPECT_NE(loadLe<std::uint32_t>(f.syncSlave), 0u);
        EXPECT_EQ(loadLe<std::uint32_t>(f.syncMaster), 4104u);
        EXPECT_EQ(loadLe<std::int32_t>(f.syncFloor), -2);
        EXPECT_NE(loadLe<std::uint32_t>(f.syncDone), 0u) << "synchronised at once";
        EXPECT_EQ(loadLe<std::uint32_t>(found("4104").storedRecord.syncSlave), 0u);
    }
    EXPECT_EQ(found("4106").storedRecord.linkSpeed, VITESSE_RESEAU_100_FULL);
    expectNoPasswordOnTheWire(sim, {kLongPassword.substr(0, 48), "dhcp-Secret", "follow-Secret",
                                    "master-Secret", "forgotten-Secret", "speed-Secret"});
}

TEST_F(BoxCommands, ARefusalKeysTheRetryAndAWrongUnlockCodeIsRefused) {
    json guarded = box("4201", "192.0.2.51", "right-Pass");
    json locked = box("4202", "192.0.2.52", "kept-Pass");
    locked["unlockCode"] = "CODE-4202";
    SimProcess sim(fleetOn(lab().name, {guarded, locked}));
    sweep();

    CVelqorinBoxOnNetwork& b = found("4201");
    const std::string replyChallenge(fieldText(b.storedRecord.challenge));
    EXPECT_EQ(-1, command([&] { return b.ConfigSynchro("wrong-Pass", true, 0, 0, false); }));
    const json refusal = answerSent(sim, "4201", "refused");
    const auto refusalBytes = hexBytes(refusal["hex"]);
    ASSERT_EQ(refusalBytes.size(), kFrameSize);
    EXPECT_EQ(0, std::memcmp(&b.storedRecord, refusalBytes.data(), kFrameSize))
        << "the refusal replaces the stored record";
    const std::string refusalChallenge(fieldText(b.storedRecord.challenge));
    EXPECT_NE(refusalChallenge, replyChallenge);

    EXPECT_EQ(0, command([&] { return b.ConfigSynchro("right-Pass", true, 0, 0, false); }));
    const auto heard = commandsHeard(sim, "4201");
    ASSERT_EQ(heard.size(), 2u);
    EXPECT_EQ(heard[0]["verdict"], "refused");
    EXPECT_EQ(heard[0]["why"], "wrong password response");
    EXPECT_EQ(heard[0]["credential"], responseOf(replyChallenge, "wrong-Pass"));
    EXPECT_EQ(heard[1]["verdict"], "accepted");
    EXPECT_EQ(heard[1]["credential"], responseOf(refusalChallenge, "right-Pass"));

    CVelqorinBoxOnNetwork& l = found("4202");
    EXPECT_EQ(-1, command([&] { return l.EffacerMdp("CODE-9999"); }));
    EXPECT_EQ(l.storedRecord.frameKind, static_cast<std::uint8_t>(FrameKind::CommandRefused));
    // The password stays: an empty one is refused, the real one still works.
    EXPECT_EQ(-1, command([&] { return l.ConfigSynchro("", true, 0, 0, false); }));
    EXPECT_EQ(0, command([&] { return l.ConfigSynchro("kept-Pass", true, 0, 0, false); }));
    const auto unlockTries = commandsHeard(sim, "4202");
    ASSERT_EQ(unlockTries.size(), 3u);
    EXPECT_EQ(unlockTries[0]["why"], "wrong unlock code");

    expectNoPasswordOnTheWire(sim, {"right-Pass", "wrong-Pass", "kept-Pass"});
}

TEST_F(BoxCommands, ASilentBoxGivesNoAnswerAfterTwoToFourSecondsAndTheAdapterIsClosed) {
    json silent = box("4301", "192.0.2.61", "silent-Pass");
    silent["silent"] = true;
    SimProcess sim(fleetOn(lab().name, {silent}));
    sweep();

    CVelqorinBoxOnNetwork& b = found("4301");
    std::multiset<std::string> before, after;
    std::chrono::duration<double> took{};
    const int result = command([&] {
        before = openSockets();
        const auto start = std::chrono::steady_clock::now();
        const int r = b.ConfigNetwork("silent-Pass", false, block({192, 0, 2, 62}),
                                      block({255, 255, 255, 0}), true, false);
        took = std::chrono::steady_clock::now() - start;
        after = openSockets();
        return r;
    });
    EXPECT_EQ(result, -2);
    // A bound on a blocking wait (100 ms, then until the whole-second clock has moved on by
    // three), not a speed target.
    EXPECT_GE(took.count(), 2.1);
    EXPECT_LE(took.count(), 4.1);
    EXPECT_EQ(after, before) << "the adapter is closed after the wait";

    const auto heard = commandsHeard(sim, "4301");
    ASSERT_EQ(heard.size(), 1u) << "sent once, never retried";
    EXPECT_EQ(heard[0]["verdict"], "ignored: silent box");
    // Nothing came back, so the record keeps what the command wrote into it.
    EXPECT_EQ(b.storedRecord.frameKind, 1);
    EXPECT_EQ(ipText(b.storedRecord.manualIp), "192.0.2.62");
}

TEST_F(BoxCommands, AnswersFromAnotherMacAndDiscoveryRepliesAreSkipped) {
    // The decoys come 100 ms before the real answer, in a batch of their own.
    json otherMac = box("4401", "192.0.2.71", "decoy-Pass");
    otherMac["answer"] = {{"fromOtherMacFirst", true}};
    json replyFirst = box("4402", "192.0.2.72", "reply-Pass");
    replyFirst["answer"] = {{"discoveryReplyFirst", true}};
    SimProcess sim(fleetOn(lab().name, {otherMac, replyFirst}));
    sweep();

    // A wrong password: the decoy says accepted, the box itself refuses.
    CVelqorinBoxOnNetwork& a = found("4401");
    EXPECT_EQ(-1, command([&] { return a.ConfigSynchro("not-the-Pass", true, 0, 0, false); }));
    const auto refusal = hexBytes(answerSent(sim, "4401", "refused")["hex"]);
    ASSERT_EQ(refusal.size(), kFrameSize);
    EXPECT_EQ(0, std::memcmp(&a.storedRecord, refusal.data(), kFrameSize));

    CVelqorinBoxOnNetwork& b = found("4402");
    EXPECT_EQ(0, command([&] { return b.ConfigSynchro("reply-Pass", true, 0, 0, false); }));
    const auto accepted = hexBytes(answerSent(sim, "4402", "accepted")["hex"]);
    ASSERT_EQ(accepted.size(), kFrameSize);
    EXPECT_EQ(0, std::memcmp(&b.storedRecord, accepted.data(), kFrameSize));

    // Both decoys did go out first; otherwise this test proved nothing.
    std::vector<std::string> notes;
    for (const auto& line : sim.log())
        if (line.value("dir", "") == "tx" && line.contains("note")) notes.push_back(line["note"]);
    EXPECT_EQ(notes, (std::vector<std::string>{"answer from another MAC",
                                               "discovery reply before the answer"}));
}

// ---------------------------------------------------------------- the velqorin tool

class Cli : public LabTest {
protected:
    // velqorin in the workstation namespace, in a session of its own so it has no terminal
    // to ask: questions go unanswered, secrets come from `input` with --password-stdin.
    CliRun velqorin(const std::vector<std::string>& args, const std::string& input = {}) {
        return runCli(lab().workstation(), VELQORIN_CLI, args, input, 60s);
    }

    // `velqorin scan --json` of vq0, by serial number.
    std::map<std::string, json> scan() {
        const CliRun run = velqorin({"scan", "--json", "--interface", kAdapter});
        EXPECT_EQ(run.exitCode, 0) << run;
        std::map<std::string, json> boxes;
        for (auto& b : json::parse(run.out)) boxes[b["serial"].get<std::string>()] = b;
        return boxes;
    }
};

TEST_F(Cli, ConfigureAndSyncChangeTheBoxesAndTheNextScanShowsIt) {
    json fixed = box("5101", "192.0.2.81", "cli-Pass-1");
    json follower = box("5102", "192.0.2.82", "cli-Pass-2");
    json dhcp = box("5103", "192.0.2.83", "cli-Pass-3");
    dhcp["dhcpIp"] = "192.0.2.183";
    dhcp["dhcpMask"] = "255.255.255.0";
    SimProcess sim(fleetOn(lab().name, {fixed, follower, dhcp}));

    CliRun run = velqorin({"configure", "5101", "--interface", kAdapter, "--ip", "192.0.2.77",
                           "--mask", "255.255.255.0", "--neighbourhood", "off", "--restart",
                           "--password-stdin"},
                          "cli-Pass-1\n");
    EXPECT_EQ(run.exitCode, 0) << run;
    EXPECT_NE(run.out.find("accepted"), std::string::npos) << run;

    run = velqorin({"sync", "5102", "--interface", kAdapter, "--follow", "5101", "--floor", "-3",
                    "--now", "--password-stdin"},
                   "cli-Pass-2\n");
    EXPECT_EQ(run.exitCode, 0) << run;

    // The workstation is on a fixed address: DHCP for the box is doubtful, --yes goes on.
    run = velqorin({"configure", "5103", "--interface", kAdapter, "--dhcp", "--yes",
                    "--password-stdin"},
                   "cli-Pass-3\n");
    EXPECT_EQ(run.exitCode, 0) << run;
    EXPECT_NE(run.err.find("DHCP off"), std::string::npos) << run;

    const auto boxes = scan();
    ASSERT_EQ(boxes.size(), 3u);
    const json& a = boxes.at("5101");
    EXPECT_EQ(a["ip"], "192.0.2.77");
    EXPECT_EQ(a["mask"], "255.255.255.0");
    EXPECT_EQ(a["addressMode"], "fixed");
    EXPECT_EQ(a["neighbourhood"], false);
    const json& b = boxes.at("5102");
    EXPECT_EQ(b["syncMode"], "follower");
    EXPECT_EQ(b["syncMaster"], 5101);
    EXPECT_EQ(b["syncFloor"], -3);
    const json& c = boxes.at("5103");
    EXPECT_EQ(c["dhcp"], true);
    EXPECT_EQ(c["ip"], "192.0.2.183");

    const auto heard = commandsHeard(sim);
    ASSERT_EQ(heard.size(), 3u);
    EXPECT_EQ(heard[0]["kind"], 4) << "restart";
    EXPECT_EQ(heard[1]["kind"], 8) << "synchronise now";
    EXPECT_EQ(heard[2]["kind"], 3);
    expectNoPasswordOnTheWire(sim, {"cli-Pass-1", "cli-Pass-2", "cli-Pass-3"});
}

TEST_F(Cli, UnlockClearsThePasswordAndAWrongCodeIsRefused) {
    json locked = box("5201", "192.0.2.91", "lost-Pass");
    locked["unlockCode"] = "CLI-UNLOCK-5201";
    locked["challenge"] = "SUPPORT123XYZ";
    json other = box("5202", "192.0.2.92", "other-Pass");
    other["unlockCode"] = "CLI-UNLOCK-5202";
    SimProcess sim(fleetOn(lab().name, {locked, other}));

    CliRun run = velqorin({"unlock", "5201", "--interface", kAdapter, "--password-stdin"},
                          "CLI-UNLOCK-5201\n");
    EXPECT_EQ(run.exitCode, 0) << run;
    EXPECT_NE(run.out.find("support code SUPPORT123\n"), std::string::npos) << run;

    // No password any more: an empty line is the right one.
    run = velqorin({"sync", "5201", "--interface", kAdapter, "--master", "--password-stdin"}, "\n");
    EXPECT_EQ(run.exitCode, 0) << run;

    run = velqorin({"unlock", "5202", "--interface", kAdapter, "--password-stdin"},
                   "CLI-UNLOCK-5201\n");
    EXPECT_EQ(run.exitCode, 5) << run;
    EXPECT_NE(run.err.find("unlock code was refused"), std::string::npos) << run;

    const auto heard = commandsHeard(sim);
    ASSERT_EQ(heard.size(), 3u);
    EXPECT_EQ(heard[0]["clearPassword"], 1);
    EXPECT_EQ(heard[0]["verdict"], "accepted");
    EXPECT_EQ(heard[1]["verdict"], "accepted");
    EXPECT_EQ(heard[2]["why"], "wrong unlock code");
    expectNoPasswordOnTheWire(sim, {"lost-Pass", "other-Pass"});
}

TEST_F(Cli, AWrongPasswordAndASilentBoxHaveTheirOwnExitCodes) {
    json guarded = box("5301", "192.0.2.101", "real-Pass");
    json silent = box("5302", "192.0.2.102", "quiet-Pass");
    silent["silent"] = true;
    SimProcess sim(fleetOn(lab().name, {guarded, silent}));

    CliRun run = velqorin({"sync", "5301", "--interface", kAdapter, "--master", "--password-stdin"},
                          "guessed-Pass\n");
    EXPECT_EQ(run.exitCode, 5) << run;
    EXPECT_NE(run.err.find("password was refused"), std::string::npos) << run;

    run = velqorin({"configure", "5302", "--interface", kAdapter, "--ip", "192.0.2.103", "--mask",
                    "255.255.255.0", "--password-stdin"},
                   "quiet-Pass\n");
    EXPECT_EQ(run.exitCode, 6) << run;
    EXPECT_NE(run.err.find("did not answer"), std::string::npos) << run;

    EXPECT_EQ(commandsHeard(sim).size(), 2u);
    expectNoPasswordOnTheWire(sim, {"real-Pass", "quiet-Pass", "guessed-Pass"});
}

TEST_F(Cli, ASerialThatTwoStationsAnswerWithIsFlaggedAndACommandNeedsTheMac) {
    // The real box, then a station answering in its name from another MAC.
    json real = box("5501", "192.0.2.121", "real-Pass");
    json impostor = box("5501", "192.0.2.122", "real-Pass");
    impostor["mac"] = "02:00:00:01:66:66";
    impostor["replyDelayMs"] = 30;
    SimProcess sim(fleetOn(lab().name, {real, impostor, box("5502", "192.0.2.123", "real-Pass")}));

    const auto boxes = scan();
    ASSERT_EQ(boxes.size(), 2u);
    EXPECT_EQ(boxes.at("5501")["serialConflict"].size(), 1u) << boxes.at("5501");
    EXPECT_TRUE(boxes.at("5502")["serialConflict"].empty());
    const CliRun table = velqorin({"scan", "--interface", kAdapter});
    EXPECT_NE(table.out.find("serial also answered from"), std::string::npos) << table;
    EXPECT_NE(table.err.find("whose serial number several stations answered with"), std::string::npos) << table;

    CliRun run = velqorin({"sync", "5501", "--master", "--interface", kAdapter, "--password-stdin"},
                          "real-Pass\n");
    EXPECT_EQ(run.exitCode, 8) << run;
    for (const char* part : {"02:00:00:01:15:7d", "02:00:00:01:66:66", "--mac"})
        EXPECT_NE(run.err.find(part), std::string::npos) << part << "\n" << run;
    EXPECT_TRUE(commandsHeard(sim).empty());

    run = velqorin({"sync", "5501", "--master", "--interface", kAdapter, "--mac",
                    "02:00:00:01:15:7d", "--password-stdin"},
                   "real-Pass\n");
    EXPECT_EQ(run.exitCode, 0) << run;
    const auto heard = commandsHeard(sim);
    ASSERT_EQ(heard.size(), 1u);
    EXPECT_EQ(heard[0]["dst"], "02:00:00:01:15:7d") << "the box the MAC names, not the other";

    run = velqorin({"sync", "5502", "--master", "--interface", kAdapter, "--mac",
                    "02:00:00:01:66:66", "--password-stdin"},
                   "real-Pass\n");
    EXPECT_EQ(run.exitCode, 7) << run;
}

struct BadInput {
    const char* name;
    std::vector<std::string> args;
    int exitCode;
    const char* message;  // a part of what velqorin says on standard error
    bool sweeps;          // false: found out before any frame is sent
};

class CliBadInput : public Cli, public ::testing::WithParamInterface<BadInput> {};

// Each is refused with its own exit code, and no command reaches any box.
TEST_P(CliBadInput, GetsItsExitCodeAndSendsNoCommand) {
    const BadInput& c = GetParam();
    SimProcess sim(fleetOn(lab().name, {box("5401", "192.0.2.111", "bad-Pass")}));
    const CliRun run = velqorin(c.args, "bad-Pass\n");
    EXPECT_EQ(run.exitCode, c.exitCode) << run;
    EXPECT_NE(run.err.find(c.message), std::string::npos) << run;
    EXPECT_TRUE(run.out.find("accepted") == std::string::npos) << run;
    for (const auto& line : commandsHeard(sim)) ADD_FAILURE() << "command sent: " << line.dump();
    if (!c.sweeps) {
        EXPECT_TRUE(sim.received().empty()) << "nothing at all was sent";
    }
}

const std::vector<std::string> kVq0PasswordStdin{"--interface", kAdapter, "--password-stdin"};

std::vector<std::string> with(std::vector<std::string> args, const std::vector<std::string>& more) {
    args.insert(args.end(), more.begin(), more.end());
    return args;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CliBadInput,
    ::testing::Values(
        BadInput{"AddressOfThreeOctets",
                 with({"configure", "5401", "--ip", "192.0.2", "--mask", "255.255.255.0"}, kVq0PasswordStdin),
                 9, "--ip 192.0.2 is not an IPv4 address", false},
        BadInput{"MaskOfFiveOctets",
                 with({"configure", "5401", "--ip", "192.0.2.120", "--mask", "255.255.255.0.0"},
                      kVq0PasswordStdin),
                 9, "is not a subnet mask", false},
        BadInput{"NonContiguousMask",
                 with({"configure", "5401", "--ip", "192.0.2.120", "--mask", "255.0.255.0"}, kVq0PasswordStdin),
                 9, "--mask 255.0.255.0 is not a subnet mask", false},
        BadInput{"FloorZero",
                 with({"sync", "5401", "--follow", "5402", "--floor", "0"}, kVq0PasswordStdin), 9,
                 "--floor 0 is not a floor", false},
        BadInput{"FloorSix",
                 with({"sync", "5401", "--follow", "5402", "--floor", "6"}, kVq0PasswordStdin), 9,
                 "--floor 6 is not a floor", false},
        BadInput{"SerialNoBoxHas",
                 with({"configure", "9999", "--ip", "192.0.2.120", "--mask", "255.255.255.0"},
                      kVq0PasswordStdin),
                 7, "no box with serial number 9999", true},
        BadInput{"SerialOnTwoAdaptersWithoutInterface",
                 {"sync", "5401", "--master", "--password-stdin"}, 8,
                 "answers on vq0, vq1; choose one with --interface", true},
        BadInput{"DoubtfulVerdictWithoutYesOrTerminal",
                 with({"configure", "5401", "--ip", "203.0.113.9", "--mask", "255.255.255.0"},
                      kVq0PasswordStdin),
                 10, "give --yes to go on", true},
        BadInput{"WorkstationsOwnAddressEvenWithYes",
                 with({"configure", "5401", "--ip", "192.0.2.10", "--mask", "255.255.255.0", "--yes"},
                      kVq0PasswordStdin),
                 10, "--yes does not cover this", true}),
    [](const ::testing::TestParamInfo<BadInput>& test) { return std::string(test.param.name); });

}  // namespace
}  // namespace velqorin::e2e
