// The simulator's one libpcap handle: it hears every protocol frame that reaches the interface,
// whichever box it is for, and sends the boxes' frames.
#pragma once

#include <pcap/pcap.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <stdexcept>
#include <string>

#include "linux/PcapOpen.h"

namespace velqorin::sim {

// A failed pcap or system call; the message names the call and the interface.
class LinkError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class PcapLink {
public:
    // Opens `interface` promiscuous (every box has its own MAC), inbound only, for EtherType
    // 0x0E0F only, non-blocking. Warnings from pcap_activate go to `warn`. Throws LinkError.
    PcapLink(const std::string& interface, const std::function<void(const std::string&)>& warn);

    // Waits on this with poll() for frames to read.
    int selectableFd() const { return fd_; }

    // Hands every frame already captured to `onFrame` (data, captured length, wire length).
    // Returns how many there were. Throws LinkError.
    using FrameHandler = std::function<void(const std::uint8_t*, std::size_t, std::size_t)>;
    int drain(const FrameHandler& onFrame);

    // Sends one frame, whole. Throws LinkError.
    void send(std::span<const std::uint8_t> frame);

    // Frames the kernel dropped before we read them, or -1 when libpcap cannot tell.
    long long dropped();

private:
    PcapHandle handle_;
    std::string interface_;
    int fd_ = -1;
};

}  // namespace velqorin::sim
