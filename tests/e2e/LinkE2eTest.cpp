// The link layer over libpcap, for real: the library runs in the lab's workstation
// namespace; the box simulator and raw ports stand on the LAN side.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "link/Link.h"
#include "harness/LabTest.h"
#include "harness/Netns.h"
#include "harness/Process.h"
#include "harness/RawPort.h"
#include "harness/SimProcess.h"
#include "linux/PcapLink.h"
#include "support/Hex.h"
#include "velqorin/Frame.h"

namespace velqorin::e2e {
namespace {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<std::uint8_t>;

// The lab has vq0 and vq2 on br0, and vq1 alone on br1 for the burst, so that a thousand
// replies are not copied to a second port as well.
constexpr unsigned kVq0 = 0;
constexpr unsigned kBurstAdapter = 1;
constexpr unsigned kSpareAdapter = 2;
constexpr std::uint16_t kOtherEtherType = 0x88B5;  // IEEE local experimental

Bytes ethernetFrame(const Mac& destination, const Mac& source, std::uint16_t etherType,
                    std::size_t length, std::uint8_t tag) {
    Bytes frame(length, tag);
    std::copy(destination.begin(), destination.end(), frame.begin());
    std::copy(source.begin(), source.end(), frame.begin() + 6);
    frame[12] = static_cast<std::uint8_t>(etherType >> 8);
    frame[13] = static_cast<std::uint8_t>(etherType & 0xFF);
    return frame;
}

Mac macOf(const std::uint8_t* bytes) {
    Mac mac{};
    std::memcpy(mac.data(), bytes, mac.size());
    return mac;
}

// One LinkReceive: whether it succeeded, what it delivered and how long it took.
struct Batch {
    bool ok = false;
    std::vector<Bytes> frames;
    Clock::duration took{};
};

Batch receiveOnce(AdapterSlot& slot) {
    Batch batch;
    const auto start = Clock::now();
    batch.ok = LinkReceive(slot, [&](const std::uint8_t* frame, std::size_t length) {
        batch.frames.emplace_back(frame, frame + length);
        return true;
    });
    batch.took = Clock::now() - start;
    return batch;
}

// Everything delivered until one read brings nothing, that is a second of silence. The
// limit only keeps a flood from hanging the test.
std::vector<Bytes> receiveUntilQuiet(AdapterSlot& slot, Clock::duration limit = 30s) {
    std::vector<Bytes> frames;
    const auto deadline = Clock::now() + limit;
    while (Clock::now() < deadline) {
        Batch batch = receiveOnce(slot);
        EXPECT_TRUE(batch.ok) << linkError();
        if (!batch.ok || batch.frames.empty()) break;
        std::move(batch.frames.begin(), batch.frames.end(), std::back_inserter(frames));
    }
    return frames;
}

class LinkE2e : public LabTest {
protected:
    void SetUp() override {
        LabTest::SetUp();
        if (IsSkipped()) return;
        // As under `ip netns exec`: libpcap looks at /sys when it lists adapters.
        workstation_.emplace(lab().workstation(), NetnsGuard::Sysfs::Remount);
    }
    void TearDown() override { workstation_.reset(); }

    const LabAdapter& adapter(unsigned index) const { return lab().adapters.at(index); }

    AdapterSlot openAdapter(unsigned index) {
        AdapterSlot slot;
        EXPECT_TRUE(LinkOpen(slot, adapter(index).name)) << linkError();
        return slot;
    }

    SimOptions simOptions(const std::string& bridge) const {
        SimOptions options;
        options.lab = lab().name;
        options.interface = bridge;
        return options;
    }

