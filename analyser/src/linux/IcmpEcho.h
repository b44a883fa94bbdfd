// One ICMP echo on a socket of the kind asked: the ping's own part, which the library and
// the link helper share.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>

namespace velqorin {

inline constexpr std::size_t kEchoDataSize = 32;
inline constexpr std::chrono::milliseconds kEchoTimeout{500};

enum class EchoSocket {
    Datagram,  // unprivileged, where net.ipv4.ping_group_range lets the user in
    Raw,       // CAP_NET_RAW
};
enum class Echo { Answered, NoAnswer, NoSocket };

// One echo request with 32 data bytes to `address` (network order); Answered when an echo
// reply carrying 32 data bytes comes back within 500 ms; NoSocket when a socket of that
// kind cannot be had. One try.
Echo icmpEcho(const std::uint8_t (&address)[4], EchoSocket kind);

}  // namespace velqorin
