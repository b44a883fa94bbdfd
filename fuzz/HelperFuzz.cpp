// The link helper's request decoder: whatever a client sends, it reads no byte past the
// message, and what it accepts it would have written the same way.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "helper/HelperProtocol.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    if (const auto request = velqorin::helper::decodeRequest(bytes))
        if (velqorin::helper::encode(*request) != bytes) std::abort();
    return 0;
}
