// Texts from boxes and files as velqorin writes them to a terminal and into CSV: whatever
// the bytes, nothing a terminal obeys gets through, in either, and a CSV cell never starts
// a formula.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "SafeText.h"

namespace {

void check(bool holds) {
    if (!holds) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);

    const std::string shown = velqorin::cli::terminalText(text);
    for (const char c : shown) {
        const auto byte = static_cast<unsigned char>(c);
        check(byte >= 0x20 && byte != 0x7F);
    }
    // What is shown is already safe: showing it again changes nothing.
    check(velqorin::cli::terminalText(shown) == shown);

    const std::string field = velqorin::cli::csvField(text);
    for (const char c : field) {
        const auto byte = static_cast<unsigned char>(c);
        check(byte >= 0x20 && byte != 0x7F);
    }
    const std::string_view cell = !field.empty() && field.front() == '"'
                                      ? std::string_view(field).substr(1)
                                      : std::string_view(field);
    // Only a plain number (a floor such as -2) may begin with a sign.
    const auto plainNumber = [](std::string_view c) {
        if (c.size() < 2 || (c.front() != '-' && c.front() != '+')) return false;
        for (std::size_t i = 1; i < c.size(); ++i)
            if (c[i] < '0' || c[i] > '9') return false;
        return true;
    };
    if (!cell.empty() && std::string_view("=+-@\t\r").find(cell.front()) != std::string_view::npos)
        check(plainNumber(text) && field == text);
    return 0;
}
