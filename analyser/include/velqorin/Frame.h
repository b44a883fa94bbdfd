// The 316-byte record of every exchange with a box: discovery request and reply,
// command and answer. Everything here is inline so the monitor and the command-line
// tool share one definition without the library exporting more than its classes.
#pragma once

#include <array>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

namespace velqorin {

inline constexpr std::size_t kFrameSize = 316;
inline constexpr std::uint16_t kEtherType = 0x0E0F;
inline constexpr std::size_t kMacSize = 6;
// Bytes 12 to 44 (etherType, magic, reserved, protocolVersion) must match the request.
inline constexpr std::size_t kProtocolBytesOffset = 12;
inline constexpr std::size_t kProtocolBytesSize = 33;
inline constexpr std::uint8_t kProtocolVersion = 1;
inline constexpr std::array<std::uint8_t, kMacSize> kDiscoveryGroupMac{0x01, 0x0E, 0x0F,
                                                                        0xFF, 0xFF, 0xFF};
inline constexpr char kMagic[9] = "Velqorin";

// What a box reads of the secrets a command carries: the password of a network command
// and an unlock code up to 48 characters, the password of a synchronisation command up
// to 49. The support code the unlock dialog shows is the challenge's first 10.
inline constexpr std::size_t kPasswordMax = 48;
inline constexpr std::size_t kSyncPasswordMax = 49;
inline constexpr std::size_t kSupportCodeLength = 10;

enum class FrameKind : std::uint8_t {
    DiscoveryRequest = 0,
    DiscoveryReply = 1,
    CommandAccepted = 2,
    ApplyNetwork = 3,
    ApplyNetworkAndRestart = 4,
    CommandRefused = 5,
    ApplySynchro = 7,
    ApplySynchroAndSynchronise = 8,
};

}  // namespace velqorin

// Every field is a byte array, so the record has no padding and no alignment needs;
// integer fields go through velqorin::loadLe / storeLe only.
struct __attribute__((packed)) TAnalyseBuffer {
    std::uint8_t destinationMac[6];
    std::uint8_t sourceMac[6];
    std::uint8_t etherType[2];  // big-endian, the only one
    char magic[9];
    std::uint8_t reserved[21];
    std::uint8_t protocolVersion;
    std::uint8_t frameKind;
    std::uint8_t currentIp[4];
    std::uint8_t currentMask[4];
    std::uint8_t manualIp[4];
    std::uint8_t manualMask[4];
    std::uint8_t addressMode;
    std::uint8_t linkSpeed;
    std::uint8_t neighbourhood;
    char serialNumber[20];
    char credential[50];
    char analyserToken[30];
    std::uint8_t softwareVersion[4];
    std::uint8_t stateIconShown[4];
    std::uint8_t stateIconAlt[4];
    std::uint8_t syncFault[4];
    std::uint8_t syncDone[4];
    std::uint8_t syncAge[4];
    std::uint8_t syncSlave[4];
    std::uint8_t syncFloor[4];  // signed
    std::uint8_t syncReserved[4];
    std::uint8_t syncMaster[4];
    std::uint8_t boxData[80];
    char challenge[30];
    std::uint8_t clearPassword;
};

static_assert(sizeof(TAnalyseBuffer) == velqorin::kFrameSize);
static_assert(alignof(TAnalyseBuffer) == 1);
static_assert(offsetof(TAnalyseBuffer, destinationMac) == 0);
static_assert(offsetof(TAnalyseBuffer, sourceMac) == 6);
static_assert(offsetof(TAnalyseBuffer, etherType) == 12);
static_assert(offsetof(TAnalyseBuffer, magic) == 14);
static_assert(offsetof(TAnalyseBuffer, reserved) == 23);
static_assert(offsetof(TAnalyseBuffer, protocolVersion) == 44);
static_assert(offsetof(TAnalyseBuffer, frameKind) == 45);
static_assert(offsetof(TAnalyseBuffer, currentIp) == 46);
static_assert(offsetof(TAnalyseBuffer, currentMask) == 50);
static_assert(offsetof(TAnalyseBuffer, manualIp) == 54);
static_assert(offsetof(TAnalyseBuffer, manualMask) == 58);
static_assert(offsetof(TAnalyseBuffer, addressMode) == 62);
static_assert(offsetof(TAnalyseBuffer, linkSpeed) == 63);
static_assert(offsetof(TAnalyseBuffer, neighbourhood) == 64);
static_assert(offsetof(TAnalyseBuffer, serialNumber) == 65);
static_assert(offsetof(TAnalyseBuffer, credential) == 85);
static_assert(offsetof(TAnalyseBuffer, analyserToken) == 135);
static_assert(offsetof(TAnalyseBuffer, softwareVersion) == 165);
static_assert(offsetof(TAnalyseBuffer, stateIconShown) == 169);
static_assert(offsetof(TAnalyseBuffer, stateIconAlt) == 173);
static_assert(offsetof(TAnalyseBuffer, syncFault) == 177);
static_assert(offsetof(TAnalyseBuffer, syncDone) == 181);
static_assert(offsetof(TAnalyseBuffer, syncAge) == 185);
static_assert(offsetof(TAnalyseBuffer, syncSlave) == 189);
static_assert(offsetof(TAnalyseBuffer, syncFloor) == 193);
static_assert(offsetof(TAnalyseBuffer, syncReserved) == 197);
static_assert(offsetof(TAnalyseBuffer, syncMaster) == 201);
static_assert(offsetof(TAnalyseBuffer, boxData) == 205);
static_assert(offsetof(TAnalyseBuffer, challenge) == 285);
static_assert(offsetof(TAnalyseBuffer, clearPassword) == 315);

