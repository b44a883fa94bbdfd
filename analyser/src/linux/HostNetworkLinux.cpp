// Host facts on Linux: getifaddrs for the point-to-point links, gethostname and
// resolv.conf for the host parameters, ioctls, /proc/net/route and lease files for the
// adapters' details.
#include <ifaddrs.h>
#include <linux/ethtool.h>
#include <linux/sockios.h>
#include <net/if.h>
#include <netinet/in.h>
#include <netpacket/packet.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "host/DhcpLeases.h"
#include "support/FileRead.h"
#include "support/Handles.h"
#include "host/HostNetwork.h"
#include "velqorin/Frame.h"

namespace velqorin {

namespace {

constexpr std::size_t kSmallFileLimit = 1u << 20;

std::optional<ifreq> requestFor(const std::string& name) {
    ifreq request{};
    if (name.empty() || name.size() >= sizeof request.ifr_name) return std::nullopt;
    std::memcpy(request.ifr_name, name.data(), name.size());
    return request;
}

// The driver's short name ("tun", "veth", "e1000e"); empty when it does not say.
std::string driverName(int fd, const std::string& name) {
    auto request = requestFor(name);
    if (!request || fd < 0) return {};
    ethtool_drvinfo info{};
    info.cmd = ETHTOOL_GDRVINFO;
    request->ifr_data = reinterpret_cast<char*>(&info);
    if (::ioctl(fd, SIOCETHTOOL, &*request) != 0) return {};
    return std::string(info.driver, strnlen(info.driver, sizeof info.driver));
}

std::optional<unsigned short> linkType(int fd, const std::string& name) {
    auto request = requestFor(name);
    if (!request || fd < 0 || ::ioctl(fd, SIOCGIFHWADDR, &*request) != 0) return std::nullopt;
    return request->ifr_hwaddr.sa_family;
}

std::array<std::uint8_t, 4> ipv4Bytes(const sockaddr* address) {
    std::array<std::uint8_t, 4> bytes{};
    sockaddr_in in{};
    std::memcpy(&in, address, sizeof in);
    std::memcpy(bytes.data(), &in.sin_addr, bytes.size());
    return bytes;
}

// The adapter's IPv4 addresses, dotted, its labelled ones ("eth0:1") included.
std::vector<std::string> ipv4AddressesOf(const std::string& name) {
    std::vector<std::string> addresses;
    ifaddrs* raw = nullptr;
    if (::getifaddrs(&raw) != 0) return addresses;
    const IfaddrsList list(raw);
    for (const ifaddrs* entry = list.get(); entry != nullptr; entry = entry->ifa_next) {
        if (entry->ifa_addr == nullptr || entry->ifa_name == nullptr ||
            entry->ifa_addr->sa_family != AF_INET)
            continue;
        const std::string_view label(entry->ifa_name);
        if (label != name && !(label.starts_with(name) && label.size() > name.size() &&
                               label[name.size()] == ':'))
            continue;
        const auto bytes = ipv4Bytes(entry->ifa_addr);
        addresses.push_back(ipText(bytes.data()));
    }
    return addresses;
}

bool isIpv4(const sockaddr* address) {
    return address != nullptr && address->sa_family == AF_INET;
}

class LinuxHostNetwork final : public HostNetwork {
public:
    explicit LinuxHostNetwork(std::optional<std::filesystem::path> root) : root_(std::move(root)) {}