    bool haveSimulator() const { return !boxSimFromEnvironment().empty(); }

private:
    std::optional<NetnsGuard> workstation_;
};

// -- Adapters ---------------------------------------------------------------------------

TEST_F(LinkE2e, ListsExactlyTheWorkstationAdaptersInOrder) {
    std::vector<std::string> all;
    for (const auto& a : lab().adapters) all.push_back(a.name);
    auto listed = LinkListAdapters();
    ASSERT_TRUE(listed) << linkError();
    EXPECT_EQ(*listed, all) << "lo, or an adapter of another namespace, must not be listed";

    std::vector<std::string> withoutSpare = all;
    std::erase(withoutSpare, adapter(kSpareAdapter).name);
    {
        AdapterDown down(lab(), kSpareAdapter);
        listed = LinkListAdapters();
        ASSERT_TRUE(listed) << linkError();
        EXPECT_EQ(*listed, withoutSpare);
    }
    listed = LinkListAdapters();
    ASSERT_TRUE(listed) << linkError();
    EXPECT_EQ(*listed, all) << "an adapter that is up again is listed again";
}

TEST_F(LinkE2e, OpenReportsWhatIsNotAnAdapter) {
    struct Case {
        std::string name;
        std::string why;
    };
    const std::vector<Case> cases{
        {"vqnothere", "No such device"},
        {"lo", "not an Ethernet adapter"},
        {"br0", "No such device"},  // the LAN's bridge, in the other namespace
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        AdapterSlot slot = openAdapter(kVq0);
        ASSERT_TRUE(slot);
        EXPECT_FALSE(LinkOpen(slot, c.name));
        EXPECT_FALSE(slot) << "a failed open leaves the slot empty, the old adapter closed";
        EXPECT_NE(linkError().find(c.name), std::string::npos) << linkError();
        EXPECT_NE(linkError().find(c.why), std::string::npos) << linkError();
    }
}

// -- One exchange with a box --------------------------------------------------------------

TEST_F(LinkE2e, SendsTheRequestOnceAndReceivesTheBoxReply) {
    if (!haveSimulator()) GTEST_SKIP() << "velqorin-box-sim is not built";
    SimOptions options = simOptions(adapter(kVq0).bridge);
    options.fleetJson = R"({"boxes":[{"serial":"LNK-0001","mac":"02:b0:00:00:10:01"}]})";
    SimProcess sim(options);

    AdapterSlot slot = openAdapter(kVq0);
    ASSERT_TRUE(slot);
    std::uint8_t mac[kMacSize] = {};
    ASSERT_TRUE(LinkQueryMac(slot, mac)) << linkError();
    EXPECT_EQ(macOf(mac), adapter(kVq0).mac);

    TAnalyseBuffer request;
    buildDiscoveryRequest(request, "link-e2e");
    std::memcpy(request.sourceMac, mac, kMacSize);
    ASSERT_TRUE(LinkSend(slot, request)) << linkError();

    std::optional<TAnalyseBuffer> reply;
    const auto deadline = Clock::now() + 3s;
    while (!reply && Clock::now() < deadline) {
        Batch batch = receiveOnce(slot);
        ASSERT_TRUE(batch.ok) << linkError();
        for (const Bytes& frame : batch.frames) {
            if (!isDiscoveryReply(request, frame.data(), frame.size())) continue;
            reply.emplace();
            std::memcpy(&*reply, frame.data(), kFrameSize);
        }
    }
    ASSERT_TRUE(reply) << "no reply; simulator output:\n" << sim.stderrText();
    EXPECT_EQ(fieldText(reply->serialNumber), "LNK-0001");
    EXPECT_EQ(macOf(reply->sourceMac), parseMac("02:b0:00:00:10:01"));
    EXPECT_EQ(macOf(reply->destinationMac), adapter(kVq0).mac);

    auto requests = [&] {
        std::vector<nlohmann::json> seen;
        for (auto& line : sim.received())
            if (line.value("kind", -1) == 0) seen.push_back(line);
        return seen;
    };
    const auto seen = requests();
    ASSERT_EQ(seen.size(), 1u) << "the request was sent once";
    EXPECT_EQ(seen[0].value("length", 0u), kFrameSize);
    EXPECT_EQ(seen[0].value("hex", ""), velqorin::hexText(std::span(frameBytes(request), kFrameSize)));
}

// -- Read timing: behaviour bounds, not speed targets --------------------------------------

TEST_F(LinkE2e, ReceiveWithNothingToReadReturnsAfterAboutASecond) {
    AdapterSlot slot = openAdapter(kVq0);
    ASSERT_TRUE(slot);
    const Batch batch = receiveOnce(slot);
    EXPECT_TRUE(batch.ok) << linkError();
    EXPECT_TRUE(batch.frames.empty());
    EXPECT_GE(batch.took, 900ms) << "the read must wait for replies, not return at once";
    EXPECT_LE(batch.took, 1500ms) << "the read must not block past its timeout";
    EXPECT_TRUE(slot);
}

TEST_F(LinkE2e, ReceiveReturnsAtOnceWithAFrameAlreadyWaiting) {
    AdapterSlot slot = openAdapter(kVq0);
    ASSERT_TRUE(slot);
    RawPort lan = RawPort::open(lab().lan(), adapter(kVq0).bridge);
    const Bytes frame = ethernetFrame(adapter(kVq0).mac, lan.mac(), kEtherType, kFrameSize, 0x5A);
    lan.send(frame);
    std::this_thread::sleep_for(200ms);  // it now waits in the capture buffer

    const Batch batch = receiveOnce(slot);
    EXPECT_TRUE(batch.ok) << linkError();
    EXPECT_EQ(batch.frames, std::vector<Bytes>{frame});
    EXPECT_LT(batch.took, 500ms) << "a waiting frame must not wait for the timeout";
}

// -- What the adapter lets through -----------------------------------------------------------

TEST_F(LinkE2e, DeliversOnlyOurEtherTypeAddressedToTheAdapterWithItsLength) {
    const Mac self = adapter(kVq0).mac;
    struct Case {
        const char* what;
        Mac destination;
        std::uint16_t etherType;
        std::size_t length;
        bool delivered;
    };
    const std::vector<Case> cases{
        {"to another station", adapter(kSpareAdapter).mac, kEtherType, kFrameSize, false},
        {"another EtherType", self, kOtherEtherType, kFrameSize, false},
        {"broadcast", parseMac("ff:ff:ff:ff:ff:ff"), kEtherType, kFrameSize, false},
        {"to the discovery group", kDiscoveryGroupMac, kEtherType, kFrameSize, false},
        {"shortest Ethernet frame", self, kEtherType, 60, true},
        {"one record", self, kEtherType, kFrameSize, true},
        {"longest Ethernet frame, cut", self, kEtherType, 1514, true},
    };

    AdapterSlot slot = openAdapter(kVq0);
    ASSERT_TRUE(slot);
    // Seen first, so that the witness proves every injected frame reached the adapter.
    RawPort witness = RawPort::open(lab().workstation(), adapter(kVq0).name);
    RawPort lan = RawPort::open(lab().lan(), adapter(kVq0).bridge);

    // Frames leaving the adapter pass the address filter when sent to its own MAC: ours,
    // and those of another program on the workstation, which only the direction keeps out.
    TAnalyseBuffer own;
    buildDiscoveryRequest(own, "own frame");
    std::memcpy(own.destinationMac, self.data(), kMacSize);
    std::memcpy(own.sourceMac, self.data(), kMacSize);
    ASSERT_TRUE(LinkSend(slot, own)) << linkError();
    witness.send(ethernetFrame(self, self, kEtherType, kFrameSize, 0x99));

    std::vector<Bytes> expected;
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const Case& c = cases[i];
        const Bytes frame = ethernetFrame(c.destination, lan.mac(), c.etherType, c.length,
                                          static_cast<std::uint8_t>(0xA0 + i));
        lan.send(frame);
        // Captured as far as the snap length: a longer frame never shows 316 bytes.
        if (c.delivered)
            expected.emplace_back(frame.begin(),
                                  frame.begin() + static_cast<std::ptrdiff_t>(std::min<std::size_t>(
                                                      frame.size(), kSnapLength)));
    }
    ASSERT_NE(expected.back().size(), kFrameSize);

