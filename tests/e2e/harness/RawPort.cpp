#include "harness/RawPort.h"

#include <arpa/inet.h>
#include <linux/if_packet.h>
#include <net/ethernet.h>
#include <net/if.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "harness/Error.h"
#include "harness/Netns.h"
#include "support/Mac.h"

namespace velqorin::e2e {

namespace {

using Clock = std::chrono::steady_clock;

// Large enough for any frame a veth or a bridge carries at the default MTU, and more.
constexpr std::size_t kReceiveBuffer = 65536;
constexpr std::size_t kHeader = 14;

}  // namespace

Mac parseMac(const std::string& text) {
    // The lab's files write colons; anything else is a fault in them.
    const auto mac = text.find('-') == std::string::npos ? velqorin::parseMac(text) : std::nullopt;
    if (!mac) throw HarnessError("not a MAC address: '" + text + "'");
    return *mac;
}

std::string macText(const Mac& mac) { return velqorin::macText(mac.data()); }

bool CapturedFrame::outgoing() const { return packetType == PACKET_OUTGOING; }

Mac CapturedFrame::destination() const {
    Mac mac{};
    if (bytes.size() >= kHeader) std::memcpy(mac.data(), bytes.data(), mac.size());
    return mac;
}

Mac CapturedFrame::source() const {
    Mac mac{};
    if (bytes.size() >= kHeader) std::memcpy(mac.data(), bytes.data() + 6, mac.size());
    return mac;
}

std::uint16_t CapturedFrame::etherType() const {
    if (bytes.size() < kHeader) return 0;
    return static_cast<std::uint16_t>((bytes[12] << 8) | bytes[13]);
}

RawPort RawPort::open(const std::string& netns, const std::string& interface, bool promiscuous) {
    NetnsGuard inside(netns);
    return RawPort(interface, promiscuous);
}

RawPort::RawPort(const std::string& interface, bool promiscuous) : interface_(interface) {
    // Protocol 0 receives nothing until bind, so no frame of another interface slips into
    // the queue between socket() and bind().
    socket_ = Fd(::socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, 0));
    if (!socket_)
        throw HarnessError(systemError("cannot open a raw socket for " + interface, errno) +
                           "; run the e2e tests as root");
    ifreq request{};
    if (interface.size() >= sizeof request.ifr_name)
        throw HarnessError("interface name too long: " + interface);
    std::memcpy(request.ifr_name, interface.c_str(), interface.size() + 1);
    if (::ioctl(socket_.get(), SIOCGIFINDEX, &request) != 0)
        throw HarnessError(systemError("no interface " + interface + " in this namespace", errno));
    ifindex_ = request.ifr_ifindex;
    if (::ioctl(socket_.get(), SIOCGIFHWADDR, &request) != 0)
        throw HarnessError(systemError("cannot read the MAC of " + interface, errno));
    std::memcpy(mac_.data(), request.ifr_hwaddr.sa_data, mac_.size());

    sockaddr_ll address{};
    address.sll_family = AF_PACKET;
    address.sll_protocol = htons(ETH_P_ALL);
    address.sll_ifindex = ifindex_;
    if (::bind(socket_.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
        throw HarnessError(systemError("cannot bind a raw socket to " + interface, errno));
    if (promiscuous) {
        // A membership, not the interface flag: the kernel drops it with the socket.
        packet_mreq membership{};
        membership.mr_ifindex = ifindex_;
        membership.mr_type = PACKET_MR_PROMISC;
        if (::setsockopt(socket_.get(), SOL_PACKET, PACKET_ADD_MEMBERSHIP, &membership,
                         sizeof membership) != 0)
            throw HarnessError(systemError("cannot make " + interface + " promiscuous", errno));
    }
}

void RawPort::send(std::span<const std::uint8_t> frame) {
    const ssize_t sent = ::send(socket_.get(), frame.data(), frame.size(), 0);
    if (sent < 0)
        throw HarnessError(systemError("cannot send a " + std::to_string(frame.size()) +
                                           "-byte frame on " + interface_,
                                       errno));
    if (static_cast<std::size_t>(sent) != frame.size())
        throw HarnessError("sent " + std::to_string(sent) + " of " + std::to_string(frame.size()) +
                           " bytes on " + interface_);
}

std::optional<CapturedFrame> RawPort::receive(std::chrono::milliseconds timeout) {
    return receiveMatching([](const CapturedFrame&) { return true; }, timeout);
}

std::optional<CapturedFrame> RawPort::receiveMatching(
    const std::function<bool(const CapturedFrame&)>& match, std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    std::vector<std::uint8_t> buffer(kReceiveBuffer);
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        pollfd p{socket_.get(), POLLIN, 0};
        const int ready = ::poll(&p, 1, left.count() > 0 ? static_cast<int>(left.count()) : 0);
        if (ready < 0) {
            if (errno == EINTR) continue;
            throw HarnessError(systemError("poll on " + interface_, errno));
        }
        if (ready == 0) return std::nullopt;
        sockaddr_ll from{};
        socklen_t fromLength = sizeof from;
        const ssize_t n = ::recvfrom(socket_.get(), buffer.data(), buffer.size(), MSG_TRUNC,
                                     reinterpret_cast<sockaddr*>(&from), &fromLength);
        if (n < 0) {
            // ENETDOWN is reported once when the interface goes down; the socket receives
            // again once it is up, and a down interface simply carries nothing.
            if (errno == EINTR || errno == ENETDOWN) continue;
            throw HarnessError(systemError("cannot read a frame on " + interface_, errno));
        }
        CapturedFrame frame;
        frame.wireLength = static_cast<std::size_t>(n);
        const std::size_t kept = std::min(frame.wireLength, buffer.size());
        frame.bytes.assign(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(kept));
        frame.packetType = from.sll_pkttype;
        if (match(frame)) return frame;
    }
}

std::vector<CapturedFrame> RawPort::collect(std::chrono::milliseconds period) {
    std::vector<CapturedFrame> frames;
    const auto deadline = Clock::now() + period;
    // Past the deadline it still takes what is queued, so collect(0ms) reads the backlog.
    for (;;) {
        const auto left = std::max(std::chrono::milliseconds(0),
                                   std::chrono::duration_cast<std::chrono::milliseconds>(
                                       deadline - Clock::now()));
        auto frame = receive(left);
        if (!frame) return frames;
        frames.push_back(std::move(*frame));
    }
}

void RawPort::drain() {
    while (receive(std::chrono::milliseconds(0))) {
    }
}

}  // namespace velqorin::e2e
