#include "PcapLink.h"

#include <cerrno>
#include <cstring>
#include <thread>

namespace velqorin::sim {

namespace {

// Room for any untagged Ethernet frame; a larger snapshot makes libpcap size its ring slots
// for 64 KiB packets, and bursts then overflow it.
constexpr int kSnapLength = 1514;
// A burst of a thousand commands or more must fit while the program is busy sending.
constexpr int kBufferBytes = 16 << 20;

}  // namespace

PcapLink::PcapLink(const std::string& interface,
                   const std::function<void(const std::string&)>& warn)
    : interface_(interface) {
    PcapOpenSettings settings;
    settings.snapLength = kSnapLength;
    settings.bufferBytes = kBufferBytes;
    // Every box has its own MAC: all of them are heard.
    settings.promiscuous = true;
    settings.filter = "ether proto 0x0e0f";
    std::string error;
    handle_ = openPcap(interface, settings, error, warn);
    if (!handle_) throw LinkError(error);
    fd_ = pcap_get_selectable_fd(handle_.get());
}

int PcapLink::drain(const FrameHandler& onFrame) {
    struct Context {
        const FrameHandler* handler;
    } context{&onFrame};
    auto callback = [](u_char* user, const pcap_pkthdr* header, const u_char* bytes) {
        const auto* c = reinterpret_cast<Context*>(user);
        (*c->handler)(bytes, header->caplen, header->len);
    };
    int total = 0;
    for (;;) {
        const int n = pcap_dispatch(handle_.get(), -1, callback, reinterpret_cast<u_char*>(&context));
        if (n == PCAP_ERROR)
            throw LinkError("pcap_dispatch on " + interface_ + ": " + pcap_geterr(handle_.get()));
        if (n <= 0) return total;
        total += n;
    }
}

void PcapLink::send(std::span<const std::uint8_t> frame) {
    // A full socket buffer is only a moment's congestion; anything else, or congestion that
    // lasts a second, is a real failure and stops the program rather than lose frames quietly.
    for (int attempt = 0;; ++attempt) {
        errno = 0;
        const int sent = pcap_inject(handle_.get(), frame.data(), frame.size());
        const int error = errno;
        if (sent == static_cast<int>(frame.size())) return;
        if (sent >= 0)
            throw LinkError("pcap_inject on " + interface_ + ": sent " + std::to_string(sent) +
                            " of " + std::to_string(frame.size()) + " bytes");
        const bool transient = error == ENOBUFS || error == EAGAIN || error == EINTR;
        if (!transient || attempt >= 1000)
            throw LinkError("pcap_inject on " + interface_ + ": " + pcap_geterr(handle_.get()));
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

long long PcapLink::dropped() {
    pcap_stat stats{};
    if (pcap_stats(handle_.get(), &stats) != 0) return -1;
    return static_cast<long long>(stats.ps_drop) + stats.ps_ifdrop;
}

}  // namespace velqorin::sim
