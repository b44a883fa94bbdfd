#include "Terminal.h"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <iostream>

namespace velqorin::cli {
namespace {

class Tty {
public:
    Tty() : fd_(::open("/dev/tty", O_RDWR | O_CLOEXEC)) {}
    ~Tty() {
        if (fd_ >= 0) ::close(fd_);
    }
    Tty(const Tty&) = delete;
    Tty& operator=(const Tty&) = delete;
    bool ok() const { return fd_ >= 0; }
    int fd() const { return fd_; }

    void write(const std::string& text) const {
        std::size_t done = 0;
        while (done < text.size()) {
            const ssize_t n = ::write(fd_, text.data() + done, text.size() - done);
            if (n <= 0) return;
            done += static_cast<std::size_t>(n);
        }
    }
    std::optional<std::string> readLine() const {
        std::string line;
        char c;
        for (;;) {
            const ssize_t n = ::read(fd_, &c, 1);
            if (n <= 0) return line.empty() ? std::nullopt : std::optional(line);
            if (c == '\n') return line;
            if (c != '\r') line += c;
        }
    }

private:
    int fd_;
};

// Echo is put back however the read ends.
class EchoOff {
public:
    explicit EchoOff(int fd) : fd_(fd), saved_{}, changed_(::tcgetattr(fd, &saved_) == 0) {
        if (!changed_) return;
        termios quiet = saved_;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        changed_ = ::tcsetattr(fd, TCSAFLUSH, &quiet) == 0;
    }
    ~EchoOff() {
        if (changed_) ::tcsetattr(fd_, TCSAFLUSH, &saved_);
    }
    EchoOff(const EchoOff&) = delete;
    EchoOff& operator=(const EchoOff&) = delete;

private:
    int fd_;
    termios saved_;
    bool changed_;
};

}  // namespace

bool haveTerminal() { return Tty().ok(); }

std::optional<std::string> readSecret(const std::string& prompt, bool fromStdin) {
    if (fromStdin) {
        std::string line;
        if (!std::getline(std::cin, line)) return std::nullopt;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        return line;
    }
    Tty tty;
    if (!tty.ok()) return std::nullopt;
    tty.write(prompt);
    std::optional<std::string> secret;
    {
        EchoOff quiet(tty.fd());
        secret = tty.readLine();
    }
    tty.write("\n");
    return secret;
}

bool confirm(const std::string& question) {
    Tty tty;
    if (!tty.ok()) return false;
    tty.write(question + " [y/N] ");
    const auto answer = tty.readLine();
    return answer && !answer->empty() &&
           (answer->front() == 'y' || answer->front() == 'Y' || answer->front() == 'o' ||
            answer->front() == 'O');
}

}  // namespace velqorin::cli
