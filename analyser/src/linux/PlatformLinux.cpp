// The adapter table and raw access on Linux: getifaddrs for adapters and addresses,
// rtnetlink for address lifetimes, DHCP clients' lease files for servers.
#include <ifaddrs.h>
#include <linux/if_addr.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <netinet/in.h>
#include <netpacket/packet.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <unordered_set>

#include "host/DhcpLeases.h"
#include "support/Handles.h"
#include "host/Platform.h"
#include "velqorin/Frame.h"

namespace velqorin {

namespace {

template <typename T>
T readStruct(const std::uint8_t* at) {
    T value;
    std::memcpy(&value, at, sizeof value);
    return value;
}

constexpr std::size_t align4(std::size_t n) { return (n + 3u) & ~std::size_t{3}; }

// True when the RTM_NEWADDR message in `payload` is an IPv4 address with a finite
// lifetime; its interface index goes to `index`.
bool isDynamicIpv4(const std::uint8_t* payload, std::size_t size, unsigned& index) {
    if (size < sizeof(ifaddrmsg)) return false;
    const auto message = readStruct<ifaddrmsg>(payload);
    if (message.ifa_family != AF_INET) return false;
    index = message.ifa_index;
    std::uint32_t flags = message.ifa_flags;
    // IFA_FLAGS carries the full 32 bits when the kernel sends it.
    for (std::size_t at = align4(sizeof(ifaddrmsg)); at + sizeof(rtattr) <= size;) {
        const auto attribute = readStruct<rtattr>(payload + at);
        if (attribute.rta_len < sizeof(rtattr) || at + attribute.rta_len > size) break;
        if (attribute.rta_type == IFA_FLAGS && attribute.rta_len >= sizeof(rtattr) + 4)
            flags = readStruct<std::uint32_t>(payload + at + sizeof(rtattr));
        at += align4(attribute.rta_len);
    }
    return (flags & IFA_F_PERMANENT) == 0;
}

enum class DumpResult { Done, Interrupted, Failed };

DumpResult dumpIpv4Addresses(std::unordered_set<unsigned>& dynamic) {
    const UniqueFd s(::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE));
    if (s.get() < 0) return DumpResult::Failed;
    // The kernel answers a dump at once; a silent socket must not hang the sweep.
    const timeval timeout{1, 0};
    if (::setsockopt(s.get(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout) != 0)
        return DumpResult::Failed;

    constexpr std::uint32_t kSequence = 1;
    struct {
        nlmsghdr header;
        ifaddrmsg message;
    } request{};
    request.header.nlmsg_len = sizeof request;
    request.header.nlmsg_type = RTM_GETADDR;
    request.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    request.header.nlmsg_seq = kSequence;
    request.message.ifa_family = AF_INET;
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    if (::sendto(s.get(), &request, sizeof request, 0, reinterpret_cast<sockaddr*>(&kernel),
                 sizeof kernel) < 0)
        return DumpResult::Failed;

    bool interrupted = false;
    alignas(nlmsghdr) std::uint8_t buffer[32768];
    for (;;) {
        const ssize_t received = ::recv(s.get(), buffer, sizeof buffer, 0);
        if (received < 0 && errno == EINTR) continue;
        if (received <= 0) return DumpResult::Failed;
        const auto size = static_cast<std::size_t>(received);
        for (std::size_t at = 0; at + sizeof(nlmsghdr) <= size;) {
            const auto header = readStruct<nlmsghdr>(buffer + at);
            if (header.nlmsg_len < sizeof(nlmsghdr) || at + header.nlmsg_len > size) break;
            if (header.nlmsg_seq == kSequence) {
                if (header.nlmsg_flags & NLM_F_DUMP_INTR) interrupted = true;
                if (header.nlmsg_type == NLMSG_DONE)
                    return interrupted ? DumpResult::Interrupted : DumpResult::Done;
                if (header.nlmsg_type == NLMSG_ERROR) return DumpResult::Failed;
                unsigned index = 0;
                if (header.nlmsg_type == RTM_NEWADDR &&
                    isDynamicIpv4(buffer + at + sizeof(nlmsghdr),
                                  header.nlmsg_len - sizeof(nlmsghdr), index))
                    dynamic.insert(index);
            }
            at += align4(header.nlmsg_len);
        }
    }
}

// Indexes of the adapters holding an IPv4 address with a finite lifetime: DHCP clients
// give their addresses the lease's lifetime, static addresses live forever. Empty when
// the kernel cannot be asked.
std::optional<std::unordered_set<unsigned>> dynamicIpv4Adapters() {
    // A dump that raced an address change is repeated; a few tries are plenty.
    for (int attempt = 0; attempt < 3; ++attempt) {
        std::unordered_set<unsigned> dynamic;
        switch (dumpIpv4Addresses(dynamic)) {
            case DumpResult::Done:
                return dynamic;
            case DumpResult::Failed:
                return std::nullopt;
            case DumpResult::Interrupted:
                break;
        }
    }
    return std::nullopt;
}

std::array<std::uint8_t, 4> ipv4Bytes(const sockaddr* address) {
    std::array<std::uint8_t, 4> bytes{};
    if (address != nullptr && address->sa_family == AF_INET) {
        sockaddr_in in{};
        std::memcpy(&in, address, sizeof in);
        std::memcpy(bytes.data(), &in.sin_addr, bytes.size());
    }
    return bytes;
}

// getifaddrs names an IPv4 address by its label, which is "eth0" or an alias "eth0:1".
bool belongsTo(std::string_view label, std::string_view adapter) {
    return label == adapter || (label.size() > adapter.size() && label.starts_with(adapter) &&
                                label[adapter.size()] == ':');
}

class LinuxPlatform final : public Platform {
public:
    explicit LinuxPlatform(std::optional<std::filesystem::path> leaseRoot)
        : leaseRoot_(std::move(leaseRoot)) {}

