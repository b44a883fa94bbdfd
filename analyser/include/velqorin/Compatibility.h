// Whether new network settings for a box fit the workstation interface it was found on.
// The configuration dialog and the command-line tool judge with this one function.
#pragma once

#include <cstdint>
#include <cstring>
#include <optional>

#include "velqorin/Address.h"
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

// One address of an interface and its mask, as ipValue gives them.
struct AddressPair {
    std::uint32_t address = 0;
    std::uint32_t mask = 0;
};

inline AddressPair interfacePair(const CVelqorinNetworkInterface& local, int index) {
    sockaddr_storage a{}, k{};
    local.getIpAddress(index, &a, &k);
    return {ipValue(blockAddress(a)), ipValue(blockAddress(k))};
}

// Whether `address` is one of the interface's own addresses.
inline bool isInterfaceAddress(const CVelqorinNetworkInterface& local, std::uint32_t address) {
    for (int i = 0; i < local.getCountIpAddresses(); ++i)
        if (interfacePair(local, i).address == address) return true;
    return false;
}

// Whether `address` lies in the subnet of one of the interface's addresses under both that
// address's mask and `mask`: only then do the workstation and a device on `address` with
// `mask` each take the other for a neighbour on the link.
inline bool inInterfaceSubnet(const CVelqorinNetworkInterface& local, std::uint32_t address,
                              std::uint32_t mask) {
    for (int i = 0; i < local.getCountIpAddresses(); ++i) {
        const AddressPair p = interfacePair(local, i);
        if ((p.address & p.mask) == (address & p.mask) && (p.address & mask) == (address & mask))
            return true;
    }
    return false;
}

// `address` and `mask` are the new settings (4 bytes each), `dhcp` the new mode.
inline Verdict compatibilityVerdict(const CVelqorinNetworkInterface& local,
                                    const std::uint8_t* address, const std::uint8_t* mask,
                                    bool dhcp) {
    const std::uint32_t t = ipValue(address);
    const bool found = inInterfaceSubnet(local, t, ipValue(mask));
    bool localDhcp = false, serverKnown = false;
    local.getDhcp(&localDhcp, &serverKnown);
    if (isInterfaceAddress(local, t)) return Verdict::WorkstationAddress;
    if (found && dhcp == localDhcp) return Verdict::Compatible;
    if (found && localDhcp) return Verdict::CompatibleUseDhcp;
    if (found) return Verdict::CompatibleUseFixed;
    return Verdict::Incompatible;
}

}  // namespace velqorin