    std::optional<std::vector<PointToPointLink>> pointToPointLinks() const override {
        ifaddrs* raw = nullptr;
        if (::getifaddrs(&raw) != 0) return std::nullopt;
        const IfaddrsList list(raw);

        struct Entry {
            unsigned index;
            PointToPointLink link;
        };
        std::vector<Entry> entries;
        const UniqueFd s(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
        for (const ifaddrs* e = list.get(); e != nullptr; e = e->ifa_next) {
            if (e->ifa_name == nullptr || !isIpv4(e->ifa_addr)) continue;
            // Running, not only up: a link whose far end is gone carries nothing.
            constexpr unsigned kActive = IFF_UP | IFF_RUNNING | IFF_POINTOPOINT;
            if ((e->ifa_flags & kActive) != kActive || !isIpv4(e->ifa_dstaddr)) continue;
            const std::string name = e->ifa_name;
            // One link per interface, with its first address.
            if (std::any_of(entries.begin(), entries.end(),
                            [&](const Entry& x) { return x.link.name == name; }))
                continue;
            PointToPointLink link;
            link.name = name;
            link.local = ipv4Bytes(e->ifa_addr);
            link.remote = ipv4Bytes(e->ifa_dstaddr);
            // Without a peer of its own the "peer" is the local address again.
            if (link.remote == link.local || link.remote == std::array<std::uint8_t, 4>{})
                continue;
            const auto type = linkType(s.get(), name);
            link.deviceType = type ? linkTypeName(*type) : "unknown";
            link.device = driverName(s.get(), name);
            if (link.device.empty()) link.device = name;
            entries.push_back({::if_nametoindex(name.c_str()), std::move(link)});
        }
        std::stable_sort(entries.begin(), entries.end(),
                         [](const Entry& a, const Entry& b) { return a.index < b.index; });
        std::vector<PointToPointLink> links;
        links.reserve(entries.size());
        for (Entry& e : entries) links.push_back(std::move(e.link));
        return links;
    }

    HostParams hostParams() const override {
        HostParams params;
        char host[HOST_NAME_MAX + 1] = {};
        if (::gethostname(host, sizeof host - 1) != 0) {
            params.error = errno;
            return params;
        }
        params.hostName = host;
        const auto text = readFileBounded(root() / "etc/resolv.conf", kSmallFileLimit);
        ResolverSettings resolver = parseResolvConf(text.value_or(std::string()));
        params.domainName = std::move(resolver.domain);
        params.dnsServers = std::move(resolver.nameservers);
        if (params.domainName.empty()) {
            char domain[256] = {};
            // "(none)" is how the kernel says that no domain was ever set.
            if (::getdomainname(domain, sizeof domain - 1) == 0 &&
                std::string_view(domain) != "(none)")
                params.domainName = domain;
        }
        return params;
    }

    AdapterDetails adapterDetails(const std::string& name) const override {
        AdapterDetails details;
        const UniqueFd s(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
        details.description = driverName(s.get(), name);
        if (details.description.empty()) {
            if (const auto type = linkType(s.get(), name)) details.description = linkTypeName(*type);
        }

        const auto routes = parseDefaultRoutes(
            readFileBounded(routeTable(), kSmallFileLimit).value_or(std::string()));
        const DefaultRoute* best = nullptr;
        for (const DefaultRoute& r : routes)
            if (r.interface == name && (best == nullptr || r.metric < best->metric)) best = &r;
        if (best != nullptr) details.gateway = best->gateway;

        const Lease lease = findCurrentLease(leaseRoot(), name, ::if_nametoindex(name.c_str()),
                                             ipv4AddressesOf(name),
                                             static_cast<std::int64_t>(std::time(nullptr)));
        struct stat st {};
        if (lease.namesAdapter && !lease.file.empty() && ::stat(lease.file.c_str(), &st) == 0)
            details.leaseObtained = st.st_mtime;
        return details;
    }

private:
    std::filesystem::path root() const { return root_.value_or(std::filesystem::path("/")); }

    // /proc/net shows the namespace of the process's main thread; the calling thread may
    // have entered another one.
    std::filesystem::path routeTable() const {
        return root_ ? *root_ / "proc/net/route" : std::filesystem::path("/proc/thread-self/net/route");
    }

    std::filesystem::path leaseRoot() const {
        return root_ ? *root_ : leaseRootFromEnvironment();
    }

    std::optional<std::filesystem::path> root_;
};

}  // namespace

const HostNetwork& systemHostNetwork() {
    static const LinuxHostNetwork system(std::nullopt);
    return system;
}

std::unique_ptr<HostNetwork> makeSystemHostNetwork(std::filesystem::path root) {
    return std::make_unique<LinuxHostNetwork>(std::move(root));
}

}  // namespace velqorin
