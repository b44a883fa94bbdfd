// libFuzzer target: whatever a far end sends, the XML answer parser reads inside the
// bytes it was given and builds a well-formed record.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "dialup/InfoAnswer.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view received(reinterpret_cast<const char*>(data), size);
    const auto answer = velqorin::parseInfoAnswer(received);
    if (!answer) return 0;
    // The serial is part of what came in, so it can never be longer than that.
    if (answer->serial.size() > size) __builtin_trap();
    const TAnalyseBuffer record = velqorin::dialUpRecord(*answer, {203, 0, 113, 130});
    if (record.serialNumber[sizeof record.serialNumber - 1] != '\0') __builtin_trap();
    if ((record.sourceMac[3] & velqorin::kSerialMacBit) == 0) __builtin_trap();
    if (velqorin::unpackVersion(velqorin::loadLe<std::uint32_t>(record.softwareVersion)).major > 63)
        __builtin_trap();
    return 0;
}
