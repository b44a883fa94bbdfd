// The diagnostic reports from fixture data, character for character, and the sink.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "FakeHostNetwork.h"
#include "FakePlatform.h"
#include "reports/Reports.h"

using namespace velqorin;
using namespace velqorin::test;

namespace {

using Analyser = CVelqorinNetworkAnalyse;

TEST(HostParamsReport, OneDnsServer) {
    HostParams p{0, "atelier-07", "example.net", {"192.0.2.53"}};
    const Report r = hostParamsReport(p);
    EXPECT_EQ(r.text,
              "  - Host Name: atelier-07\n"
              "  - Domain Name: example.net\n"
              "  - DNS Servers:\n"
              "    > 192.0.2.53\n");
    EXPECT_EQ(r.icon, Analyser::ReportInformation);
}

TEST(HostParamsReport, EveryDnsServerInOrderAndNoneStillHasItsLine) {
    HostParams p{0, "h", "", {"192.0.2.53", "198.51.100.53", "203.0.113.53"}};
    EXPECT_EQ(hostParamsReport(p).text,
              "  - Host Name: h\n  - Domain Name: \n  - DNS Servers:\n"
              "    > 192.0.2.53\n    > 198.51.100.53\n    > 203.0.113.53\n");
    p.dnsServers.clear();
    EXPECT_EQ(hostParamsReport(p).text, "  - Host Name: h\n  - Domain Name: \n  - DNS Servers:\n    > \n");
}

TEST(HostParamsReport, AFailureNamesItsCodeInEightHexDigits) {
    HostParams p;
    p.error = 0x16;
    p.hostName = "not shown";
    EXPECT_EQ(hostParamsReport(p).text, "Call to GetNetworkParams failed. Return Value: 00000016\n");
}

AdapterFacts facts(std::string name, std::array<std::uint8_t, 6> mac, std::vector<Ipv4Pair> ipv4,
                   bool dhcp, std::string server, AdapterDetails details) {
    return {adapter(std::move(name), mac, std::move(ipv4), dhcp, std::move(server)),
            std::move(details)};
}

TEST(AdaptersReport, AnAdapterWithoutDhcpOrWinsEndsWithAnEmptyLine) {
    const auto eth0 = facts("eth0", {0x02, 0, 0, 0, 0, 0x01},
                            {{{192, 0, 2, 10}, {255, 255, 255, 0}}, {{192, 0, 2, 11}, {255, 255, 0, 0}}},
                            false, "", {"e1000e", std::array<std::uint8_t, 4>{192, 0, 2, 1}, 1700000000});
    EXPECT_EQ(adaptersReport(std::vector{eth0}).text,
              "Adapter Name: eth0__\n"
              "Adapter Desc: e1000e__\n"
              "Adapter Addr: 2199023255553__\n"  // 02:00:00:00:00:01 as one number
              "IP Address: 192.0.2.10__\n"
              "IP Mask: 255.255.255.0__\n"
              "Gateway: 192.0.2.1__\n"
              "DHCP Enabled: No__\n"
              "Have Wins: No__\n\n");
}

TEST(AdaptersReport, DhcpAdaptersShowServerAndLeaseAndMissingValuesReadZero) {
    const std::vector<AdapterFacts> list{
        facts("wlan0", {0, 0, 0, 0, 0, 0}, {}, true, "192.0.2.254", {"", std::nullopt, 1700000000}),
        // A server text from a lease file that is no address is not repeated.
        facts("eth1", {0, 0, 0, 0, 1, 0}, {{{198, 51, 100, 7}, {255, 255, 255, 128}}}, true,
              "evil\n\"text", {"veth", std::nullopt, std::nullopt})};
    EXPECT_EQ(adaptersReport(list).text,
              "Adapter Name: wlan0__\nAdapter Desc: __\nAdapter Addr: 0__\n"
              "IP Address: 0.0.0.0__\nIP Mask: 0.0.0.0__\nGateway: 0.0.0.0__\n"
              "DHCP Enabled: Yes__\nDHCP Server: 192.0.2.254__\nLease Obtained: 1700000000__\n"
              "Have Wins: No__\n\n"
              "Adapter Name: eth1__\nAdapter Desc: veth__\nAdapter Addr: 256__\n"
              "IP Address: 198.51.100.7__\nIP Mask: 255.255.255.128__\nGateway: 0.0.0.0__\n"
              "DHCP Enabled: Yes__\nDHCP Server: 0.0.0.0__\nLease Obtained: 0__\n"
              "Have Wins: No__\n\n");
}

TEST(AdaptersReport, ATableThatCannotBeReadIsOneLine) {
    EXPECT_EQ(adaptersReport(std::nullopt).text, "Call to GetAdaptersInfo failed.__\n");
    EXPECT_EQ(adaptersReport(std::vector<AdapterFacts>{}).text, "");
}

TEST(AdaptersReport, ALongReportIsNotCut) {
    std::vector<AdapterFacts> list;
    for (int i = 0; i < 60; ++i)
        list.push_back(facts("veth" + std::to_string(i), {2, 0, 0, 0, 0, static_cast<std::uint8_t>(i)},
                             {}, false, "", {"veth", std::nullopt, std::nullopt}));
    const std::string text = adaptersReport(list).text;
    EXPECT_GT(text.size(), 4096u);
    EXPECT_NE(text.find("Adapter Name: veth59__\n"), std::string::npos);
    EXPECT_TRUE(text.ends_with("Have Wins: No__\n\n"));
}

TEST(DialUpReport, NoConnectionIsAWarning) {
    const Report r = dialUpReport(std::vector<PointToPointLink>{});
    EXPECT_EQ(r.text, "Pas de connexion active !");
    EXPECT_EQ(r.icon, Analyser::ReportWarning);
}

TEST(DialUpReport, ListingFailureIsAnErrorAndTheOnlyLine) {
    const Report r = dialUpReport(std::nullopt);
    EXPECT_EQ(r.text, "Erreur fonction RasEnumConnections().");
    EXPECT_EQ(r.icon, Analyser::ReportError);
}

TEST(DialUpReport, OneConnectionWithTypeAndDeviceOnOneLine) {
    const Report r = dialUpReport(std::vector{pppLink("ppp0", {10, 64, 64, 64}, {10, 0, 0, 1})});
    EXPECT_EQ(r.text,
              "Connexion n\u00b0 1 sur 1\n\n"
              "  - Nom : ppp0\n"
              "  - Type : ppp  - Device : ppp_generic\n"
              "  - IP Locale : 10.64.64.64\n"
              "  - IP Distante : 10.0.0.1\n\n");
    EXPECT_EQ(r.icon, Analyser::ReportInformation);
}

TEST(DialUpReport, EveryConnectionIsNumberedOutOfTheCount) {
    const Report r = dialUpReport(std::vector{pppLink("ppp0", {192, 0, 2, 1}, {192, 0, 2, 2}),
                                              pppLink("ppp1", {192, 0, 2, 5}, {192, 0, 2, 6})});
    EXPECT_NE(r.text.find("Connexion n\u00b0 1 sur 2\n\n  - Nom : ppp0\n"), std::string::npos);
    EXPECT_NE(r.text.find("Connexion n\u00b0 2 sur 2\n\n  - Nom : ppp1\n"), std::string::npos);
    EXPECT_LT(r.text.find("ppp0"), r.text.find("ppp1"));
    EXPECT_EQ(r.icon, Analyser::ReportInformation);
}

struct Shown {
    std::string title;
    std::string text;
    Analyser::ReportIcon icon;
};

struct ReportSinkFixture : ::testing::Test {
    FakePlatform table;
    ScopedPlatform usingTable{table};
    FakeHostNetwork host;
    ScopedHostNetwork usingHost{host};
    std::vector<Shown> shown;

