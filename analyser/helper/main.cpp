// velqorin-link-helper: the one program that holds CAP_NET_RAW. The library starts it with
// a socket pair on descriptor 3 and asks it, one message at a time, to list the Ethernet
// adapters, open one for the boxes' frames, relay what it captures, send a frame that is
// one of the protocol's, and ping. It takes no argument, reads no file of the user's and
// no environment variable, keeps no other descriptor, and ends when the socket closes.
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "helper/FrameCheck.h"
#include "helper/HelperProtocol.h"
#include "linux/IcmpEcho.h"
#include "linux/PcapOpen.h"

using namespace velqorin;
using namespace velqorin::helper;

namespace {

constexpr int kClientFd = 3;
// A sweep of ten adapters sends at most fifty requests; a site's commands a few hundred.
constexpr double kBurstFrames = 1000;
constexpr double kFramesPerSecond = 500;

struct Adapter {
    std::string name;
    PcapHandle pcap;
    int fd;
};

std::int64_t nowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Nothing of the caller's environment reaches libpcap or the resolver, no descriptor but
// the socket stays, and nobody may attach to the process.
bool confine() {
    ::clearenv();
    ::umask(077);
    ::signal(SIGPIPE, SIG_IGN);
    ::prctl(PR_SET_DUMPABLE, 0);
    ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0);
    int type = 0;
    socklen_t size = sizeof type;
    if (::getsockopt(kClientFd, SOL_SOCKET, SO_TYPE, &type, &size) != 0 || type != SOCK_SEQPACKET)
        return false;
    const int null = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    if (null < 0) return false;
    for (int fd = 0; fd < 3; ++fd) ::dup3(null, fd, 0);
    ::close_range(kClientFd + 1, ~0U, 0);
    ::fcntl(kClientFd, F_SETFD, FD_CLOEXEC);
    return true;
}

class Helper {
public:
    // False when the client has gone.
    bool serve(std::string_view message) {
        const auto request = decodeRequest(message);
        if (!request) return error("the request is malformed or of another protocol version");
        return std::visit([this](const auto& r) { return handle(r); }, *request);
    }

private:
    bool reply(const Writer& w) {
        const std::string& m = w.message();
        for (;;) {
            const ssize_t n = ::send(kClientFd, m.data(), m.size(), MSG_NOSIGNAL);
            if (n == static_cast<ssize_t>(m.size())) return true;
            if (n < 0 && errno == EINTR) continue;
            return false;
        }
    }
    bool ok() { return reply(Writer(Kind::Ok)); }
    bool error(const std::string& text) { return reply(Writer(Kind::Error).text(text.substr(0, 4000))); }

    Adapter* find(std::uint32_t handle) {
        const auto at = adapters_.find(handle);
        return at == adapters_.end() ? nullptr : &at->second;
    }

