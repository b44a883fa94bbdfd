// The link over libpcap: Ethernet adapters that are up, opened for frames of our
// EtherType addressed to the adapter itself.
#pragma once

#include <pcap/pcap.h>

#include <memory>
#include <string>

#include "Link.h"

namespace velqorin {

// Enough for a burst of replies from a large fleet to wait in the kernel while the
// caller pauses before reading. With our snap length every frame takes a 1584-byte ring
// slot, so this holds about 2600 replies: a 1000-box burst with room to spare, where
// 2 MiB leaves little and 1 MiB loses a third (bench/link_burst).
inline constexpr int kCaptureBufferBytes = 4 * 1024 * 1024;
// An Ethernet frame without its FCS; larger snap lengths make libpcap size every ring
// slot for 64 KiB on offloading devices, and a burst of small replies no longer fits.
inline constexpr int kSnapLength = 1514;

// 0 leaves the setting to libpcap, as a program that never sets it gets.
struct PcapOptions {
    int bufferBytes = kCaptureBufferBytes;
    int snapLength = kSnapLength;
};

class PcapAdapter final : public LinkAdapter {
public:
    // Null, with `error` set, when the adapter cannot be opened as we need it.
    static std::unique_ptr<PcapAdapter> open(const std::string& name, const PcapOptions& options,
                                             std::string& error);

    bool send(const std::uint8_t* frame, std::size_t length) override;
    bool receive(std::chrono::milliseconds timeout, const FrameStep& step) override;
    bool queryMac(std::uint8_t* mac) override;
    std::string error() const override { return error_; }

    // Frames the kernel dropped for want of buffer since the adapter was opened.
    unsigned dropped() const;

private:
    struct PcapClose {
        void operator()(pcap_t* p) const { pcap_close(p); }
    };
    PcapAdapter(std::string name, pcap_t* handle, int fd)
        : name_(std::move(name)), handle_(handle), fd_(fd) {}
    bool fail(const std::string& what);

    std::string name_;
    std::unique_ptr<pcap_t, PcapClose> handle_;
    int fd_;
    std::string error_;
};

class PcapLink final : public Link {
public:
    explicit PcapLink(PcapOptions options = {}) : options_(options) {}
    std::optional<std::vector<std::string>> listAdapters() override;
    std::unique_ptr<LinkAdapter> open(const std::string& name) override;
    std::string error() const override { return error_; }

private:
    PcapOptions options_;
    std::string error_;
};

// The hardware address of a network interface, when it is an Ethernet one.
bool readEthernetMac(const std::string& name, std::uint8_t* mac, std::string& error);

}  // namespace velqorin
