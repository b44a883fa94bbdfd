#include "Secret.h"

#include <string.h>

namespace velqorin::cli {

Secret::~Secret() { wipe(text_); }

Secret& Secret::operator=(Secret&& other) noexcept {
    if (this != &other) {
        wipe(text_);
        text_ = std::move(other.text_);
    }
    return *this;
}

void wipe(std::string& text) {
    // The whole buffer, not only the characters in use now.
    text.resize(text.capacity());
    explicit_bzero(text.data(), text.size());
    text.clear();
}

}  // namespace velqorin::cli
