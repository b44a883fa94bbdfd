#include "reports/Reports.h"

#include <cstdio>
#include <exception>

#include "support/Mac.h"

namespace velqorin {

namespace {

CVelqorinNetworkAnalyse::ReportSink sink = nullptr;
void* sinkContext = nullptr;

std::string dotted(const std::optional<std::array<std::uint8_t, 4>>& address) {
    return address ? ipText(address->data()) : "0.0.0.0";
}

void printReport(const char* title, const std::string& text) {
    std::fputs(title, stdout);
    std::fputc('\n', stdout);
    std::fwrite(text.data(), 1, text.size(), stdout);
    if (!text.empty() && text.back() != '\n') std::fputc('\n', stdout);
    std::fflush(stdout);
}

// Builds a report and shows it; a report that cannot be built (no memory) is not shown.
template <typename Build>
void runReport(const char* title, Build build) {
    try {
        showReport(title, build());
    } catch (const std::exception&) {
    }
}

}  // namespace

Report hostParamsReport(const HostParams& params) {
    Report report;
    if (params.error != 0) {
        char code[9];
        std::snprintf(code, sizeof code, "%08x", static_cast<unsigned>(params.error));
        report.text = std::string("Call to GetNetworkParams failed. Return Value: ") + code + "\n";
        return report;
    }
    std::string& t = report.text;
    t += "  - Host Name: " + params.hostName + "\n";
    t += "  - Domain Name: " + params.domainName + "\n";
    // The first server line is there even when no server is known.
    t += "  - DNS Servers:\n    > " +
         (params.dnsServers.empty() ? std::string() : params.dnsServers.front()) + "\n";
    for (std::size_t i = 1; i < params.dnsServers.size(); ++i)
        t += "    > " + params.dnsServers[i] + "\n";
    return report;
}

Report adaptersReport(const std::optional<std::vector<AdapterFacts>>& adapters) {
    Report report;
    if (!adapters) {
        report.text = "Call to GetAdaptersInfo failed.__\n";
        return report;
    }
    std::string& t = report.text;
    for (const AdapterFacts& facts : *adapters) {
        const Adapter& a = facts.adapter;
        const std::uint64_t macNumber = macKey(a.mac.data());
        std::optional<std::array<std::uint8_t, 4>> ip, mask;
        if (!a.ipv4.empty()) {
            ip = a.ipv4.front().address;
            mask = a.ipv4.front().mask;
        }
        t += "Adapter Name: " + a.name + "__\n";
        t += "Adapter Desc: " + facts.details.description + "__\n";
        t += "Adapter Addr: " + std::to_string(macNumber) + "__\n";
        t += "IP Address: " + dotted(ip) + "__\n";
        t += "IP Mask: " + dotted(mask) + "__\n";
        t += "Gateway: " + dotted(facts.details.gateway) + "__\n";
        if (a.dhcp.value_or(false)) {
            // The server text comes from a lease file: shown only when it is an address.
            const std::string server =
                usableServerAddress(a.dhcpServer) ? a.dhcpServer : std::string("0.0.0.0");
            t += "DHCP Enabled: Yes__\n";
            t += "DHCP Server: " + server + "__\n";
            t += "Lease Obtained: " +
                 std::to_string(static_cast<long>(facts.details.leaseObtained.value_or(0))) +
                 "__\n";
        } else {
            t += "DHCP Enabled: No__\n";
        }
        // Linux has no WINS client of its own.
        t += "Have Wins: No__\n\n";
    }
    return report;
}

Report dialUpReport(const std::optional<std::vector<PointToPointLink>>& links) {
    Report report;
    if (!links) {
        report.text = "Erreur fonction RasEnumConnections().";
        report.icon = CVelqorinNetworkAnalyse::ReportError;
        return report;
    }
    std::string& t = report.text;
    const std::string count = std::to_string(links->size());
    for (std::size_t i = 0; i < links->size(); ++i) {
        const PointToPointLink& link = (*links)[i];
        t += "Connexion n\u00b0 " + std::to_string(i + 1) + " sur " + count + "\n\n";
        t += "  - Nom : " + link.name + "\n";
        t += "  - Type : " + link.deviceType;  // the device follows on the same line
        t += "  - Device : " + link.device + "\n";
        t += "  - IP Locale : " + ipText(link.local.data()) + "\n";
        t += "  - IP Distante : " + ipText(link.remote.data()) + "\n\n";
    }
    if (links->empty()) {
        t += "Pas de connexion active !";
        report.icon = CVelqorinNetworkAnalyse::ReportWarning;
    }
    return report;
}

void showReport(const char* title, const Report& report) {
    if (sink != nullptr)
        sink(sinkContext, title, report.text.c_str(), report.icon);
    else
        printReport(title, report.text);
}

}  // namespace velqorin

using namespace velqorin;

void CVelqorinNetworkAnalyse::SetReportSink(ReportSink newSink, void* context) {
    sink = newSink;
    sinkContext = context;
}

void CVelqorinNetworkAnalyse::NetworkTest1() {
    runReport("__NetworkTest1()__", [] { return hostParamsReport(hostNetwork().hostParams()); });
}

void CVelqorinNetworkAnalyse::NetworkTest2() {
    runReport("__NetworkTest2()__", [] {
        std::optional<std::vector<AdapterFacts>> facts;
        if (auto table = platform().adapters()) {
            facts.emplace();
            for (Adapter& a : *table) {
                AdapterDetails details = hostNetwork().adapterDetails(a.name);
                facts->push_back({std::move(a), std::move(details)});
            }
        }
        return adaptersReport(facts);
    });
}

void CVelqorinNetworkAnalyse::NetworkTest3() {
    runReport("__NetworkTest3()__", [] { return dialUpReport(hostNetwork().pointToPointLinks()); });
}
