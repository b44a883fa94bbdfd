// POSIX sockets, non-blocking, each wait a poll with what is left of its time.
#include "dialup/InfoQuery.h"

#include <atomic>

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace velqorin {

namespace {

using SteadyClock = std::chrono::steady_clock;

const InfoQueryLimits kDefaultLimits{};
std::atomic<const InfoQueryLimits*> currentLimits{&kDefaultLimits};

class TcpSocket {
public:
    TcpSocket() : fd_(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_TCP)) {}
    ~TcpSocket() {
        if (fd_ < 0) return;
        ::shutdown(fd_, SHUT_RDWR);
        ::close(fd_);
    }
    TcpSocket(const TcpSocket&) = delete;
    TcpSocket& operator=(const TcpSocket&) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};

// Waits for `events` on `fd` until `deadline` or until `stopped` says so. False on
// time-out, stop or failure.
bool waitFor(int fd, short events, SteadyClock::time_point deadline, const StopCheck& stopped) {
    for (;;) {
        if (stopped && stopped()) return false;
        auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - SteadyClock::now());
        if (left.count() <= 0) return false;
        if (stopped) left = std::min(left, kStopCheckPeriod);
        pollfd p{fd, events, 0};
        const int n = ::poll(&p, 1, static_cast<int>(left.count()));
        if (n < 0 && errno == EINTR) continue;
        if (n == 0 && stopped) continue;  // a slice is over, not the wait
        // Errors and hang-ups count as ready: the read or write that follows tells which.
        return n > 0;
    }
}

bool connectWithin(int fd, const std::array<std::uint8_t, 4>& address, std::uint16_t port,
                   std::chrono::milliseconds limit, const StopCheck& stopped) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    std::memcpy(&to.sin_addr, address.data(), address.size());
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to) == 0) return true;
    if (errno != EINPROGRESS && errno != EINTR) return false;
    if (!waitFor(fd, POLLOUT, SteadyClock::now() + limit, stopped)) return false;
    int error = 0;
    socklen_t size = sizeof error;
    return ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) == 0 && error == 0;
}

bool sendAll(int fd, std::string_view bytes, SteadyClock::time_point deadline,
             const StopCheck& stopped) {
    while (!bytes.empty()) {
        // MSG_NOSIGNAL: a box that resets the connection must not kill the caller with SIGPIPE.
        const ssize_t n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (n > 0) {
            bytes.remove_prefix(static_cast<std::size_t>(n));
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) &&
            waitFor(fd, POLLOUT, deadline, stopped))
            continue;
        return false;
    }
    return true;
}

}  // namespace

const InfoQueryLimits& infoQueryLimits() { return *currentLimits.load(); }

ScopedInfoQueryLimits::ScopedInfoQueryLimits(const InfoQueryLimits& limits)
    : previous_(currentLimits.exchange(&limits)) {}

ScopedInfoQueryLimits::~ScopedInfoQueryLimits() { currentLimits.store(previous_); }

std::optional<std::string> fetchInfoAnswer(const std::array<std::uint8_t, 4>& address,
                                           const InfoQueryLimits& limits,
                                           const StopCheck& stopped) {
    const TcpSocket s;
    if (s.get() < 0) return std::nullopt;
    // The request goes out in one segment, not held back waiting for more.
    const int on = 1;
    if (::setsockopt(s.get(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) != 0) return std::nullopt;
    if (!connectWithin(s.get(), address, limits.port, limits.connect, stopped))
        return std::nullopt;

    const auto deadline = SteadyClock::now() + limits.answer;
    if (!sendAll(s.get(), kInfoRequest, deadline, stopped)) return std::nullopt;

    // A box may send its answer in several segments: one read is not the whole answer.
    std::string answer;
    char chunk[4096];
    while (answer.size() < kInfoAnswerLimit) {
        const ssize_t n =
            ::recv(s.get(), chunk, std::min(sizeof chunk, kInfoAnswerLimit - answer.size()), 0);
        if (n > 0) {
            const std::string_view piece(chunk, static_cast<std::size_t>(n));
            answer.append(piece);
            // Only a piece with a tag's end in it can complete the answer.
            if (piece.find('>') != std::string_view::npos && parseInfoAnswer(answer)) break;
            continue;
        }
        if (n == 0) break;  // the box closed its side
        if (errno == EINTR) continue;
        if ((errno == EAGAIN || errno == EWOULDBLOCK) &&
            waitFor(s.get(), POLLIN, deadline, stopped))
            continue;
        break;  // reset, or the time is up
    }
    return answer;
}

}  // namespace velqorin
