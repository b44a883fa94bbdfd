#include "Terminal.h"

#include <fcntl.h>
#include <signal.h>
#include <string.h>
#include <termios.h>
#include <unistd.h>

#include <array>
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
    // The same, into a secret.
    std::optional<Secret> readSecretLine() const {
        Secret line;
        char c = 0;
        for (;;) {
            const ssize_t n = ::read(fd_, &c, 1);
            if (n <= 0) break;
            if (c == '\n') return line;
            if (c != '\r') line.add(c);
        }
        explicit_bzero(&c, sizeof c);
        if (line.empty()) return std::nullopt;
        return line;
    }

private:
    int fd_;
};

// The terminal as it was before echo went off, for a signal that ends the process
// meanwhile.
int g_echoFd = -1;
termios g_echoSaved{};

extern "C" void restoreEchoAndEnd(int signal) {
    ::tcsetattr(g_echoFd, TCSAFLUSH, &g_echoSaved);
    // The shell's prompt then starts on a line of its own.
    [[maybe_unused]] const ssize_t n = ::write(g_echoFd, "\n", 1);
    ::signal(signal, SIG_DFL);
    ::raise(signal);
}

constexpr std::array kEndingSignals{SIGINT, SIGTERM, SIGHUP, SIGQUIT};

// Echo is put back however the read ends, also when a signal ends the process.
class EchoOff {
public:
    explicit EchoOff(int fd) : fd_(fd), saved_{}, changed_(::tcgetattr(fd, &saved_) == 0) {
        if (!changed_) return;
        g_echoFd = fd;
        g_echoSaved = saved_;
        struct sigaction action {};
        action.sa_handler = restoreEchoAndEnd;
        sigemptyset(&action.sa_mask);
        for (std::size_t i = 0; i < kEndingSignals.size(); ++i)
            ::sigaction(kEndingSignals[i], &action, &previous_[i]);
        termios quiet = saved_;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        changed_ = ::tcsetattr(fd, TCSAFLUSH, &quiet) == 0;
    }
    ~EchoOff() {
        if (changed_) ::tcsetattr(fd_, TCSAFLUSH, &saved_);
        if (g_echoFd != fd_) return;
        for (std::size_t i = 0; i < kEndingSignals.size(); ++i)
            ::sigaction(kEndingSignals[i], &previous_[i], nullptr);
        g_echoFd = -1;
    }
    EchoOff(const EchoOff&) = delete;
    EchoOff& operator=(const EchoOff&) = delete;

private:
    int fd_;
    termios saved_;
    bool changed_;
    std::array<struct sigaction, kEndingSignals.size()> previous_{};
};

}  // namespace

bool haveTerminal() { return Tty().ok(); }

std::optional<Secret> readSecret(const std::string& prompt, bool fromStdin) {
    if (fromStdin) {
        Secret line;
        bool any = false;
        for (int c = std::cin.get(); c != EOF && c != '\n'; c = std::cin.get()) {
            line.add(static_cast<char>(c));
            any = true;
        }
        if (!any && !std::cin) return std::nullopt;
        if (!line.empty() && line.text().back() == '\r') line.dropLast();
        return line;
    }
    Tty tty;
    if (!tty.ok()) return std::nullopt;
    tty.write(prompt);
    std::optional<Secret> secret;
    {
        EchoOff quiet(tty.fd());
        secret = tty.readSecretLine();
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
