#include "LogRecord.h"

#include <cstring>

#include "BoxModel.h"
#include "support/Hex.h"
#include "velqorin/Frame.h"

namespace velqorin::sim {

namespace {

constexpr std::size_t kCredentialOffset = offsetof(TAnalyseBuffer, credential);
constexpr std::size_t kCredentialSize = sizeof(TAnalyseBuffer::credential);
constexpr std::size_t kClearPasswordOffset = offsetof(TAnalyseBuffer, clearPassword);
constexpr std::size_t kKindOffset = offsetof(TAnalyseBuffer, frameKind);

}  // namespace

nlohmann::ordered_json logRecord(double seconds, std::string_view direction, std::string_view serial,
                         std::span<const std::uint8_t> frame, std::size_t wireLength,
                         std::string_view verdict) {
    using json = nlohmann::ordered_json;
    const std::size_t n = frame.size();
    json r = json::object();
    r["t"] = seconds;
    r["dir"] = direction;
    r["box"] = serial.empty() ? json(nullptr) : json(serial);
    r["kind"] = n > kKindOffset ? json(frame[kKindOffset]) : json(nullptr);
    r["length"] = wireLength;
    r["src"] = n >= 2 * kMacSize ? json(macText(frame.data() + kMacSize)) : json(nullptr);
    r["dst"] = n >= kMacSize ? json(macText(frame.data())) : json(nullptr);
    r["verdict"] = verdict;
    if (n > kCredentialOffset) {
        // Bounded by the field and by what was captured, like every wire text.
        const std::size_t room = std::min(kCredentialSize, n - kCredentialOffset);
        const char* text = reinterpret_cast<const char*>(frame.data() + kCredentialOffset);
        const void* nul = std::memchr(text, '\0', room);
        const std::size_t length =
            nul ? static_cast<std::size_t>(static_cast<const char*>(nul) - text) : room;
        r["credential"] = std::string(text, length);
    } else {
        r["credential"] = nullptr;
    }
    r["clearPassword"] = n > kClearPasswordOffset ? json(frame[kClearPasswordOffset]) : json(nullptr);
    r["hex"] = hexText(frame);
    return r;
}


}  // namespace velqorin::sim
