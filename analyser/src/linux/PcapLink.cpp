#include "linux/PcapLink.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "support/Handles.h"

namespace velqorin {

std::unique_ptr<PcapAdapter> PcapAdapter::open(const std::string& name, const PcapOptions& options,
                                               std::string& error) {
    PcapOpenSettings settings = directLinkSettings();
    settings.snapLength = options.snapLength;
    settings.bufferBytes = options.bufferBytes;
    PcapHandle p = openPcap(name, settings, error);
    if (!p) return nullptr;
    const int fd = pcap_get_selectable_fd(p.get());
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

thread_local std::string PcapLink::error_;

std::optional<std::vector<std::string>> PcapLink::listAdapters() {
    return listEthernetAdapters(error_);
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
