// The rest of what the workstation tells about its network, beside the adapter table of
// Platform.h: its active point-to-point links (the dial-up connections), its host name,
// domain and DNS servers, and a few more facts per adapter for the diagnostic reports.
// The dial-up pass and the reports ask through this seam only; tests put a fake behind it.
#pragma once

#include <array>
#include <cstdint>
#include <ctime>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace velqorin {

struct PointToPointLink {
    std::string name;        // the interface: "ppp0"
    std::string deviceType;  // "ppp" for PPP links, otherwise the link type ("none", "gre"..)
    std::string device;      // the driver behind it when it tells ("tun"), else the name
    std::array<std::uint8_t, 4> local{};   // network order
    std::array<std::uint8_t, 4> remote{};  // the peer
};

struct HostParams {
    int error = 0;  // errno of a failed host name query; the rest is empty then
    std::string hostName;
    std::string domainName;
    std::vector<std::string> dnsServers;  // dotted, in the resolver's order
};

struct AdapterDetails {
    std::string description;  // the driver ("e1000e", "veth"), else the link type
    std::optional<std::array<std::uint8_t, 4>> gateway;  // of its default route
    std::optional<std::time_t> leaseObtained;            // when its DHCP lease was written
};

class HostNetwork {
public:
    virtual ~HostNetwork() = default;
    // Every point-to-point interface that is up and running with a peer IPv4 address,
    // in interface-index order. Nothing when the interfaces cannot be listed.
    virtual std::optional<std::vector<PointToPointLink>> pointToPointLinks() const = 0;
    virtual HostParams hostParams() const = 0;
    // What is known of the named adapter; empty fields for what is not.
    virtual AdapterDetails adapterDetails(const std::string& name) const = 0;
};

// The one a ScopedHostNetwork put in place, else the system's.
const HostNetwork& hostNetwork();
// This system's. Files are read below "/", lease files below VELQORIN_LEASE_ROOT when
// that is set (as for the adapter table).
const HostNetwork& systemHostNetwork();
// The system's with every file (etc/resolv.conf, proc/net/route, lease files) read
// below `root` instead.
std::unique_ptr<HostNetwork> makeSystemHostNetwork(std::filesystem::path root);

// Puts `replacement` behind hostNetwork() for the object's lifetime; for tests.
class ScopedHostNetwork {
public:
    explicit ScopedHostNetwork(const HostNetwork& replacement);
    ~ScopedHostNetwork();
    ScopedHostNetwork(const ScopedHostNetwork&) = delete;
    ScopedHostNetwork& operator=(const ScopedHostNetwork&) = delete;

private:
    const HostNetwork* previous_;
};

struct ResolverSettings {
    std::string domain;  // from the last "domain" or "search" line (its first name)
    std::vector<std::string> nameservers;
};

// resolv.conf text; lines starting with '#' or ';' are comments, unknown keywords are
// skipped, as the resolver does.
ResolverSettings parseResolvConf(std::string_view text);

struct DefaultRoute {
    std::string interface;
    std::array<std::uint8_t, 4> gateway{};
    unsigned metric = 0;
};

// The default routes of /proc/net/route text (routes up, through a gateway, to 0.0.0.0/0),
// in the table's order. Malformed lines are skipped.
std::vector<DefaultRoute> parseDefaultRoutes(std::string_view text);

// "ppp", "ether", "none", "ipip", "gre".. for an ARPHRD_ link type, as `ip link` names it.
std::string linkTypeName(unsigned short arphrdType);

}  // namespace velqorin
