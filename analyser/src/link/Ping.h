// ICMP echo to an IPv4 address: the platform's part of ExternPingEx.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>

namespace velqorin {

// One echo request with 32 data bytes to `address` (network order); true when an echo
// reply carrying 32 data bytes comes back within 500 ms. One try.
bool pingOnce(const std::uint8_t (&address)[4]);

}  // namespace velqorin
