#include "link/Ping.h"

#include "link/Link.h"
#include "linux/HelperLink.h"
#include "linux/IcmpEcho.h"

namespace velqorin {

// The unprivileged datagram socket where net.ipv4.ping_group_range lets the user in
// (systemd desktops do; Debian's default refuses even root), else a raw one with
// CAP_NET_RAW, else the link helper's.

bool pingOnce(const std::uint8_t (&address)[4]) {
    if (const Echo echo = icmpEcho(address, EchoSocket::Datagram); echo != Echo::NoSocket)
        return echo == Echo::Answered;
    if (hasRawAccess()) return icmpEcho(address, EchoSocket::Raw) == Echo::Answered;
    return processHelperLink().ping(address).value_or(false);
}

std::vector<bool> pingAll(const std::vector<Ipv4Bytes>& addresses) {
    if (auto answered = icmpEchoAll(addresses, EchoSocket::Datagram)) return *answered;
    if (hasRawAccess()) {
        if (auto answered = icmpEchoAll(addresses, EchoSocket::Raw)) return *answered;
        return std::vector<bool>(addresses.size(), false);
    }
    if (auto answered = processHelperLink().pingAll(addresses)) return *answered;
    return std::vector<bool>(addresses.size(), false);
}

}  // namespace velqorin
