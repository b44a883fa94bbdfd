// The IPv4 address blocks of the library's interface: a sockaddr_storage holding an IPv4
// socket address, of which only the four address bytes (bytes 4 to 7) count.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "velqorin/Frame.h"

namespace velqorin {

// The block's four address bytes, in network order.
inline const std::uint8_t* blockAddress(const sockaddr_storage& block) {
    return reinterpret_cast<const std::uint8_t*>(&block) + 4;
}

// A block holding the IPv4 address `ip` (four bytes, network order).
inline sockaddr_storage ipv4Block(const std::uint8_t* ip) {
    sockaddr_storage block{};
    block.ss_family = AF_INET;
    std::memcpy(reinterpret_cast<std::uint8_t*>(&block) + 4, ip, 4);
    return block;
}

// "192.0.2.10"
inline std::string blockText(const sockaddr_storage& block) { return ipText(blockAddress(block)); }

}  // namespace velqorin
