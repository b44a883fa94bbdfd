// The link over libpcap: Ethernet adapters that are up, opened for frames of our
// EtherType addressed to the adapter itself.
#pragma once

#include <pcap/pcap.h>

#include <memory>
#include <string>

#include "link/Link.h"
#include "linux/PcapOpen.h"

namespace velqorin {

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
    // Frames the kernel dropped for want of buffer since the adapter was opened.
    unsigned dropped() const override;
    std::string error() const override { return error_; }

    int selectableFd() const { return fd_; }
    // Reads what poll found: `revents` as poll returned them for selectableFd().
    bool readReady(short revents, const FrameStep& step);

private:
    PcapAdapter(std::string name, pcap_t* handle, int fd)
        : name_(std::move(name)), handle_(handle), fd_(fd) {}
    bool fail(const std::string& what);

    std::string name_;
    PcapHandle handle_;
    int fd_;
    std::string error_;
};

class PcapLink final : public Link {
public:
    explicit PcapLink(PcapOptions options = {}) : options_(options) {}
    std::optional<std::vector<std::string>> listAdapters() override;
    std::unique_ptr<LinkAdapter> open(const std::string& name) override;
    // One poll over every adapter's descriptor, then a read of each that is ready.
    std::vector<std::size_t> receiveAny(const std::vector<LinkAdapter*>& adapters,
                                        std::chrono::milliseconds timeout,
                                        const AdapterFrameStep& step) override;
    // The last failure on the calling thread: the process's link serves every thread.
    std::string error() const override { return error_; }

private:
    PcapOptions options_;
    static thread_local std::string error_;
};

}  // namespace velqorin