    bool handle(const Hello&) {
        const int probe = ::socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, 0);
        if (probe >= 0) ::close(probe);
        return reply(Writer(Kind::Ok).u8(kProtocolVersion).u8(probe >= 0 ? 1 : 0));
    }

    bool handle(const List&) {
        std::string why;
        const auto names = listEthernetAdapters(why);
        if (!names) return error(why);
        Writer w(Kind::Ok);
        const std::size_t count = std::min<std::size_t>(names->size(), 64);
        w.u16(static_cast<std::uint16_t>(count));
        for (std::size_t i = 0; i < count; ++i) w.text((*names)[i].substr(0, kMaxName));
        return reply(w);
    }

    bool handle(const QueryMac& q) {
        std::uint8_t mac[6];
        std::string why;
        if (!readEthernetMac(q.name, mac, why)) return error(why);
        return reply(Writer(Kind::Ok).bytes(mac, sizeof mac));
    }

    bool handle(const Open& o) {
        if (adapters_.size() >= kMaxHandles) return error("too many adapters open at once");
        std::string why;
        PcapOpenSettings settings = directLinkSettings();
        settings.lockFilter = true;
        PcapHandle pcap = openPcap(o.name, settings, why);
        if (!pcap) return error(why);
        const int fd = pcap_get_selectable_fd(pcap.get());
        const std::uint32_t handle = next_++;
        adapters_.emplace(handle, Adapter{o.name, std::move(pcap), fd});
        return reply(Writer(Kind::Ok).u32(handle));
    }

    bool handle(const Send& s) {
        Adapter* a = find(s.handle);
        if (a == nullptr) return error("no such adapter is open");
        std::uint8_t mac[6];
        std::string why;
        if (!readEthernetMac(a->name, mac, why)) return error(why);
        const FrameVerdict verdict = checkOutgoingFrame(s.frame.data(), s.frame.size(), mac);
        if (verdict != FrameVerdict::Allowed) return error(std::string("refused: ") + verdictText(verdict));
        if (!rate_.take(nowMs())) return error("refused: too many frames in too short a time");
        if (pcap_sendpacket(a->pcap.get(), s.frame.data(), static_cast<int>(s.frame.size())) != 0)
            return error("pcap_sendpacket(" + a->name + "): " + pcap_geterr(a->pcap.get()));
        return ok();
    }

    bool handle(const Receive& r) {
        std::vector<pollfd> fds;
        std::vector<Adapter*> asked;
        std::vector<std::uint32_t> failed;
        for (const std::uint32_t h : r.handles) {
            Adapter* a = find(h);
            asked.push_back(a);
            fds.push_back({a != nullptr ? a->fd : -1, POLLIN, 0});
        }
        // The client going away ends the wait too.
        fds.push_back({kClientFd, POLLRDHUP, 0});
        const int timeout = static_cast<int>(std::min<std::uint32_t>(r.timeoutMs, 60000));
        int ready = 0;
        for (;;) {
            ready = ::poll(fds.data(), fds.size(), timeout);
            if (ready >= 0 || errno != EINTR) break;
        }
        if (ready < 0) return error(std::string("poll: ") + std::strerror(errno));
        if (fds.back().revents & (POLLRDHUP | POLLHUP | POLLERR)) return false;
        for (std::size_t i = 0; i < asked.size(); ++i) {
            if (asked[i] == nullptr || (fds[i].revents & (POLLERR | POLLNVAL))) {
                failed.push_back(r.handles[i]);
                continue;
            }
            if ((fds[i].revents & POLLIN) && !relay(r.handles[i], *asked[i])) {
                if (gone_) return false;
                failed.push_back(r.handles[i]);
            }
        }
        Writer w(Kind::Ok);
        w.u16(static_cast<std::uint16_t>(failed.size()));
        for (const std::uint32_t h : failed) w.u32(h);
        return reply(w);
    }

    // Every frame waiting on the adapter, to the client in batches.
    bool relay(std::uint32_t handle, Adapter& a) {
        struct Walk {
            Helper* self;
            std::uint32_t handle;
            Writer batch;
            bool sent = true;
        } walk{this, handle, Writer(Kind::Batch)};
        walk.batch.u32(handle);
        auto onFrame = [](u_char* user, const pcap_pkthdr* header, const u_char* bytes) {
            auto* w = reinterpret_cast<Walk*>(user);
            const std::size_t length = std::min<std::size_t>(header->caplen, kMaxFrame);
            if (w->batch.size() + 2 + length > kMaxMessage) {
                w->sent = w->sent && w->self->reply(w->batch);
                w->batch = Writer(Kind::Batch);
                w->batch.u32(w->handle);
            }
            w->batch.u16(static_cast<std::uint16_t>(header->caplen)).bytes(bytes, length);
        };
        const int n = pcap_dispatch(a.pcap.get(), -1, onFrame, reinterpret_cast<u_char*>(&walk));
        if (walk.batch.size() > 6) walk.sent = walk.sent && reply(walk.batch);
        if (!walk.sent) gone_ = true;
        return walk.sent && n != PCAP_ERROR;
    }

    bool handle(const Dropped& d) {
        Adapter* a = find(d.handle);
        if (a == nullptr) return error("no such adapter is open");
        pcap_stat stats{};
        const std::uint32_t dropped = pcap_stats(a->pcap.get(), &stats) == 0 ? stats.ps_drop : 0;
        return reply(Writer(Kind::Ok).u32(dropped));
    }

    bool handle(const Close& c) {
        if (adapters_.erase(c.handle) == 0) return error("no such adapter is open");
        return ok();
    }

    bool handle(const Ping& p) {
        const std::uint8_t (&address)[4] = p.address;
        const bool answered = icmpEcho(address, EchoSocket::Raw) == Echo::Answered;
        return reply(Writer(Kind::Ok).u8(answered ? 1 : 0));
    }

    bool handle(const PingAll& p) {
        std::vector<Ipv4Bytes> addresses(p.addresses.size() / 4);
        for (std::size_t i = 0; i < addresses.size(); ++i)
            std::memcpy(addresses[i].data(), p.addresses.data() + 4 * i, 4);
        const auto answered = icmpEchoAll(addresses, EchoSocket::Raw);
        if (!answered) return error(std::string("ICMP socket: ") + std::strerror(errno));
        Writer w(Kind::Ok);
        for (const bool a : *answered) w.u8(a ? 1 : 0);
        return reply(w);
    }

    std::map<std::uint32_t, Adapter> adapters_;
    std::uint32_t next_ = 1;
    RateLimit rate_{kBurstFrames, kFramesPerSecond};
    bool gone_ = false;
};

}  // namespace

int main() {
    if (!confine()) return 2;
    Helper helper;
    std::string buffer(kMaxMessage + 1, '\0');
    for (;;) {
        const ssize_t n = ::recv(kClientFd, buffer.data(), buffer.size(), 0);
        if (n == 0) return 0;
        if (n < 0) {
            if (errno == EINTR) continue;
            return 1;
        }
        if (!helper.serve(std::string_view(buffer.data(), static_cast<std::size_t>(n)))) return 0;
    }
}
