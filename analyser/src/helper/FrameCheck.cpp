#include "helper/FrameCheck.h"

#include <algorithm>
#include <cstring>

#include "velqorin/Frame.h"

namespace velqorin::helper {

FrameVerdict checkOutgoingFrame(const std::uint8_t* frame, std::size_t length,
                                const std::uint8_t* adapterMac) {
    if (length != kFrameSize) return FrameVerdict::WrongLength;
    TAnalyseBuffer request;
    buildDiscoveryRequest(request, "");
    if (!sameProtocolBytes(request, frame)) return FrameVerdict::WrongProtocolBytes;
    if (std::memcmp(frame + offsetof(TAnalyseBuffer, sourceMac), adapterMac, kMacSize) != 0)
        return FrameVerdict::WrongSource;
    const std::uint8_t* destination = frame + offsetof(TAnalyseBuffer, destinationMac);
    switch (static_cast<FrameKind>(frame[offsetof(TAnalyseBuffer, frameKind)])) {
        case FrameKind::DiscoveryRequest:
            return std::memcmp(destination, kDiscoveryGroupMac.data(), kMacSize) == 0
                       ? FrameVerdict::Allowed
                       : FrameVerdict::RequestNotToGroup;
        case FrameKind::ApplyNetwork:
        case FrameKind::ApplyNetworkAndRestart:
        case FrameKind::ApplySynchro:
        case FrameKind::ApplySynchroAndSynchronise:
            return isGroupMac(destination) ? FrameVerdict::CommandToGroup : FrameVerdict::Allowed;
        default:
            return FrameVerdict::UnknownKind;
    }
}

const char* verdictText(FrameVerdict verdict) {
    switch (verdict) {
        case FrameVerdict::Allowed: return "allowed";
        case FrameVerdict::WrongLength: return "the frame is not 316 bytes long";
        case FrameVerdict::WrongProtocolBytes:
            return "the frame's EtherType, magic, reserved bytes or version are not the protocol's";
        case FrameVerdict::WrongSource: return "the frame's source is not the adapter's own MAC address";
        case FrameVerdict::UnknownKind: return "the frame is neither a discovery request nor a command";
        case FrameVerdict::RequestNotToGroup:
            return "a discovery request goes to 01:0e:0f:ff:ff:ff only";
        case FrameVerdict::CommandToGroup: return "a command goes to one box, not to a group address";
    }
    return "refused";
}

bool RateLimit::take(std::int64_t nowMs) {
    if (lastMs_ >= 0 && nowMs > lastMs_)
        tokens_ = std::min(burst_, tokens_ + static_cast<double>(nowMs - lastMs_) * perSecond_ / 1000.0);
    lastMs_ = std::max(lastMs_, nowMs);
    if (tokens_ < 1.0) return false;
    tokens_ -= 1.0;
    return true;
}

}  // namespace velqorin::helper
