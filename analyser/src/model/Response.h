// The password response that authorises every command but the unlock command.
#pragma once

#include <cstddef>
#include <string_view>

#include "velqorin/Frame.h"

namespace velqorin {

inline constexpr std::size_t kResponseLength = 40;
inline constexpr std::size_t kChallengeSize = 30;    // the frame field, NUL optional
inline constexpr std::size_t kPasswordMaxLength = kSyncPasswordMax;

// SHA-1 of the challenge immediately followed by the password, as 40 lower-case hex
// digits and a NUL written to `out` (41 bytes). The challenge is read up to its NUL or
// its 30 bytes, the password up to its NUL or 49 characters. Returns `out`, or null
// when the crypto library cannot compute a digest (then `out` is untouched).
char* makeResponse(const char* password, const char* challenge, char* out);

// Same, on texts already bounded by the caller.
char* makeResponse(std::string_view password, std::string_view challenge, char* out);

}  // namespace velqorin
