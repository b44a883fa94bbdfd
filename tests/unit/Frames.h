// Frames as boxes would send them, for tests.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "velqorin/Frame.h"

namespace velqorin::test {

using Mac = std::array<std::uint8_t, kMacSize>;

inline constexpr Mac kAdapterMac{0x02, 0x00, 0x00, 0xAA, 0x00, 0x01};
inline constexpr Mac kBoxMac{0x00, 0x50, 0xC2, 0x10, 0x20, 0x30};

// An IPv4 socket address from dotted text, in a block of the size the library passes.
inline sockaddr_storage socketAddress(const char* dotted, sa_family_t family = AF_INET) {
    sockaddr_storage s{};
    auto* in = reinterpret_cast<sockaddr_in*>(&s);
    in->sin_family = family;
    in->sin_addr.s_addr = inet_addr(dotted);
    return s;
}

inline TAnalyseBuffer makeReply(std::string_view serial, std::string_view token,
                                const Mac& to = kAdapterMac, const Mac& from = kBoxMac) {
    TAnalyseBuffer reply;
    buildDiscoveryRequest(reply, token);
    std::memcpy(reply.destinationMac, to.data(), kMacSize);
    std::memcpy(reply.sourceMac, from.data(), kMacSize);
    reply.frameKind = static_cast<std::uint8_t>(FrameKind::DiscoveryReply);
    setFieldText(reply.serialNumber, serial);
    return reply;
}

}  // namespace velqorin::test
