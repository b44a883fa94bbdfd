// The TCP exchange with a box behind a dial-up link: connect, send the request once, read
// the answer. Every wait is bounded, so a box that accepts and never answers costs a few
// seconds, not the caller's thread.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "dialup/InfoAnswer.h"

namespace velqorin {

struct InfoQueryLimits {
    std::uint16_t port = kInfoPort;
    std::chrono::milliseconds connect{4000};
    // From the request's sending to the end of the answer, however it comes in.
    std::chrono::milliseconds answer{4000};
};

// What fetchInfoAnswer uses: the defaults above unless a ScopedInfoQueryLimits is alive.
const InfoQueryLimits& infoQueryLimits();

// Asked during every wait; true ends the exchange as a time-out would.
using StopCheck = std::function<bool()>;

// Connects to `address` (network order) and sends kInfoRequest; then reads until the
// bytes hold every tag of an answer, the box closes or resets the connection,
// kInfoAnswerLimit bytes are in, or the answer time is up, and returns what came in.
// Nothing when the connection or the sending fails. The connection is shut down and
// closed on every path. With `stopped`, a wait lasts at most kStopCheckPeriod between
// two checks, so that a program that closes is not held for the full limits.
std::optional<std::string> fetchInfoAnswer(const std::array<std::uint8_t, 4>& address,
                                           const InfoQueryLimits& limits = infoQueryLimits(),
                                           const StopCheck& stopped = {});

inline constexpr std::chrono::milliseconds kStopCheckPeriod{50};

// Other limits (another port, shorter times) for the object's lifetime; for tests.
class ScopedInfoQueryLimits {
public:
    explicit ScopedInfoQueryLimits(const InfoQueryLimits& limits);
    ~ScopedInfoQueryLimits();
    ScopedInfoQueryLimits(const ScopedInfoQueryLimits&) = delete;
    ScopedInfoQueryLimits& operator=(const ScopedInfoQueryLimits&) = delete;

private:
    const InfoQueryLimits* previous_;
};

}  // namespace velqorin
