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
constexpr const char* kFilter = "ether proto 0x0e0f";

struct CodeFreer {
    void operator()(bpf_program* p) const { pcap_freecode(p); }
};

std::string hint(int status) {
    switch (status) {
        case PCAP_ERROR_PERM_DENIED:
            return "; run as root or grant the program CAP_NET_RAW";
        case PCAP_ERROR_NO_SUCH_DEVICE:
            return "; check the interface name with `ip link`";
        case PCAP_ERROR_IFACE_NOT_UP:
            return "; bring it up with `ip link set IF up`";
        case PCAP_ERROR_PROMISC_PERM_DENIED:
            return "; promiscuous mode needs root or CAP_NET_ADMIN";
        default:
            return {};
    }
}

}  // namespace

PcapLink::PcapLink(const std::string& interface,
                   const std::function<void(const std::string&)>& warn)
    : interface_(interface) {
    char errbuf[PCAP_ERRBUF_SIZE] = {};
    handle_.reset(pcap_create(interface.c_str(), errbuf));
    if (!handle_) throw LinkError("pcap_create " + interface + ": " + errbuf);
    pcap_t* p = handle_.get();
    auto check = [&](int status, const char* call) {
        if (status != 0)
            throw LinkError(std::string(call) + " on " + interface + ": " + pcap_statustostr(status));
    };
    check(pcap_set_snaplen(p, kSnapLength), "pcap_set_snaplen");
    check(pcap_set_promisc(p, 1), "pcap_set_promisc");
    check(pcap_set_immediate_mode(p, 1), "pcap_set_immediate_mode");
    check(pcap_set_buffer_size(p, kBufferBytes), "pcap_set_buffer_size");

    const int status = pcap_activate(p);
    if (status < 0) {
        // The detailed text is in pcap_geterr for the generic failures only.
        std::string why = pcap_statustostr(status);
        const std::string detail = pcap_geterr(p);
        if (!detail.empty() && detail != why) why += " (" + detail + ")";
        throw LinkError("cannot open " + interface + " for capture: pcap_activate: " + why +
                        hint(status));
    }
    if (status > 0) {
        std::string why = pcap_statustostr(status);
        const std::string detail = pcap_geterr(p);
        if (!detail.empty() && detail != why) why += " (" + detail + ")";
        warn("pcap_activate on " + interface + ": warning: " + why);
    }

    if (pcap_datalink(p) != DLT_EN10MB)
        throw LinkError(interface + " is not an Ethernet interface (pcap_datalink " +
                        std::to_string(pcap_datalink(p)) + ")");

    bpf_program program{};
    if (pcap_compile(p, &program, kFilter, 1, PCAP_NETMASK_UNKNOWN) != 0)
        throw LinkError("pcap_compile \"" + std::string(kFilter) + "\": " + pcap_geterr(p));
    const std::unique_ptr<bpf_program, CodeFreer> code(&program);
    if (pcap_setfilter(p, &program) != 0)
        throw LinkError("pcap_setfilter on " + interface + ": " + pcap_geterr(p));
    // Our own frames must not come back to us as requests.
    if (pcap_setdirection(p, PCAP_D_IN) != 0)
        throw LinkError("pcap_setdirection on " + interface + ": " + pcap_geterr(p));
    if (pcap_setnonblock(p, 1, errbuf) != 0)
        throw LinkError("pcap_setnonblock on " + interface + ": " + errbuf);
    fd_ = pcap_get_selectable_fd(p);
    if (fd_ < 0) throw LinkError("pcap_get_selectable_fd on " + interface + ": no descriptor");
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
