#pragma once

#include <stdexcept>
#include <string>

namespace velqorin::e2e {

// Whatever keeps the harness from setting up a test; the message says what failed and
// what to do about it.
class HarnessError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// "what: strerror(errno)", for failing system calls.
std::string systemError(const std::string& what, int error);

}  // namespace velqorin::e2e