    static void record(void* self, const char* title, const char* text, Analyser::ReportIcon icon) {
        static_cast<ReportSinkFixture*>(self)->shown.push_back({title, text, icon});
    }
    void SetUp() override { Analyser::SetReportSink(&record, this); }
    void TearDown() override { Analyser::SetReportSink(nullptr, nullptr); }
};

TEST_F(ReportSinkFixture, EachTestShowsOneReportWithItsTitle) {
    host.params = {0, "ws", "lab.example", {"192.0.2.53"}};
    table.table = {adapter("eth0", {2, 0, 0, 0, 0, 1})};
    host.details["eth0"] = {"veth", std::nullopt, std::nullopt};
    host.links = std::vector{pppLink("ppp0", {192, 0, 2, 1}, {192, 0, 2, 2})};
    Analyser a;
    a.NetworkTest1();
    a.NetworkTest2();
    a.NetworkTest3();
    ASSERT_EQ(shown.size(), 3u);
    EXPECT_EQ(shown[0].title, "__NetworkTest1()__");
    EXPECT_EQ(shown[0].text, hostParamsReport(host.params).text);
    EXPECT_EQ(shown[1].title, "__NetworkTest2()__");
    EXPECT_TRUE(shown[1].text.starts_with("Adapter Name: eth0__\nAdapter Desc: veth__\n"));
    EXPECT_EQ(shown[2].title, "__NetworkTest3()__");
    EXPECT_TRUE(shown[2].text.starts_with("Connexion n\u00b0 1 sur 1\n"));
    for (const Shown& s : shown) EXPECT_EQ(s.icon, Analyser::ReportInformation) << s.title;
}

TEST_F(ReportSinkFixture, TheIconFollowsTheLinks) {
    Analyser a;
    host.links = std::vector<PointToPointLink>{};
    a.NetworkTest3();
    host.links.reset();
    a.NetworkTest3();
    table.table.reset();
    a.NetworkTest2();
    ASSERT_EQ(shown.size(), 3u);
    EXPECT_EQ(shown[0].icon, Analyser::ReportWarning);
    EXPECT_EQ(shown[1].icon, Analyser::ReportError);
    EXPECT_EQ(shown[2].text, "Call to GetAdaptersInfo failed.__\n");
}

TEST_F(ReportSinkFixture, WithoutASinkTheTitleAndTheTextGoToStandardOutput) {
    Analyser::SetReportSink(nullptr, nullptr);
    Analyser a;
    ::testing::internal::CaptureStdout();
    a.NetworkTest3();
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "__NetworkTest3()__\nPas de connexion active !\n");
    EXPECT_TRUE(shown.empty());
}

}  // namespace
