// MAC addresses as the tools read them, six pairs of hex digits ("02:00:00:01:b1:c2"), and
// as a number.
#pragma once

#include <array>
#include <charconv>
#include <cstdint>
#include <optional>
#include <string_view>

#include "velqorin/Frame.h"

namespace velqorin {

using MacBytes = std::array<std::uint8_t, kMacSize>;

// Pairs separated all by ':' or all by '-', in either case; nothing for any other text.
inline std::optional<MacBytes> parseMac(std::string_view text) {
    if (text.size() != 3 * kMacSize - 1) return std::nullopt;
    const char separator = text[2];
    if (separator != ':' && separator != '-') return std::nullopt;
    MacBytes mac{};
    for (std::size_t i = 0; i < mac.size(); ++i) {
        if (i > 0 && text[3 * i - 1] != separator) return std::nullopt;
        unsigned value = 0;
        const char* first = text.data() + 3 * i;
        const auto [end, error] = std::from_chars(first, first + 2, value, 16);
        if (error != std::errc() || end != first + 2) return std::nullopt;
        mac[i] = static_cast<std::uint8_t>(value);
    }
    return mac;
}

// The address as one number, first octet highest: a key to sort or look up by.
inline std::uint64_t macKey(const std::uint8_t* mac) {
    std::uint64_t key = 0;
    for (std::size_t i = 0; i < kMacSize; ++i) key = (key << 8) | mac[i];
    return key;
}

}  // namespace velqorin
