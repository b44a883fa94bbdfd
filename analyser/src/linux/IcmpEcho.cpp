#include "linux/IcmpEcho.h"

#include <netinet/in.h>
#include <netinet/ip.h>
#include <netinet/ip_icmp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <span>

#include "support/Handles.h"

namespace velqorin {
namespace {

using SteadyClock = std::chrono::steady_clock;

std::uint16_t checksum(const std::uint8_t* data, std::size_t length) {
    std::uint32_t sum = 0;
    for (std::size_t i = 0; i + 1 < length; i += 2)
        sum += static_cast<std::uint32_t>(data[i] << 8 | data[i + 1]);
    if (length % 2) sum += static_cast<std::uint32_t>(data[length - 1] << 8);
    while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<std::uint16_t>(~sum);
}

std::atomic<std::uint16_t> g_sequence{1};

// The echoes of one socket, told apart by their sequence numbers, which follow each
// other from `first`.
class EchoRound {
public:
    EchoRound(int fd, bool raw, std::span<const Ipv4Bytes> addresses)
        : fd_(fd), raw_(raw), addresses_(addresses),
          identifier_(static_cast<std::uint16_t>(::getpid() & 0xFFFF)),
          first_(g_sequence.fetch_add(static_cast<std::uint16_t>(addresses.size()))),
          deadlines_(addresses.size()), settled_(addresses.size(), false),
          answered_(addresses.size(), false) {}

    void sendAll() {
        for (std::size_t i = 0; i < addresses_.size(); ++i) {
            if (send(i)) deadlines_[i] = SteadyClock::now() + kEchoTimeout;
            else settled_[i] = true;
            // Read as we go, so that a socket buffer smaller than a thousand replies
            // loses none of them.
            readWaiting();
        }
    }

    void waitForAnswers() {
        for (;;) {
            const auto last = latestOpenDeadline();
            if (!last) return;
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(*last - SteadyClock::now());
            pollfd waiter{fd_, POLLIN, 0};
            const int ready = ::poll(&waiter, 1, static_cast<int>(std::max<long long>(left.count(), 0) + 1));
            if (ready < 0 && errno != EINTR) return;
            if (ready > 0) readWaiting();
            else if (ready == 0 && SteadyClock::now() >= *last) return;
        }
    }

    std::vector<bool> answered() const { return answered_; }

private:
    std::uint16_t sequenceOf(std::size_t i) const { return static_cast<std::uint16_t>(first_ + i); }

    bool send(std::size_t i) {
        std::uint8_t request[8 + kEchoDataSize] = {};
        request[0] = ICMP_ECHO;
        request[4] = static_cast<std::uint8_t>(identifier_ >> 8);
        request[5] = static_cast<std::uint8_t>(identifier_ & 0xFF);
        const std::uint16_t sequence = sequenceOf(i);
        request[6] = static_cast<std::uint8_t>(sequence >> 8);
        request[7] = static_cast<std::uint8_t>(sequence & 0xFF);
        for (std::size_t k = 0; k < kEchoDataSize; ++k) request[8 + k] = static_cast<std::uint8_t>('a' + k % 23);
        const std::uint16_t sum = checksum(request, sizeof request);
        request[2] = static_cast<std::uint8_t>(sum >> 8);
        request[3] = static_cast<std::uint8_t>(sum & 0xFF);

        sockaddr_in to{};
        to.sin_family = AF_INET;
        std::memcpy(&to.sin_addr, addresses_[i].data(), 4);
        for (;;) {
            const ssize_t n = ::sendto(fd_, request, sizeof request, 0, reinterpret_cast<const sockaddr*>(&to),
                                       sizeof to);
            if (n < 0 && errno == EINTR) continue;
            return n == static_cast<ssize_t>(sizeof request);
        }
    }

    std::optional<SteadyClock::time_point> latestOpenDeadline() const {
        std::optional<SteadyClock::time_point> last;
        for (std::size_t i = 0; i < settled_.size(); ++i)
            if (!settled_[i] && (!last || deadlines_[i] > *last)) last = deadlines_[i];
        return last;
    }

