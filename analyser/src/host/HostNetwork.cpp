#include "host/HostNetwork.h"

#include <net/if_arp.h>

#include <atomic>
#include <cstring>

namespace velqorin {

namespace {

std::atomic<const HostNetwork*> replacement{nullptr};

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f'; }

std::vector<std::string_view> words(std::string_view line) {
    std::vector<std::string_view> out;
    std::size_t at = 0;
    while (at < line.size()) {
        while (at < line.size() && isBlank(line[at])) ++at;
        const std::size_t start = at;
        while (at < line.size() && !isBlank(line[at])) ++at;
        if (at > start) out.push_back(line.substr(start, at - start));
    }
    return out;
}

template <typename Each>
void forEachLine(std::string_view text, Each each) {
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        each(text.substr(0, end));
        if (end == std::string_view::npos) break;
        text.remove_prefix(end + 1);
    }
}

// An unsigned hexadecimal field of /proc/net/route: up to 8 digits, nothing else.
std::optional<std::uint32_t> hex32(std::string_view field) {
    if (field.empty() || field.size() > 8) return std::nullopt;
    std::uint32_t value = 0;
    for (char c : field) {
        unsigned digit;
        if (c >= '0' && c <= '9')
            digit = static_cast<unsigned>(c - '0');
        else if (c >= 'a' && c <= 'f')
            digit = static_cast<unsigned>(c - 'a' + 10);
        else if (c >= 'A' && c <= 'F')
            digit = static_cast<unsigned>(c - 'A' + 10);
        else
            return std::nullopt;
        value = (value << 4) | digit;
    }
    return value;
}

std::optional<unsigned> decimal(std::string_view field) {
    if (field.empty() || field.size() > 9) return std::nullopt;
    unsigned value = 0;
    for (char c : field) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + static_cast<unsigned>(c - '0');
    }
    return value;
}

}  // namespace

const HostNetwork& hostNetwork() {
    const HostNetwork* h = replacement.load();
    return h != nullptr ? *h : systemHostNetwork();
}

ScopedHostNetwork::ScopedHostNetwork(const HostNetwork& h) : previous_(replacement.exchange(&h)) {}

ScopedHostNetwork::~ScopedHostNetwork() { replacement.store(previous_); }

ResolverSettings parseResolvConf(std::string_view text) {
    ResolverSettings settings;
    forEachLine(text, [&](std::string_view line) {
        const auto w = words(line);
        if (w.empty() || w[0].front() == '#' || w[0].front() == ';') return;
        if (w[0] == "nameserver" && w.size() >= 2) {
            settings.nameservers.emplace_back(w[1]);
        } else if ((w[0] == "domain" || w[0] == "search") && w.size() >= 2) {
            // The resolver keeps whichever of the two comes last.
            settings.domain = std::string(w[1]);
        }
    });
    return settings;
}

std::vector<DefaultRoute> parseDefaultRoutes(std::string_view text) {
    constexpr unsigned kRouteUp = 0x1, kRouteGateway = 0x2;
    std::vector<DefaultRoute> routes;
    bool header = true;
    forEachLine(text, [&](std::string_view line) {
        if (header) {  // "Iface Destination Gateway Flags RefCnt Use Metric Mask ..."
            header = false;
            return;
        }
        const auto w = words(line);
        if (w.size() < 8) return;
        const auto destination = hex32(w[1]);
        const auto gateway = hex32(w[2]);
        const auto flags = hex32(w[3]);
        const auto metric = decimal(w[6]);
        const auto mask = hex32(w[7]);
        if (!destination || !gateway || !flags || !metric || !mask) return;
        if (*destination != 0 || *mask != 0 || (*flags & kRouteUp) == 0 ||
            (*flags & kRouteGateway) == 0)
            return;
        DefaultRoute route{std::string(w[0]), {}, *metric};
        // The kernel prints the address as the host's integer of its network-order bytes.
        std::memcpy(route.gateway.data(), &*gateway, route.gateway.size());
        routes.push_back(std::move(route));
    });
    return routes;
}

std::string linkTypeName(unsigned short type) {
    switch (type) {
        case ARPHRD_ETHER: return "ether";
        case ARPHRD_PPP: return "ppp";
        case ARPHRD_NONE: return "none";
        case ARPHRD_VOID: return "void";
        case ARPHRD_SLIP: return "slip";
        case ARPHRD_CSLIP: return "cslip";
        case ARPHRD_RAWIP: return "rawip";
        case ARPHRD_TUNNEL: return "ipip";
        case ARPHRD_TUNNEL6: return "tunnel6";
        case ARPHRD_SIT: return "sit";
        case ARPHRD_IPGRE: return "gre";
        case ARPHRD_LOOPBACK: return "loopback";
        case ARPHRD_INFINIBAND: return "infiniband";
        case ARPHRD_IEEE80211: return "ieee802.11";
        case ARPHRD_CISCO: return "hdlc";
        default: return "type " + std::to_string(type);
    }
}

}  // namespace velqorin
