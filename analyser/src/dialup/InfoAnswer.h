// What a box behind a dial-up link says about itself over TCP, and the box record the
// analyser makes of it. No I/O here: the answer is whatever bytes came in, untrusted.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "velqorin/Frame.h"

namespace velqorin {

inline constexpr std::uint16_t kInfoPort = 5000;
// Sent in one piece, without a terminating NUL.
inline constexpr std::string_view kInfoRequest =
    "<?xml version=\"1.0\"?><velqorin><read-info/></velqorin>";
static_assert(kInfoRequest.size() == 54);
// No more than this is read from a box, however much it sends.
inline constexpr std::size_t kInfoAnswerLimit = 16000;
inline constexpr std::array<std::uint8_t, 4> kDialUpMask{255, 255, 255, 252};

struct InfoAnswer {
    std::array<std::uint8_t, kMacSize> mac{};  // as the box sent it
    std::string serial;                        // as the box sent it, uncut
    SoftwareVersion software{};
};

// The answer read from `received`: "<velqorin>", then <mac-address>, <serial> and
// <software> in that order, each with its closing tag; anything else is ignored. The
// answer is text, so it ends at the first NUL. Nothing when a tag is missing. A number
// missing from the MAC ("%02x:..") or the software ("%d.%03d build %d") counts as 0.
std::optional<InfoAnswer> parseInfoAnswer(std::string_view received);

// The box record: the answer's MAC with the serial-link bit set, `remote` as current and
// manual address, both masks 255.255.255.252, fixed addressing, the serial cut to 19
// characters, the packed version; every other byte zero.
TAnalyseBuffer dialUpRecord(const InfoAnswer& answer, const std::array<std::uint8_t, 4>& remote);

}  // namespace velqorin
