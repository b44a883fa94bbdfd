// What the DHCP clients of a Linux workstation left behind about an adapter. The files
// are written by other programs and may be stale, truncated or garbage: every parser here
// reads them as untrusted input and gives up quietly.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace velqorin {

struct Lease {
    bool namesAdapter = false;  // some client holds (or held) a lease for the adapter
    std::string server;         // the server address the lease names, as text; may be empty
    std::filesystem::path file; // findLease: the first file that named the adapter
    std::string address;        // the address leased, as text; may be empty
    // When the lease runs out, in seconds since the epoch; none: the file does not say.
    std::optional<std::int64_t> expires;
    // How long the lease lasts from when its file was written (networkd, dhcpcd); the
    // finders turn it into `expires` with the file's time.
    std::optional<std::uint32_t> lifetime;
};

// Lease files are read up to this size; a longer file is read in part.
inline constexpr std::size_t kLeaseFileLimit = 1u << 20;

// systemd-networkd's and NetworkManager's "KEY=value" files: SERVER_ADDRESS= or
// dhcp_server_identifier= names the server, ADDRESS= or ip_address= the leased address,
// LIFETIME= its length, expiry= its end. The file is per adapter, so a lease is named
// when it holds an address or a server.
Lease parseKeyValueLease(std::string_view text);

// dhclient's lease database: the last complete `lease { ... }` block whose
// `interface "NAME";` is `ifname` counts, with its `option dhcp-server-identifier`, its
// `fixed-address` and its `expire` time.
Lease parseDhclientLeases(std::string_view text, std::string_view ifname);

// dhcpcd's lease: the server's DHCP message as received; option 54 names the server,
// yiaddr the address, option 51 the lease time.
Lease parseDhcpMessage(std::string_view bytes);

// NetworkManager names its lease files "<client>-<connection uuid>-<ifname>.lease".
bool isNetworkManagerLeaseOf(std::string_view fileName, std::string_view ifname);

// Every client's lease for the adapter below `root` ("/" on a live system):
//   run/systemd/netif/leases/<ifindex>          systemd-networkd
//   run/NetworkManager/devices/<ifindex>         NetworkManager, counted only with a server
//   var/lib/NetworkManager/*-<ifname>.lease      NetworkManager (dhclient or internal)
//   var/lib/dhcp/dhclient*.leases                dhclient, files in name order
//   var/lib/dhcpcd/<ifname>.lease                dhcpcd
// The adapter is named when any of them names it; the server is the first found in
// that order.
Lease findLease(const std::filesystem::path& root, std::string_view ifname, unsigned ifindex);

// The same, counting only the leases that still hold: for one of the adapter's current
// IPv4 `addresses` (dotted), and not run out at `now` (seconds since the epoch). A client
// leaves its lease file behind when the lease is released or the adapter set by hand.
Lease findCurrentLease(const std::filesystem::path& root, std::string_view ifname,
                       unsigned ifindex, const std::vector<std::string>& addresses,
                       std::int64_t now);

// Whether `lease` (its `expires` worked out) still holds for those addresses at `now`.
bool leaseHolds(const Lease& lease, const std::vector<std::string>& addresses, std::int64_t now);

// Where lease files are looked for on this system: below VELQORIN_LEASE_ROOT when it is
// set, else below "/". A program given capabilities with setcap ignores the variable, so
// that its caller cannot point it at other files.
std::filesystem::path leaseRootFromEnvironment();

}  // namespace velqorin
