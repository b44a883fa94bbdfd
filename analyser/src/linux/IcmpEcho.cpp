#include "linux/IcmpEcho.h"

#include <netinet/in.h>
#include <netinet/ip.h>
#include <netinet/ip_icmp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

#include "support/Handles.h"

namespace velqorin {
namespace {

std::uint16_t checksum(const std::uint8_t* data, std::size_t length) {
    std::uint32_t sum = 0;
    for (std::size_t i = 0; i + 1 < length; i += 2)
        sum += static_cast<std::uint32_t>(data[i] << 8 | data[i + 1]);
    if (length % 2) sum += static_cast<std::uint32_t>(data[length - 1] << 8);
    while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<std::uint16_t>(~sum);
}

std::atomic<std::uint16_t> g_sequence{1};

}  // namespace

Echo icmpEcho(const std::uint8_t (&address)[4], EchoSocket kind) {
    // A raw socket sees every ICMP message of the host and gets the IP header; the
    // unprivileged datagram kind sees only its own echoes, without the header, and the
    // kernel picks its identifier.
    const bool raw = kind == EchoSocket::Raw;
    const int fd = ::socket(AF_INET, (raw ? SOCK_RAW : SOCK_DGRAM) | SOCK_CLOEXEC, IPPROTO_ICMP);
    if (fd < 0) return Echo::NoSocket;
    const UniqueFd sock(fd);

    const auto identifier = static_cast<std::uint16_t>(::getpid() & 0xFFFF);
    const std::uint16_t sequence = g_sequence++;
    std::uint8_t request[8 + kEchoDataSize] = {};
    request[0] = ICMP_ECHO;
    request[4] = static_cast<std::uint8_t>(identifier >> 8);
    request[5] = static_cast<std::uint8_t>(identifier & 0xFF);
    request[6] = static_cast<std::uint8_t>(sequence >> 8);
    request[7] = static_cast<std::uint8_t>(sequence & 0xFF);
    for (std::size_t i = 0; i < kEchoDataSize; ++i) request[8 + i] = static_cast<std::uint8_t>('a' + i % 23);
    const std::uint16_t sum = checksum(request, sizeof request);
    request[2] = static_cast<std::uint8_t>(sum >> 8);
    request[3] = static_cast<std::uint8_t>(sum & 0xFF);

    sockaddr_in to{};
    to.sin_family = AF_INET;
    std::memcpy(&to.sin_addr, address, 4);
    if (::sendto(fd, request, sizeof request, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to) !=
        static_cast<ssize_t>(sizeof request))
        return Echo::NoAnswer;

    const auto deadline = std::chrono::steady_clock::now() + kEchoTimeout;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return Echo::NoAnswer;
        pollfd waiter{fd, POLLIN, 0};
        const int ready = ::poll(&waiter, 1, static_cast<int>(left.count()));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) return Echo::NoAnswer;

        std::uint8_t packet[1500];
        sockaddr_in from{};
        socklen_t fromLength = sizeof from;
        const ssize_t n = ::recvfrom(fd, packet, sizeof packet, 0, reinterpret_cast<sockaddr*>(&from),
                                     &fromLength);
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN) continue;
            return Echo::NoAnswer;
        }
        if (std::memcmp(&from.sin_addr, address, 4) != 0) continue;
        std::size_t offset = 0;
        if (raw) {
            if (n < 20) continue;
            offset = static_cast<std::size_t>(packet[0] & 0x0F) * 4;
        }
        if (static_cast<std::size_t>(n) < offset + 8) continue;
        const std::uint8_t* icmp = packet + offset;
        if (icmp[0] != ICMP_ECHOREPLY) continue;
        const auto seq = static_cast<std::uint16_t>(icmp[6] << 8 | icmp[7]);
        const auto id = static_cast<std::uint16_t>(icmp[4] << 8 | icmp[5]);
        if (seq != sequence || (raw && id != identifier)) continue;
        return static_cast<std::size_t>(n) - offset - 8 == kEchoDataSize ? Echo::Answered : Echo::NoAnswer;
    }
}

}  // namespace velqorin
