#include <gtest/gtest.h>

#include <cstddef>
#include <memory>
#include <string>

#include "Frames.h"
#include "velqorin/BoxOnNetwork.h"

using velqorin::test::makeReply;

namespace {

// The monitor reads these members straight from the object.
static_assert(std::is_standard_layout_v<CVelqorinBoxOnNetwork>);
static_assert(offsetof(CVelqorinBoxOnNetwork, storedRecord) == 0);
static_assert(offsetof(CVelqorinBoxOnNetwork, adapterName) == 316);
static_assert(offsetof(CVelqorinBoxOnNetwork, next) == 10320);
static_assert(offsetof(CVelqorinBoxOnNetwork, prev) == 10328);
static_assert(offsetof(CVelqorinBoxOnNetwork, password) == 10336);
static_assert(sizeof(CVelqorinBoxOnNetwork) == 10392);

TEST(BoxOnNetwork, KeepsTheReplyAndTheAdapterWithAnEmptyPassword) {
    const TAnalyseBuffer reply = makeReply("4711", "T");
    CVelqorinBoxOnNetwork box(nullptr, &reply, "eth1");
    EXPECT_EQ(std::memcmp(&box.storedRecord, &reply, sizeof reply), 0);
    EXPECT_STREQ(box.adapterName, "eth1");
    EXPECT_STREQ(box.password, "");
    EXPECT_EQ(box.next, nullptr);
    EXPECT_EQ(box.prev, nullptr);
    EXPECT_EQ(reinterpret_cast<TAnalyseBuffer*>(&box), &box.storedRecord);
}

TEST(BoxOnNetwork, AdapterNameCutTo9999Characters) {
    const TAnalyseBuffer reply = makeReply("1", "T");
    const std::string longName(12000, 'n');
    auto box = std::make_unique<CVelqorinBoxOnNetwork>(nullptr, &reply, longName.c_str());
    EXPECT_EQ(strnlen(box->adapterName, sizeof box->adapterName), 9999u);
}

TEST(BoxOnNetwork, LinksAfterItsPredecessorAndUnlinksOnDestruction) {
    const TAnalyseBuffer reply = makeReply("1", "T");
    auto* first = new CVelqorinBoxOnNetwork(nullptr, &reply, "a");
    auto* middle = new CVelqorinBoxOnNetwork(first, &reply, "a");
    auto* last = new CVelqorinBoxOnNetwork(middle, &reply, "a");
    EXPECT_EQ(first->next, middle);
    EXPECT_EQ(middle->prev, first);
    EXPECT_EQ(middle->next, last);
    EXPECT_EQ(last->prev, middle);
    EXPECT_EQ(last->next, nullptr);

    delete middle;
    EXPECT_EQ(first->next, last);
    EXPECT_EQ(last->prev, first);

    delete first;
    EXPECT_EQ(last->prev, nullptr);
    delete last;
}

TEST(BoxOnNetwork, InterfaceNameIsTheIdentifierOfTheDevice) {
    struct {
        const char* device;
        const char* identifier;
    } cases[] = {
        {"\\Device\\NPF_{4D36E972-E325}", "{4D36E972-E325}"},
        {"{4D36E972-E325}", "{4D36E972-E325}"},
        {"eth0", "eth0"},
        {"NPF_eth0", "eth0"},
        {"a\\b\\NPF_", ""},
        {"a\\b\\", ""},
        {"NPX_eth0", "NPX_eth0"},
        {"\\Device\\NPF_x\\eth2", "eth2"},
        {"", ""},
    };
    const TAnalyseBuffer reply = makeReply("1", "T");
    for (const auto& c : cases) {
        CVelqorinBoxOnNetwork box(nullptr, &reply, c.device);
        char out[CVelqorinBoxOnNetwork::kAdapterNameSize];
        std::memset(out, 'Z', sizeof out);
        EXPECT_EQ(box.getInterfaceName(out), out);
        EXPECT_STREQ(out, c.identifier) << c.device;
    }
}

TEST(BoxOnNetwork, MacOfTheLocalAdapterAndOfTheBox) {
    const TAnalyseBuffer reply = makeReply("1", "T");
    CVelqorinBoxOnNetwork box(nullptr, &reply, "eth0");
    unsigned char mac[8];
    std::memset(mac, 0xEE, sizeof mac);
    EXPECT_EQ(box.getMac(mac), mac);
    const unsigned char expected[8] = {0x02, 0x00, 0x00, 0xAA, 0x00, 0x01, 0, 0};
    EXPECT_EQ(std::memcmp(mac, expected, 8), 0);

    EXPECT_TRUE(box.hasMacAddr(velqorin::test::kBoxMac.data()));
    EXPECT_FALSE(box.hasMacAddr(velqorin::test::kAdapterMac.data()));
    auto other = velqorin::test::kBoxMac;
    other[5] ^= 0x01;
    EXPECT_FALSE(box.hasMacAddr(other.data()));
}

}  // namespace
