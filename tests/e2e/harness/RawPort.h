// A raw AF_PACKET socket on one interface of a lab namespace, for tests that need to
// put exact bytes on the wire or see exactly what crossed it.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "harness/Fd.h"

namespace velqorin::e2e {

using Mac = std::array<std::uint8_t, 6>;

// "02:00:00:aa:00:01" <-> bytes. parseMac throws HarnessError on anything else.
Mac parseMac(const std::string& text);
std::string macText(const Mac& mac);

struct CapturedFrame {
    std::vector<std::uint8_t> bytes;  // as captured, at most the receive buffer
    std::size_t wireLength = 0;       // the frame's real length
    std::uint8_t packetType = 0;      // PACKET_HOST, PACKET_OUTGOING, ...

    bool outgoing() const;
    Mac destination() const;  // zeros for frames shorter than a header
    Mac source() const;
    std::uint16_t etherType() const;  // 0 for frames shorter than a header
};

class RawPort {
public:
    // Opens `interface` of the named namespace; the socket stays bound to it after the
    // thread has returned to its own namespace. Promiscuous by default, so frames to
    // other MACs are seen on bridges too. Throws HarnessError.
    static RawPort open(const std::string& netns, const std::string& interface,
                        bool promiscuous = true);
    // The same, on an interface of the namespace the thread is in now.
    explicit RawPort(const std::string& interface, bool promiscuous = true);

    const std::string& interface() const { return interface_; }
    int ifindex() const { return ifindex_; }
    const Mac& mac() const { return mac_; }

    // Sends `frame` as it is: any length the interface takes, any EtherType, any
    // destination. Throws HarnessError when the kernel refuses it or sends less.
    void send(std::span<const std::uint8_t> frame);

    // The next frame seen on the interface in either direction, other than those this
    // port sent, or nothing after `timeout`.
    std::optional<CapturedFrame> receive(std::chrono::milliseconds timeout);
    // The first frame within `timeout` for which `match` holds; the others are dropped.
    std::optional<CapturedFrame> receiveMatching(
        const std::function<bool(const CapturedFrame&)>& match, std::chrono::milliseconds timeout);
    // Every frame seen for `period`.
    std::vector<CapturedFrame> collect(std::chrono::milliseconds period);
    // Drops what was queued before now, so that a check starts clean.
    void drain();

private:
    Fd socket_;
    std::string interface_;
    int ifindex_ = 0;
    Mac mac_{};
};

}  // namespace velqorin::e2e
