// Lease files are written by other programs and may hold anything.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "host/DhcpLeases.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    (void)velqorin::parseKeyValueLease(text);
    (void)velqorin::parseDhclientLeases(text, "eth0");
    (void)velqorin::parseDhcpMessage(text);
    (void)velqorin::isNetworkManagerLeaseOf(text, "eth0");
    return 0;
}
