#include "model/Response.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <cstdint>
#include <cstring>
#include <memory>

namespace velqorin {

char* makeResponse(std::string_view password, std::string_view challenge, char* out) {
    // The challenge and the password hashed as one text, without a copy of the password
    // that would outlive the call.
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int digestLength = 0;
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(), &EVP_MD_CTX_free);
    // Only an exhausted or broken crypto library fails here; sending a made-up response
    // would then read to the user as a wrong password, so say so instead.
    const bool digested = context && EVP_DigestInit_ex(context.get(), EVP_sha1(), nullptr) == 1 &&
                          EVP_DigestUpdate(context.get(), challenge.data(), challenge.size()) == 1 &&
                          EVP_DigestUpdate(context.get(), password.data(), password.size()) == 1 &&
                          EVP_DigestFinal_ex(context.get(), digest, &digestLength) == 1 &&
                          digestLength == kResponseLength / 2;
    if (!digested) {
        OPENSSL_cleanse(digest, sizeof digest);
        return nullptr;
    }

    static constexpr char kHex[] = "0123456789abcdef";
    for (std::size_t i = 0; i < kResponseLength / 2; ++i) {
        out[2 * i] = kHex[digest[i] >> 4];
        out[2 * i + 1] = kHex[digest[i] & 0x0F];
    }
    out[kResponseLength] = '\0';
    OPENSSL_cleanse(digest, sizeof digest);
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
