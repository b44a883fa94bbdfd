#include "linux/PcapLink.h"

#include <net/if.h>
#include <net/if_arp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "Handles.h"

namespace velqorin {
namespace {

std::string activateFailure(const std::string& name, int status, pcap_t* p) {
    std::string why = pcap_geterr(p);
    if (why.empty()) why = pcap_statustostr(status);
    std::string text = "cannot open " + name + " for raw capture: " + why;
    if (status == PCAP_ERROR_PERM_DENIED)
        text += "; run as root or grant CAP_NET_RAW (setcap cap_net_raw,cap_net_admin+ep)";
    return text;
}

}  // namespace

bool readEthernetMac(const std::string& name, std::uint8_t* mac, std::string& error) {
    if (name.size() >= IFNAMSIZ) {
        error = "no network interface is called " + name;
        return false;
    }
    const UniqueFd sock(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (sock.get() < 0) {
        error = std::string("socket: ") + std::strerror(errno);
        return false;
    }
    ifreq request{};
    std::memcpy(request.ifr_name, name.c_str(), name.size());
    if (::ioctl(sock.get(), SIOCGIFHWADDR, &request) != 0) {
        error = "cannot read the MAC address of " + name + ": " + std::strerror(errno);
        return false;
    }
    if (request.ifr_hwaddr.sa_family != ARPHRD_ETHER) {
        error = name + " is not an Ethernet adapter";
        return false;
    }
    std::memcpy(mac, request.ifr_hwaddr.sa_data, kMacSize);
    return true;
}

std::unique_ptr<PcapAdapter> PcapAdapter::open(const std::string& name, const PcapOptions& options,
                                               std::string& error) {
    char errbuf[PCAP_ERRBUF_SIZE] = "";
    std::unique_ptr<pcap_t, PcapClose> p(pcap_create(name.c_str(), errbuf));
    if (!p) {
        error = "pcap_create(" + name + "): " + errbuf;
        return nullptr;
    }
    auto setting = [&](const char* call, int status) {
        if (status == 0) return true;
        error = std::string(call) + "(" + name + "): " + pcap_statustostr(status);
        return false;
    };
    // Promiscuous mode stays off: the kernel filter below keeps our own directed frames.
    if ((options.snapLength > 0 &&
         !setting("pcap_set_snaplen", pcap_set_snaplen(p.get(), options.snapLength))) ||
        !setting("pcap_set_promisc", pcap_set_promisc(p.get(), 0)) ||
        !setting("pcap_set_immediate_mode", pcap_set_immediate_mode(p.get(), 1)) ||
        (options.bufferBytes > 0 &&
         !setting("pcap_set_buffer_size", pcap_set_buffer_size(p.get(), options.bufferBytes))))
        return nullptr;

    // Positive results are warnings (promiscuous mode not supported and the like):
    // the handle works.
    if (const int status = pcap_activate(p.get()); status < 0) {
        error = activateFailure(name, status, p.get());
        return nullptr;
    }
    if (pcap_datalink(p.get()) != DLT_EN10MB) {
        error = name + " is not an Ethernet adapter";
        return nullptr;
    }
    std::uint8_t mac[kMacSize];
    if (!readEthernetMac(name, mac, error)) return nullptr;
    // Our own frames must never come back as replies.
    if (pcap_setdirection(p.get(), PCAP_D_IN) != 0) {
        error = "pcap_setdirection(" + name + "): " + pcap_geterr(p.get());
        return nullptr;
    }
    const std::string filter = "ether proto 0x0e0f and ether dst " + macText(mac);
    bpf_program program{};
    if (pcap_compile(p.get(), &program, filter.c_str(), 1, PCAP_NETMASK_UNKNOWN) != 0) {
        error = "pcap_compile(" + filter + "): " + pcap_geterr(p.get());
        return nullptr;
    }
    const int filtered = pcap_setfilter(p.get(), &program);
    pcap_freecode(&program);
    if (filtered != 0) {
        error = "pcap_setfilter(" + name + "): " + pcap_geterr(p.get());
        return nullptr;
    }
    // A blocking read does not come back after its timeout when nothing arrives, so we
    // wait with poll and read without blocking.
    if (pcap_setnonblock(p.get(), 1, errbuf) != 0) {
        error = "pcap_setnonblock(" + name + "): " + errbuf;
        return nullptr;
    }
    const int fd = pcap_get_selectable_fd(p.get());
    if (fd < 0) {
        error = "pcap_get_selectable_fd(" + name + "): no descriptor to wait on";
        return nullptr;
    }
    return std::unique_ptr<PcapAdapter>(new PcapAdapter(name, p.release(), fd));
}

bool PcapAdapter::fail(const std::string& what) {
    error_ = what;
    return false;
}

bool PcapAdapter::send(const std::uint8_t* frame, std::size_t length) {
    if (pcap_sendpacket(handle_.get(), frame, static_cast<int>(length)) != 0)
        return fail("pcap_sendpacket(" + name_ + "): " + pcap_geterr(handle_.get()));
    return true;
}

namespace {

// poll() over `fds` for at most `timeout`, again after an interruption. The number of
// ready descriptors, 0 at the timeout, -1 with errno set on failure.
int pollFor(std::vector<pollfd>& fds, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        const int ready = ::poll(fds.data(), fds.size(),
                                 static_cast<int>(std::max<std::int64_t>(left.count(), 0)));
        if (ready >= 0 || errno != EINTR) return ready;
    }
}

}  // namespace

bool PcapAdapter::receive(std::chrono::milliseconds timeout, const FrameStep& step) {
    std::vector<pollfd> waiter{{fd_, POLLIN, 0}};
    const int ready = pollFor(waiter, timeout);
    if (ready == 0) return true;
    if (ready < 0) return fail("poll(" + name_ + "): " + std::strerror(errno));
    return readReady(waiter.front().revents, step);
}

bool PcapAdapter::readReady(short revents, const FrameStep& step) {
    if (revents & POLLERR) {
        // The kernel flags an adapter going down as a socket error that stays until it is
        // read: left there, every later read would fail at once, even with the adapter up.
        int pending = 0;
        socklen_t size = sizeof pending;
        if (::getsockopt(fd_, SOL_SOCKET, SO_ERROR, &pending, &size) != 0) pending = errno;
        return fail("the adapter " + name_ + " went down or away: " + std::strerror(pending));
    }
    if (revents & POLLNVAL) return fail("the adapter " + name_ + " went away");
    if (!(revents & POLLIN)) return true;

    struct Walk {
        const FrameStep* step;
        bool ended;
    } walk{&step, false};
    auto onFrame = [](u_char* user, const pcap_pkthdr* header, const u_char* bytes) {
        auto* w = reinterpret_cast<Walk*>(user);
        if (!w->ended) w->ended = !(*w->step)(bytes, header->caplen);
    };
    if (pcap_dispatch(handle_.get(), -1, onFrame, reinterpret_cast<u_char*>(&walk)) == PCAP_ERROR)
        return fail("pcap_dispatch(" + name_ + "): " + pcap_geterr(handle_.get()));
    return true;
}

bool PcapAdapter::queryMac(std::uint8_t* mac) {
    std::string why;
    if (!readEthernetMac(name_, mac, why)) return fail(why);
    return true;
}

unsigned PcapAdapter::dropped() const {
    pcap_stat stats{};
    if (pcap_stats(handle_.get(), &stats) != 0) return 0;
    return stats.ps_drop;
}

std::optional<std::vector<std::string>> PcapLink::listAdapters() {
    char errbuf[PCAP_ERRBUF_SIZE] = "";
    pcap_if_t* devices = nullptr;
    if (pcap_findalldevs(&devices, errbuf) != 0) {
        error_ = std::string("pcap_findalldevs: ") + errbuf;
        return std::nullopt;
    }
    std::unique_ptr<pcap_if_t, decltype(&pcap_freealldevs)> owner(devices, &pcap_freealldevs);
    std::vector<std::string> names;
    for (const pcap_if_t* d = devices; d != nullptr; d = d->next) {
        const std::string name = d->name;
        if (name == "any" || (d->flags & PCAP_IF_LOOPBACK) || !(d->flags & PCAP_IF_UP)) continue;
        // bluetooth, nflog, dbus and the like
        if ((d->flags & PCAP_IF_CONNECTION_STATUS) == PCAP_IF_CONNECTION_STATUS_NOT_APPLICABLE)
            continue;
        std::uint8_t mac[kMacSize];
        std::string notEthernet;
        if (!readEthernetMac(name, mac, notEthernet)) continue;
        names.push_back(name);
    }
    return names;
}

std::unique_ptr<LinkAdapter> PcapLink::open(const std::string& name) {
    return PcapAdapter::open(name, options_, error_);
}

std::vector<std::size_t> PcapLink::receiveAny(const std::vector<LinkAdapter*>& adapters,
                                              std::chrono::milliseconds timeout,
                                              const AdapterFrameStep& step) {
    std::vector<PcapAdapter*> ours;
    std::vector<pollfd> fds;
    for (LinkAdapter* adapter : adapters) {
        auto* pcap = dynamic_cast<PcapAdapter*>(adapter);
        ours.push_back(pcap);
        // An adapter of another link has nothing to wait on: it reads as failed below.
        fds.push_back({pcap != nullptr ? pcap->selectableFd() : -1, POLLIN, 0});
    }
    std::vector<std::size_t> failed;
    const int ready = pollFor(fds, timeout);
    if (ready < 0) {
        error_ = std::string("poll: ") + std::strerror(errno);
        for (std::size_t i = 0; i < adapters.size(); ++i) failed.push_back(i);
        return failed;
    }
    for (std::size_t i = 0; i < adapters.size(); ++i) {
        if (ours[i] == nullptr) {
            failed.push_back(i);
            continue;
        }
        if (fds[i].revents == 0) continue;
        const bool read = ours[i]->readReady(fds[i].revents, [&](const std::uint8_t* frame,
                                                                 std::size_t length) {
            step(i, frame, length);
            return true;
        });
        if (!read) failed.push_back(i);
    }
    return failed;
}

}  // namespace velqorin
