// Links the shared library only: everything used here must be exported by it.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <unistd.h>

#include <sched.h>

#include <cstring>
#include <string>
#include <thread>

#include "velqorin/NetworkAnalyse.h"

namespace {

TEST(SharedLibrary, ClassesWorkThroughTheExportedInterface) {
    auto* analyser = new CVelqorinNetworkAnalyse;
    EXPECT_EQ(std::strlen(analyser->analyserToken), 27u);

    TAnalyseBuffer reply;
    velqorin::buildDiscoveryRequest(reply, analyser->analyserToken);
    reply.frameKind = static_cast<std::uint8_t>(velqorin::FrameKind::DiscoveryReply);
    velqorin::setFieldText(reply.serialNumber, "2555");
    const unsigned char adapterMac[8] = {0x02, 0, 0, 0xAA, 0, 0x01, 0, 0};
    std::memcpy(reply.destinationMac, adapterMac, 6);
    reply.sourceMac[0] = 0x10;

    EXPECT_EQ(analyser->AddBox(&reply, "eth0"), 1);
    EXPECT_EQ(analyser->AddBox(&reply, "eth0"), 1);
    EXPECT_EQ(analyser->CountBox(), 1);

    analyser->firstInterface = new CVelqorinNetworkInterface(nullptr, "eth0", adapterMac);
    analyser->interfaceCount = 1;
    sockaddr_storage address{}, mask{};
    reinterpret_cast<sockaddr_in*>(&address)->sin_addr.s_addr = inet_addr("192.0.2.1");
    EXPECT_TRUE(analyser->firstInterface->addIpAddress(address, mask));

    unsigned char mac[8];
    CVelqorinNetworkInterface* rec = analyser->getNetworkInterface(analyser->firstBox->getMac(mac));
    ASSERT_NE(rec, nullptr);
    EXPECT_EQ(rec->getCountIpAddresses(), 1);
    char name[10000];
    EXPECT_STREQ(analyser->firstBox->getInterfaceName(name), "eth0");
    EXPECT_TRUE(analyser->firstBox->hasMacAddr(reply.sourceMac));

    EXPECT_EQ(analyser->deleteNetworkInterface(rec), 0);
    EXPECT_EQ(analyser->Delete(analyser->firstBox), 0);
    delete analyser;
}

TEST(SharedLibrary, InventoryAndStartupChecksAreExported) {
    CVelqorinNetworkAnalyse analyser;
    EXPECT_TRUE(analyser.CheckVersion());
    const bool rawAllowed = analyser.CheckService();
    if (::geteuid() == 0) {
        EXPECT_TRUE(rawAllowed);
    }
    char version[1000];
    std::memset(version, 'Z', sizeof version);
    analyser.GetDistribVersion(version);
    EXPECT_NE(std::memchr(version, '\0', 999), nullptr);

    analyser.getIps();
    int count = 0;
    for (auto* rec = analyser.firstInterface; rec != nullptr; rec = rec->next) {
        ++count;
        bool dhcp = !rec->dhcp, server = !rec->dhcpServer;
        // getReg answers only when the DHCP state is known, and then as the record does.
        if (analyser.getReg(rec->name, &dhcp, &server)) {
            EXPECT_EQ(dhcp, rec->dhcp) << rec->name;
            EXPECT_EQ(server, rec->dhcpServer) << rec->name;
        }
        EXPECT_STRNE(rec->name, "lo");
    }
    EXPECT_EQ(count, analyser.CountNetworkInterfaces());
}

struct ReportsSeen {
    std::string titles;
};

TEST(SharedLibrary, ReportsGoToTheInstalledSink) {
    ReportsSeen seen;
    CVelqorinNetworkAnalyse::SetReportSink(
        [](void* context, const char* title, const char*, CVelqorinNetworkAnalyse::ReportIcon) {
            static_cast<ReportsSeen*>(context)->titles += title;
        },
        &seen);
    CVelqorinNetworkAnalyse analyser;
    analyser.NetworkTest1();
    analyser.NetworkTest2();
    analyser.NetworkTest3();
    CVelqorinNetworkAnalyse::SetReportSink(nullptr, nullptr);
    EXPECT_EQ(seen.titles, "__NetworkTest1()____NetworkTest2()____NetworkTest3()__");
}

TEST(SharedLibrary, DialUpPassIsExported) {
    CVelqorinNetworkAnalyse analyser;
    // Text that is no address asks no one.
    EXPECT_TRUE(CVelqorinNetworkAnalyse::RecupVelqorinInfo(&analyser, "no address"));
    EXPECT_EQ(analyser.CountBox(), 0);
    if (::geteuid() != 0) GTEST_SKIP() << "needs root for a network namespace of its own";
    // In an empty namespace of its own, so that no real link of this machine is asked.
    bool isolated = false, listed = false;
    std::thread([&] {
        isolated = ::unshare(CLONE_NEWNET) == 0;
        if (isolated) listed = analyser.Analyse_Ras();
    }).join();
    if (!isolated) GTEST_SKIP() << "cannot create a network namespace";
    EXPECT_TRUE(listed);
    EXPECT_EQ(analyser.CountBox(), 0);
}

}  // namespace