    void readWaiting() {
        for (;;) {
            std::uint8_t packet[1500];
            sockaddr_in from{};
            socklen_t fromLength = sizeof from;
            const ssize_t n = ::recvfrom(fd_, packet, sizeof packet, MSG_DONTWAIT,
                                         reinterpret_cast<sockaddr*>(&from), &fromLength);
            if (n < 0) {
                if (errno == EINTR) continue;
                return;
            }
            take(packet, static_cast<std::size_t>(n), from, SteadyClock::now());
        }
    }

    // The first echo reply of an address settles it: answered when it came in time and
    // carries the 32 bytes.
    void take(const std::uint8_t* packet, std::size_t n, const sockaddr_in& from, SteadyClock::time_point at) {
        std::size_t offset = 0;
        if (raw_) {
            if (n < 20) return;
            offset = static_cast<std::size_t>(packet[0] & 0x0F) * 4;
        }
        if (n < offset + 8) return;
        const std::uint8_t* icmp = packet + offset;
        if (icmp[0] != ICMP_ECHOREPLY) return;
        const auto id = static_cast<std::uint16_t>(icmp[4] << 8 | icmp[5]);
        if (raw_ && id != identifier_) return;
        const auto sequence = static_cast<std::uint16_t>(icmp[6] << 8 | icmp[7]);
        const std::size_t i = static_cast<std::uint16_t>(sequence - first_);
        if (i >= addresses_.size() || settled_[i]) return;
        if (std::memcmp(&from.sin_addr, addresses_[i].data(), 4) != 0) return;
        if (at > deadlines_[i]) return;
        settled_[i] = true;
        answered_[i] = n - offset - 8 == kEchoDataSize;
    }

    const int fd_;
    const bool raw_;
    const std::span<const Ipv4Bytes> addresses_;
    const std::uint16_t identifier_;
    const std::uint16_t first_;
    std::vector<SteadyClock::time_point> deadlines_;
    std::vector<bool> settled_;
    std::vector<bool> answered_;
};

// Room for every reply of a large round, where the system allows it.
void widenReceiveBuffer(int fd, std::size_t echoes) {
    const int bytes = static_cast<int>(std::min<std::size_t>(64 * 1024 + echoes * 2048, 16 << 20));
    if (::setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &bytes, sizeof bytes) != 0)
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
}

}  // namespace

std::optional<std::vector<bool>> icmpEchoAll(const std::vector<Ipv4Bytes>& addresses, EchoSocket kind) {
    // A raw socket sees every ICMP message of the host and gets the IP header; the
    // unprivileged datagram kind sees only its own echoes, without the header, and the
    // kernel picks its identifier.
    const bool raw = kind == EchoSocket::Raw;
    std::vector<bool> answered;
    answered.reserve(addresses.size());
    // A socket per round of at most 65535, whose sequence numbers are then all distinct.
    for (std::size_t from = 0; from < addresses.size(); from += kMaxEchoesAtOnce) {
        const int fd = ::socket(AF_INET, (raw ? SOCK_RAW : SOCK_DGRAM) | SOCK_CLOEXEC, IPPROTO_ICMP);
        if (fd < 0) return std::nullopt;
        const UniqueFd sock(fd);
        const auto chunk = std::span(addresses).subspan(from, std::min(kMaxEchoesAtOnce, addresses.size() - from));
        if (chunk.size() > 16) widenReceiveBuffer(fd, chunk.size());
        EchoRound round(fd, raw, chunk);
        round.sendAll();
        round.waitForAnswers();
        const std::vector<bool> got = round.answered();
        answered.insert(answered.end(), got.begin(), got.end());
    }
    return answered;
}

Echo icmpEcho(const std::uint8_t (&address)[4], EchoSocket kind) {
    const auto answered = icmpEchoAll({Ipv4Bytes{address[0], address[1], address[2], address[3]}}, kind);
    if (!answered) return Echo::NoSocket;
    return answered->front() ? Echo::Answered : Echo::NoAnswer;
}

}  // namespace velqorin
