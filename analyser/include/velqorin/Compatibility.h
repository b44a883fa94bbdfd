// Whether new network settings for a box fit the workstation interface it was found on.
// The configuration dialog and the command-line tool judge with this one function.
#pragma once

#include <cstdint>
#include <cstring>
#include <optional>

#include "velqorin/NetworkInterface.h"

namespace velqorin {

enum class Verdict {
    Compatible = 0,           // and the DHCP choice matches the workstation's
    CompatibleUseDhcp = 1,    // the workstation uses DHCP, the box would be fixed
    CompatibleUseFixed = 2,   // the workstation is fixed, the box would use DHCP
    Incompatible = 3,         // not in any of the workstation's subnets
    WorkstationAddress = 4,   // the workstation's own address
};

// A 4-byte address (first octet first) as a 32-bit value, first octet highest.
constexpr std::uint32_t ipValue(const std::uint8_t* ip) {
    return std::uint32_t{ip[0]} << 24 | std::uint32_t{ip[1]} << 16 | std::uint32_t{ip[2]} << 8 |
           std::uint32_t{ip[3]};
}

// `address` and `mask` are the new settings (4 bytes each), `dhcp` the new mode. The new
// address must lie in the subnet of one of the interface's addresses under both that
// address's mask and the new mask.
inline Verdict compatibilityVerdict(const CVelqorinNetworkInterface& local,
                                    const std::uint8_t* address, const std::uint8_t* mask,
                                    bool dhcp) {
    const std::uint32_t t = ipValue(address);
    const std::uint32_t m = ipValue(mask);
    bool found = false;
    bool own = false;
    for (int i = 0; i < local.getCountIpAddresses(); ++i) {
        sockaddr_storage a{}, k{};
        local.getIpAddress(i, &a, &k);
        const std::uint32_t av = ipValue(reinterpret_cast<const std::uint8_t*>(&a) + 4);
        const std::uint32_t kv = ipValue(reinterpret_cast<const std::uint8_t*>(&k) + 4);
        if (av == t) own = true;
        if (!found && (av & kv) == (t & kv) && (av & m) == (t & m)) found = true;
    }
    bool localDhcp = false, serverKnown = false;
    local.getDhcp(&localDhcp, &serverKnown);
    if (own) return Verdict::WorkstationAddress;
    if (found && dhcp == localDhcp) return Verdict::Compatible;
    if (found && localDhcp) return Verdict::CompatibleUseDhcp;
    if (found) return Verdict::CompatibleUseFixed;
    return Verdict::Incompatible;
}

}  // namespace velqorin
