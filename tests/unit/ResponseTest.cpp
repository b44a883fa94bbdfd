#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "model/Response.h"

using velqorin::makeResponse;

namespace {

std::string response(const char* password, const char* challenge) {
    char out[50];
    std::memset(out, '#', sizeof out);
    EXPECT_EQ(makeResponse(password, challenge, out), out);
    EXPECT_EQ(out[40], '\0');
    EXPECT_EQ(out[41], '#');  // nothing written past the terminator
    return out;
}

TEST(Response, Fips180OneVectors) {
    // The work text is challenge then password, so each vector may be split anywhere.
    EXPECT_EQ(response("", ""), "da39a3ee5e6b4b0d3255bfef95601890afd80709");
    EXPECT_EQ(response("abc", ""), "a9993e364706816aba3e25717850c26c9cd0d89d");
    EXPECT_EQ(response("", "abc"), "a9993e364706816aba3e25717850c26c9cd0d89d");
    EXPECT_EQ(response("c", "ab"), "a9993e364706816aba3e25717850c26c9cd0d89d");
    EXPECT_EQ(response("hijkijkljklmklmnlmnomnopnopq", "abcdbcdecdefdefgefghfghighij"),
              "84983e441c3bd26ebaae4aa1f95129e5e54670f1");
}

TEST(Response, ChallengeComesFirst) {
    EXPECT_NE(response("pass", "chal"), response("chal", "pass"));
    EXPECT_EQ(response("pass", "chal"), response("", "chalpass"));
}

TEST(Response, AlwaysFortyLowerCaseHexDigits) {
    for (const char* pw : {"", "a", "Secret Password", "\xe9t\xe9"}) {
        const std::string r = response(pw, "Q7#x");
        ASSERT_EQ(r.size(), 40u);
        EXPECT_EQ(r.find_first_not_of("0123456789abcdef"), std::string::npos) << r;
    }
}

TEST(Response, InputsReadNoFurtherThanTheirFields) {
    // A challenge field without NUL is its 30 bytes; what follows it is not read.
    char field[31];
    std::memset(field, 'c', 30);
    field[30] = 'X';
    EXPECT_EQ(response("pw", field), response("pw", std::string(30, 'c').c_str()));

    // A password is at most 49 characters.
    const std::string longPassword(60, 'p');
    EXPECT_EQ(response(longPassword.c_str(), "ch"), response(std::string(49, 'p').c_str(), "ch"));
    EXPECT_NE(response(std::string(48, 'p').c_str(), "ch"), response(longPassword.c_str(), "ch"));
}

}  // namespace