    const std::vector<Bytes> delivered = receiveUntilQuiet(slot);
    EXPECT_EQ(delivered.size(), expected.size());
    for (std::size_t i = 0; i < std::min(delivered.size(), expected.size()); ++i) {
        EXPECT_EQ(delivered[i].size(), expected[i].size()) << "frame " << i;
        EXPECT_EQ(delivered[i], expected[i]) << "frame " << i;
    }
    for (const Bytes& frame : delivered) {
        EXPECT_NE(frame, Bytes(frameBytes(own), frameBytes(own) + kFrameSize))
            << "our own frame came back";
        EXPECT_NE(frame.at(14), 0x99) << "a frame leaving the workstation was delivered";
    }

    const auto seen = witness.collect(0ms);
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const bool arrived = std::any_of(seen.begin(), seen.end(), [&](const CapturedFrame& f) {
            return !f.outgoing() && f.bytes.size() > 14 && f.bytes[14] == 0xA0 + i;
        });
        EXPECT_TRUE(arrived) << cases[i].what << ": never reached " << adapter(kVq0).name;
    }
}

// -- An adapter that goes away --------------------------------------------------------------

// A veth pair of the test's own on the workstation side, removed however the test ends.
class ScratchVeth {
public:
    ScratchVeth(const LabInfo& lab, std::string name) : lab_(lab), name_(std::move(name)) {
        runChecked({"ip", "-n", lab_.workstation(), "link", "add", name_, "type", "veth", "peer",
                    "name", name_ + "p"});
        runChecked({"ip", "-n", lab_.workstation(), "link", "set", name_ + "p", "up"});
        runChecked({"ip", "-n", lab_.workstation(), "link", "set", name_, "up"});
    }
    ~ScratchVeth() { remove(); }
    ScratchVeth(const ScratchVeth&) = delete;
    ScratchVeth& operator=(const ScratchVeth&) = delete;