    std::optional<std::vector<Adapter>> adapters() const override {
        ifaddrs* raw = nullptr;
        if (::getifaddrs(&raw) != 0) return std::nullopt;
        const IfaddrsList list(raw);

        struct Link {
            unsigned index;
            Adapter adapter;
        };
        std::vector<Link> links;
        for (const ifaddrs* entry = list.get(); entry != nullptr; entry = entry->ifa_next) {
            if (entry->ifa_addr == nullptr || entry->ifa_name == nullptr ||
                entry->ifa_addr->sa_family != AF_PACKET || (entry->ifa_flags & IFF_LOOPBACK))
                continue;
            const std::string_view name(entry->ifa_name);
            if (std::any_of(links.begin(), links.end(),
                            [&](const Link& l) { return l.adapter.name == name; }))
                continue;
            sockaddr_ll link{};
            std::memcpy(&link, entry->ifa_addr, sizeof link);
            Link l{static_cast<unsigned>(link.sll_ifindex), {}};
            l.adapter.name = name;
            std::memcpy(l.adapter.mac.data(), link.sll_addr,
                        std::min<std::size_t>(link.sll_halen, l.adapter.mac.size()));
            links.push_back(std::move(l));
        }
        std::stable_sort(links.begin(), links.end(),
                         [](const Link& a, const Link& b) { return a.index < b.index; });

        for (const ifaddrs* entry = list.get(); entry != nullptr; entry = entry->ifa_next) {
            if (entry->ifa_addr == nullptr || entry->ifa_name == nullptr ||
                entry->ifa_addr->sa_family != AF_INET)
                continue;
            for (Link& l : links) {
                if (!belongsTo(entry->ifa_name, l.adapter.name)) continue;
                l.adapter.ipv4.push_back(
                    {ipv4Bytes(entry->ifa_addr), ipv4Bytes(entry->ifa_netmask)});
                break;
            }
        }

        const auto dynamic = dynamicIpv4Adapters();
        const std::filesystem::path root = leaseRoot();
        std::vector<Adapter> adapters;
        adapters.reserve(links.size());
        const std::int64_t now = static_cast<std::int64_t>(std::time(nullptr));
        for (Link& l : links) {
            std::vector<std::string> addresses;
            for (const auto& pair : l.adapter.ipv4) addresses.push_back(ipText(pair.address.data()));
            Lease lease = findCurrentLease(root, l.adapter.name, l.index, addresses, now);
            if (lease.namesAdapter)
                l.adapter.dhcp = true;
            else if (dynamic)
                l.adapter.dhcp = dynamic->contains(l.index);
            l.adapter.dhcpServer = std::move(lease.server);
            adapters.push_back(std::move(l.adapter));
        }
        return adapters;
    }

    int rawSocketError() const override {
        const UniqueFd s(::socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, 0));
        return s ? 0 : errno;
    }

private:
    std::filesystem::path leaseRoot() const {
        return leaseRoot_ ? *leaseRoot_ : leaseRootFromEnvironment();
    }

    std::optional<std::filesystem::path> leaseRoot_;
};

}  // namespace

const Platform& systemPlatform() {
    static const LinuxPlatform system(std::nullopt);
    return system;
}

std::unique_ptr<Platform> makeSystemPlatform(std::filesystem::path leaseRoot) {
    return std::make_unique<LinuxPlatform>(std::move(leaseRoot));
}

}  // namespace velqorin
