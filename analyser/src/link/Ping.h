// ICMP echo to IPv4 addresses: the platform's part of ExternPingEx.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace velqorin {

// One echo request with 32 data bytes to `address` (network order); true when an echo
// reply carrying 32 data bytes comes back within 500 ms. One try.
bool pingOnce(const std::uint8_t (&address)[4]);

// pingOnce of every address, all at once through one socket: about 500 ms in all.
std::vector<bool> pingAll(const std::vector<std::array<std::uint8_t, 4>>& addresses);

}  // namespace velqorin
