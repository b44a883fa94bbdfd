// Passwords and unlock codes in velqorin's own memory: wiped when they go.
#pragma once

#include <cstddef>
#include <string>
#include <utility>

namespace velqorin::cli {

// A password or code. Its bytes are wiped when it goes, and its buffer is taken once and
// never grown, so no copy of it is left behind in freed memory.
class Secret {
public:
    static constexpr std::size_t kCapacity = 1023;

    Secret() { text_.reserve(kCapacity); }
    ~Secret();
    Secret(Secret&& other) noexcept : text_(std::move(other.text_)) {}
    Secret(const Secret&) = delete;
    Secret& operator=(const Secret&) = delete;
    Secret& operator=(Secret&& other) noexcept;

    // Appends one character; a secret longer than kCapacity is cut there.
    void add(char c) {
        if (text_.size() < kCapacity) text_ += c;
    }
    void dropLast() { text_.pop_back(); }
    const std::string& text() const { return text_; }
    const char* c_str() const { return text_.c_str(); }
    std::size_t size() const { return text_.size(); }
    bool empty() const { return text_.empty(); }

private:
    std::string text_;
};

// Overwrites a text's bytes where they are, so that freeing it leaves no copy behind.
void wipe(std::string& text);

}  // namespace velqorin::cli
