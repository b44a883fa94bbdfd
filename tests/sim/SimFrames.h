// Frames as the analyser would send them to simulated boxes, and a box to send them to.
#pragma once

#include <cstring>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "BoxModel.h"
#include "model/Response.h"
#include "velqorin/Frame.h"

namespace velqorin::sim::test {

inline constexpr Mac kPcMac{0x02, 0x00, 0x00, 0xAA, 0x00, 0x01};
inline constexpr Mac kBoxMac{0x00, 0x50, 0xC2, 0x00, 0x25, 0x55};
inline constexpr std::string_view kToken = "0123456789:;<=>?@ABCDEFGHIJ";

inline TimePoint t0() { return TimePoint{} + std::chrono::hours(1); }

inline BoxConfig knownBox() {
    BoxConfig c;
    c.origin = "boxes[0]";
    c.serial = "2555";
    c.mac = kBoxMac;
    c.password = "admin";
    c.unlockCode = "UNLOCK-42";
    c.currentIp = {192, 0, 2, 50};
    c.currentMask = {255, 255, 255, 0};
    c.manualIp = {192, 0, 2, 60};
    c.manualMask = {255, 255, 0, 0};
    c.dhcpIp = {192, 0, 2, 70};
    c.dhcpMask = {255, 255, 255, 128};
    c.addressMode = 0;
    c.linkSpeed = 2;
    c.neighbourhood = true;
    c.softwareVersion = packVersion({1, 1, 5});
    c.sync = {1, 2, 0, 1, 30, 1, -2, 2554};
    for (std::size_t i = 0; i < c.boxData.size(); ++i) c.boxData[i] = static_cast<std::uint8_t>(i);
    c.challenge = "Chal1";
    return c;
}

inline TAnalyseBuffer discoveryRequest(const Mac& to = Mac{0x01, 0x0E, 0x0F, 0xFF, 0xFF, 0xFF}) {
    TAnalyseBuffer r;
    buildDiscoveryRequest(r, kToken);
    std::memcpy(r.destinationMac, to.data(), kMacSize);
    std::memcpy(r.sourceMac, kPcMac.data(), kMacSize);
    return r;
}

inline std::span<const std::uint8_t> bytesOf(const TAnalyseBuffer& f) {
    return {frameBytes(f), kFrameSize};
}

inline TAnalyseBuffer recordOf(const Outgoing& out) {
    TAnalyseBuffer f;
    std::memset(&f, 0, sizeof f);
    std::memcpy(&f, out.bytes.data(), std::min(out.bytes.size(), kFrameSize));
    return f;
}

// The command the analyser builds from a box's stored record: swapped MACs, the code, and the
// response to the record's challenge (or, for an unlock, the code in clear).
inline TAnalyseBuffer commandFrom(const TAnalyseBuffer& stored, FrameKind kind,
                                  std::string_view secret, bool clearPassword = false) {
    TAnalyseBuffer c = stored;
    std::memcpy(c.destinationMac, stored.sourceMac, kMacSize);
    std::memcpy(c.sourceMac, stored.destinationMac, kMacSize);
    c.frameKind = static_cast<std::uint8_t>(kind);
    c.clearPassword = clearPassword ? 1 : 0;
    if (clearPassword) {
        setFieldText(c.credential, secret);
    } else {
        char response[kResponseLength + 1];
        makeResponse(secret, fieldText(stored.challenge), response);
        setFieldText(c.credential, response);
    }
    return c;
}

}  // namespace velqorin::sim::test