namespace velqorin {

// The one pair of helpers through which the record's little-endian integers pass.
template <std::integral T>
constexpr T loadLe(const std::uint8_t (&field)[sizeof(T)]) {
    using U = std::make_unsigned_t<T>;
    U value = 0;
    for (std::size_t i = sizeof(T); i-- > 0;) value = static_cast<U>((value << 8) | field[i]);
    return static_cast<T>(value);
}

template <std::integral T>
constexpr void storeLe(std::uint8_t (&field)[sizeof(T)], T value) {
    auto bits = static_cast<std::make_unsigned_t<T>>(value);
    for (std::size_t i = 0; i < sizeof(T); ++i) {
        field[i] = static_cast<std::uint8_t>(bits & 0xFFu);
        bits = static_cast<decltype(bits)>(bits >> 8);
    }
}

// A text field from the wire: up to its NUL, or its whole width when it has none.
template <std::size_t N>
std::string_view fieldText(const char (&field)[N]) {
    const void* nul = std::memchr(field, '\0', N);
    return {field, nul ? static_cast<std::size_t>(static_cast<const char*>(nul) - field) : N};
}

// Writes text into a field, cut to leave room for the NUL; the rest of the field is zeroed.
template <std::size_t N>
void setFieldText(char (&field)[N], std::string_view text) {
    const std::size_t n = text.size() < N - 1 ? text.size() : N - 1;
    std::memcpy(field, text.data(), n);
    std::memset(field + n, 0, N - n);
}

inline FrameKind frameKind(const TAnalyseBuffer& frame) {
    return static_cast<FrameKind>(frame.frameKind);
}

inline const std::uint8_t* frameBytes(const TAnalyseBuffer& frame) {
    return reinterpret_cast<const std::uint8_t*>(&frame);
}

// The request is built once per sweep; sourceMac is written per adapter before sending.
inline void buildDiscoveryRequest(TAnalyseBuffer& request, std::string_view analyserToken) {
    std::memset(&request, 0, sizeof request);
    std::memcpy(request.destinationMac, kDiscoveryGroupMac.data(), kMacSize);
    request.etherType[0] = static_cast<std::uint8_t>(kEtherType >> 8);
    request.etherType[1] = static_cast<std::uint8_t>(kEtherType & 0xFF);
    std::memcpy(request.magic, kMagic, sizeof request.magic);
    request.protocolVersion = kProtocolVersion;
    request.frameKind = static_cast<std::uint8_t>(FrameKind::DiscoveryRequest);
    setFieldText(request.analyserToken, analyserToken);
}

inline bool sameProtocolBytes(const TAnalyseBuffer& sent, const std::uint8_t* frame) {
    return std::memcmp(frameBytes(sent) + kProtocolBytesOffset, frame + kProtocolBytesOffset,
                       kProtocolBytesSize) == 0;
}

// A MAC address of a group (multicast or broadcast): no single box sends from one.
inline bool isGroupMac(const std::uint8_t* mac) { return (mac[0] & 0x01) != 0; }

// A captured frame is a discovery reply to `request` when it is exactly one record long,
// repeats the request's protocol bytes, is of kind 1 and comes from a single station: a
// reply from a group address is forged, and a command sent back to it would reach every
// station of the group. Nothing else is looked at here.
inline bool isDiscoveryReply(const TAnalyseBuffer& request, const std::uint8_t* frame,
                             std::size_t capturedLength) {
    return capturedLength == kFrameSize && sameProtocolBytes(request, frame) &&
           frame[offsetof(TAnalyseBuffer, frameKind)] ==
               static_cast<std::uint8_t>(FrameKind::DiscoveryReply) &&
           !isGroupMac(frame + offsetof(TAnalyseBuffer, sourceMac));
}

// A captured frame answers `command` when it comes from the box the command went to,
// repeats its protocol bytes and says accepted or refused.
inline bool isCommandAnswer(const TAnalyseBuffer& command, const std::uint8_t* frame,
                            std::size_t capturedLength) {
    if (capturedLength != kFrameSize || !sameProtocolBytes(command, frame)) return false;
    if (std::memcmp(frame + offsetof(TAnalyseBuffer, sourceMac), command.destinationMac,
                    kMacSize) != 0)
        return false;
    const auto kind = static_cast<FrameKind>(frame[offsetof(TAnalyseBuffer, frameKind)]);
    return kind == FrameKind::CommandAccepted || kind == FrameKind::CommandRefused;
}

struct SoftwareVersion {
    unsigned major;  // bits 26 to 31
    unsigned minor;  // bits 16 to 25
    unsigned build;  // bits 0 to 15
};

constexpr SoftwareVersion unpackVersion(std::uint32_t packed) {
    return {packed >> 26, (packed >> 16) & 0x3FFu, packed & 0xFFFFu};
}

constexpr std::uint32_t packVersion(SoftwareVersion v) {
    return ((v.major & 0x3Fu) << 26) | ((v.minor & 0x3FFu) << 16) | (v.build & 0xFFFFu);
}

// "1.001 build 5"; a box that reports no version shows "...".
inline std::string versionText(std::uint32_t packed) {
    if (packed == 0) return "...";
    const SoftwareVersion v = unpackVersion(packed);
    char text[32];
    std::snprintf(text, sizeof text, "%u.%03u build %u", v.major, v.minor, v.build);
    return text;
}

inline std::string versionText(const TAnalyseBuffer& frame) {
    return versionText(loadLe<std::uint32_t>(frame.softwareVersion));
}

// How a box is connected, told by the fourth octet of its MAC; USB is tested first, so
// 0x0C is USB. Only network boxes can be configured or synchronised.
enum class LinkKind { Usb, Serial, Network };
inline constexpr std::uint8_t kUsbMacBit = 0x04;
inline constexpr std::uint8_t kSerialMacBit = 0x08;

constexpr LinkKind linkKindOfMac(const std::uint8_t* mac) {
    if (mac[3] & kUsbMacBit) return LinkKind::Usb;
    if (mac[3] & kSerialMacBit) return LinkKind::Serial;
    return LinkKind::Network;
}

inline LinkKind linkKind(const TAnalyseBuffer& frame) { return linkKindOfMac(frame.sourceMac); }

// How a box reports getting its address; any other value is a fixed address.
enum class AddressMode { Fixed, Dhcp, AutoIp, Rarp };

constexpr AddressMode addressMode(std::uint8_t value) {
    switch (value) {
        case 1: return AddressMode::Dhcp;
        case 2: return AddressMode::AutoIp;
        case 3: return AddressMode::Rarp;
        default: return AddressMode::Fixed;
    }
}

// "02:00:00:01:b1:c2"
inline std::string macText(const std::uint8_t* mac) {
    char text[18];
    std::snprintf(text, sizeof text, "%02x:%02x:%02x:%02x:%02x:%02x", mac[0], mac[1], mac[2],
                  mac[3], mac[4], mac[5]);
    return text;
}

// "192.0.2.10", first octet first
inline std::string ipText(const std::uint8_t* ip) {
    char text[16];
    std::snprintf(text, sizeof text, "%u.%u.%u.%u", ip[0], ip[1], ip[2], ip[3]);
    return text;
}

// A duration as "1j 01h 01m 01s", leading zero units left out: "00s", "01m 01s".
inline std::string durationText(std::uint32_t seconds) {
    std::string text;
    char part[16];
    const std::uint32_t days = seconds / 86400;
    std::uint32_t rest = seconds % 86400;
    bool larger = false;
    if (days != 0) {
        std::snprintf(part, sizeof part, "%uj ", days);
        text += part;
        larger = true;
    }
    const std::uint32_t hours = rest / 3600;
    rest %= 3600;
    if (larger || hours != 0) {
        std::snprintf(part, sizeof part, "%02uh ", hours);
        text += part;
        larger = true;
    }
    const std::uint32_t minutes = rest / 60;
    rest %= 60;
    if (larger || minutes != 0) {
        std::snprintf(part, sizeof part, "%02um ", minutes);
        text += part;
    }
    std::snprintf(part, sizeof part, "%02us", rest);
    return text + part;
}

}  // namespace velqorin
