// ICMP echoes on a socket of the kind asked: the ping's own part, which the library and
// the link helper share.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace velqorin {

inline constexpr std::size_t kEchoDataSize = 32;
inline constexpr std::chrono::milliseconds kEchoTimeout{500};
// A socket tells its echoes apart by a 16-bit sequence number: larger sets take rounds.
inline constexpr std::size_t kMaxEchoesAtOnce = 65535;

enum class EchoSocket {
    Datagram,  // unprivileged, where net.ipv4.ping_group_range lets the user in
    Raw,       // CAP_NET_RAW
};
enum class Echo { Answered, NoAnswer, NoSocket };

using Ipv4Bytes = std::array<std::uint8_t, 4>;

// One echo request with 32 data bytes to `address` (network order); Answered when an echo
// reply carrying 32 data bytes comes back within 500 ms; NoSocket when a socket of that
// kind cannot be had. One try.
Echo icmpEcho(const std::uint8_t (&address)[4], EchoSocket kind);

// The same for every address at once through one socket: all requests go out together and
// each address has its own 500 ms from its own request. Nothing when no socket of that
// kind can be had.
std::optional<std::vector<bool>> icmpEchoAll(const std::vector<Ipv4Bytes>& addresses, EchoSocket kind);

}  // namespace velqorin
