// Which frame kinds carry a command to a box: what a box acts on and a test counts.
#pragma once

#include <cstdint>

#include "velqorin/Frame.h"

namespace velqorin {

constexpr bool isCommandKind(std::uint8_t kind) {
    switch (static_cast<FrameKind>(kind)) {
        case FrameKind::ApplyNetwork:
        case FrameKind::ApplyNetworkAndRestart:
        case FrameKind::ApplySynchro:
        case FrameKind::ApplySynchroAndSynchronise:
            return true;
        default:
            return false;
    }
}

}  // namespace velqorin
