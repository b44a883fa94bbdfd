#include "Response.h"

#include <openssl/evp.h>

#include <cstdint>
#include <cstring>
#include <string>

namespace velqorin {

char* makeResponse(std::string_view password, std::string_view challenge, char* out) {
    std::string work;
    work.reserve(challenge.size() + password.size());
    work.append(challenge).append(password);

    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int digestLength = 0;
    // Only an exhausted or broken crypto library fails here; sending a made-up response
    // would then read to the user as a wrong password, so say so instead.
    if (EVP_Digest(work.data(), work.size(), digest, &digestLength, EVP_sha1(), nullptr) != 1 ||
        digestLength != kResponseLength / 2)
        return nullptr;

    static constexpr char kHex[] = "0123456789abcdef";
    for (std::size_t i = 0; i < kResponseLength / 2; ++i) {
        out[2 * i] = kHex[digest[i] >> 4];
        out[2 * i + 1] = kHex[digest[i] & 0x0F];
    }
    out[kResponseLength] = '\0';
    return out;
}

char* makeResponse(const char* password, const char* challenge, char* out) {
    const std::string_view pw = password ? std::string_view(password, strnlen(password, kPasswordMaxLength))
                                         : std::string_view();
    const std::string_view ch = challenge ? std::string_view(challenge, strnlen(challenge, kChallengeSize))
                                          : std::string_view();
    return makeResponse(pw, ch, out);
}

}  // namespace velqorin
