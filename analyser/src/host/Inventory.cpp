// The workstation's adapters as interface records, read through the platform seam.
#include <netinet/in.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <exception>

#include "model/AdapterName.h"
#include "host/Platform.h"
#include "velqorin/NetworkAnalyse.h"

namespace {

// The address block as the monitor reads it: a sockaddr_in in a zeroed sockaddr_storage.
sockaddr_storage addressBlock(const std::array<std::uint8_t, 4>& address) {
    sockaddr_in in{};
    in.sin_family = AF_INET;
    std::memcpy(&in.sin_addr, address.data(), address.size());
    sockaddr_storage block{};
    std::memcpy(&block, &in, sizeof in);
    return block;
}

bool isPlaceholder(const std::array<std::uint8_t, 4>& address) {
    const auto all = [&](std::uint8_t b) {
        return std::all_of(address.begin(), address.end(), [b](std::uint8_t x) { return x == b; });
    };
    return all(0x00) || all(0xFF);
}

struct DhcpFlags {
    bool dhcp;
    bool server;
};

DhcpFlags dhcpFlags(bool usesDhcp, const std::string& server) {
    return {usesDhcp, usesDhcp && velqorin::usableServerAddress(server)};
}

void reportTableUnreadable() { std::fputs("Call to GetAdaptersInfo failed.\n", stdout); }

}  // namespace

void CVelqorinNetworkAnalyse::getIps() {
    try {
        const auto table = velqorin::platform().adapters();
        if (!table) {
            reportTableUnreadable();
            return;
        }
        // Records chain after whatever the list already holds: starting a second chain
        // would leave it unreachable from firstInterface, and never freed.
        CVelqorinNetworkInterface* previous = firstInterface;
        while (previous != nullptr && previous->next != nullptr) previous = previous->next;

        for (const velqorin::Adapter& adapter : *table) {
            unsigned char mac[8] = {};
            std::memcpy(mac, adapter.mac.data(), adapter.mac.size());
            auto* rec = new CVelqorinNetworkInterface(previous, adapter.name.c_str(), mac);
            if (firstInterface == nullptr) firstInterface = rec;
            previous = rec;
            for (const velqorin::Ipv4Pair& pair : adapter.ipv4) {
                if (isPlaceholder(pair.address)) continue;
                rec->addIpAddress(addressBlock(pair.address), addressBlock(pair.mask));
            }
            const DhcpFlags flags = dhcpFlags(adapter.dhcp.value_or(false), adapter.dhcpServer);
            rec->setDhcp(flags.dhcp, flags.server);
            ++interfaceCount;
        }
    } catch (const std::exception&) {
        // Out of memory while reading the table; what was added stays consistent.
        reportTableUnreadable();
    }
}

bool CVelqorinNetworkAnalyse::getReg(const char* adapterName, bool* dhcp, bool* dhcpServer) {
    if (adapterName == nullptr) return false;
    try {
        const std::string_view id = velqorin::adapterIdentifier(
            {adapterName, strnlen(adapterName, CVelqorinBoxOnNetwork::kAdapterNameSize - 1)});
        const auto table = velqorin::platform().adapters();
        if (!table) return false;
        const auto adapter = std::find_if(table->begin(), table->end(),
                                          [&](const velqorin::Adapter& a) { return a.name == id; });
        if (adapter == table->end() || !adapter->dhcp) return false;
        const DhcpFlags flags = dhcpFlags(*adapter->dhcp, adapter->dhcpServer);
        if (dhcp != nullptr) *dhcp = flags.dhcp;
        if (dhcpServer != nullptr) *dhcpServer = flags.server;
        return true;
    } catch (const std::exception&) {
        return false;
    }
}
