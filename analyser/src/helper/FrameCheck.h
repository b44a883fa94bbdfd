// What the link helper lets out: only frames of the boxes' protocol, as the library builds
// them. Whoever may run the helper may ask it to send anything; these rules are what keeps
// it from being a general raw socket.
#pragma once

#include <cstddef>
#include <cstdint>

namespace velqorin::helper {

enum class FrameVerdict {
    Allowed,
    WrongLength,         // not exactly 316 bytes
    WrongProtocolBytes,  // bytes 12 to 44: EtherType, magic, reserved, version
    WrongSource,         // the source is not the adapter's own MAC
    UnknownKind,         // not a request nor a command
    RequestNotToGroup,   // a discovery request goes to 01:0E:0F:FF:FF:FF only
    CommandToGroup,      // a command goes to one box
};

FrameVerdict checkOutgoingFrame(const std::uint8_t* frame, std::size_t length,
                                const std::uint8_t* adapterMac);
// "the frame is not 316 bytes long" and the like.
const char* verdictText(FrameVerdict verdict);

// At most `burst` frames at once, refilled at `perSecond`: a flood of frames is refused,
// a sweep of ten adapters or a site's commands are not.
class RateLimit {
public:
    RateLimit(double burst, double perSecond) : burst_(burst), perSecond_(perSecond), tokens_(burst) {}
    bool take(std::int64_t nowMs);

private:
    double burst_;
    double perSecond_;
    double tokens_;
    std::int64_t lastMs_ = -1;
};

}  // namespace velqorin::helper