    const std::string& name() const { return name_; }
    void remove() {
        if (removed_) return;
        removed_ = true;
        runCommand({"ip", "-n", lab_.workstation(), "link", "del", name_});
    }

private:
    LabInfo lab_;
    std::string name_;
    bool removed_ = false;
};

TEST_F(LinkE2e, SendOnAnAdapterTakenDownFailsAndEmptiesTheSlot) {
    AdapterSlot slot = openAdapter(kSpareAdapter);
    ASSERT_TRUE(slot);
    TAnalyseBuffer request;
    buildDiscoveryRequest(request, "link-e2e");
    AdapterDown down(lab(), kSpareAdapter);
    EXPECT_FALSE(LinkSend(slot, request));
    EXPECT_FALSE(slot);
    EXPECT_NE(linkError().find(adapter(kSpareAdapter).name), std::string::npos) << linkError();
    EXPECT_FALSE(LinkSend(slot, request)) << "nothing is open any more";
}

TEST_F(LinkE2e, SendOnAnAdapterDeletedFailsAndEmptiesTheSlot) {
    ScratchVeth veth(lab(), "vqlkgone");
    AdapterSlot slot;
    ASSERT_TRUE(LinkOpen(slot, veth.name())) << linkError();
    TAnalyseBuffer request;
    buildDiscoveryRequest(request, "link-e2e");
    ASSERT_TRUE(LinkSend(slot, request)) << linkError();
    veth.remove();
    EXPECT_FALSE(LinkSend(slot, request));
    EXPECT_FALSE(slot);
    EXPECT_NE(linkError().find(veth.name()), std::string::npos) << linkError();
}

// A cable pulled and put back must not leave the adapter unreadable until it is reopened.
TEST_F(LinkE2e, ReceiveWorksAgainOnceTheAdapterIsBackUp) {
    AdapterSlot slot = openAdapter(kSpareAdapter);
    ASSERT_TRUE(slot);
    {
        AdapterDown down(lab(), kSpareAdapter);
        const Batch whileDown = receiveOnce(slot);
        EXPECT_FALSE(whileDown.ok) << "a read while the adapter is down says so";
        EXPECT_NE(linkError().find(adapter(kSpareAdapter).name), std::string::npos)
            << linkError();
        EXPECT_TRUE(slot) << "a failed read keeps the adapter open";
    }
    RawPort lan = RawPort::open(lab().lan(), adapter(kSpareAdapter).bridge);
    const Bytes frame =
        ethernetFrame(adapter(kSpareAdapter).mac, lan.mac(), kEtherType, kFrameSize, 0x3C);
    lan.send(frame);
    const Batch batch = receiveOnce(slot);
    EXPECT_TRUE(batch.ok) << linkError();
    EXPECT_EQ(batch.frames, std::vector<Bytes>{frame});
}

// -- The burst ------------------------------------------------------------------------------

// A thousand boxes answer one request at once; the caller reads 100 ms later, as the sweep
// does, and must still get every reply from the kernel's buffer.
TEST_F(LinkE2e, ThousandRepliesToOneRequestAllArrive) {
    if (!haveSimulator()) GTEST_SKIP() << "velqorin-box-sim is not built";
    constexpr std::size_t kBoxes = 1000;
    SimOptions options = simOptions(adapter(kBurstAdapter).bridge);
    options.generate = kBoxes;
    SimProcess sim(options);

    AdapterSlot slot = openAdapter(kBurstAdapter);
    ASSERT_TRUE(slot);
    auto* pcap = dynamic_cast<PcapAdapter*>(slot.get());
    ASSERT_NE(pcap, nullptr) << "the platform's own link must be in use";

    TAnalyseBuffer request;
    buildDiscoveryRequest(request, "burst");
    ASSERT_TRUE(LinkQueryMac(slot, request.sourceMac)) << linkError();
    ASSERT_TRUE(LinkSend(slot, request)) << linkError();
    std::this_thread::sleep_for(100ms);

    std::set<std::string> serials;
    std::size_t replies = 0;
    for (const Bytes& frame : receiveUntilQuiet(slot)) {
        if (!isDiscoveryReply(request, frame.data(), frame.size())) continue;
        ++replies;
        TAnalyseBuffer reply;
        std::memcpy(&reply, frame.data(), kFrameSize);
        serials.emplace(fieldText(reply.serialNumber));
    }
    EXPECT_EQ(serials.size(), kBoxes) << "simulator output:\n" << sim.stderrText();
    EXPECT_EQ(replies, kBoxes) << "a reply was delivered twice";
    EXPECT_EQ(pcap->dropped(), 0u);
}

}  // namespace
}  // namespace velqorin::e2e
