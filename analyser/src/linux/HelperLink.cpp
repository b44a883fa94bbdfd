#include "linux/HelperLink.h"

#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace velqorin {

using namespace helper;

namespace {

#ifndef VELQORIN_LINK_HELPER
#define VELQORIN_LINK_HELPER "/usr/libexec/velqorin/velqorin-link-helper"
#endif

// Longer than any wait the helper is asked for: a helper that does not answer by then is
// stuck, and is ended.
constexpr int kAnswerGraceMs = 5000;

std::string userName() {
    if (const passwd* p = ::getpwuid(::getuid()); p != nullptr && p->pw_name != nullptr) return p->pw_name;
    return "$USER";
}

class HelperAdapter final : public LinkAdapter {
public:
    HelperAdapter(HelperLink& link, std::uint32_t handle, std::string name)
        : link_(link), handle_(handle), name_(std::move(name)) {}
    ~HelperAdapter() override { link_.call(Close{handle_}); }

    std::uint32_t handle() const { return handle_; }
    HelperLink& link() const { return link_; }

    bool send(const std::uint8_t* frame, std::size_t length) override {
        return done(link_.call(Send{handle_, std::vector<std::uint8_t>(frame, frame + length)}));
    }

    bool receive(std::chrono::milliseconds timeout, const FrameStep& step) override {
        bool walking = true;
        const auto reply = link_.call(
            Receive{static_cast<std::uint32_t>(std::max<std::int64_t>(timeout.count(), 0)), {handle_}},
            [&](Reader& batch) {
                batch.u32();
                while (!batch.failed() && !batch.atEnd()) {
                    const std::size_t captured = batch.u16();
                    const std::string_view bytes = batch.bytes(std::min(captured, kMaxFrame));
                    if (batch.failed()) break;
                    if (walking)
                        walking = step(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
                }
            });
        if (!done(reply)) return false;
        Reader r(reply->message);
        if (r.u16() > 0) return fail("the adapter " + name_ + " went down or away");
        return true;
    }

    bool queryMac(std::uint8_t* mac) override {
        const auto reply = link_.call(QueryMac{name_});
        if (!done(reply)) return false;
        Reader r(reply->message);
        const std::string_view bytes = r.bytes(kMacSize);
        if (r.failed()) return fail("the link helper sent no MAC address");
        std::memcpy(mac, bytes.data(), kMacSize);
        return true;
    }

    unsigned dropped() const override {
        const auto reply = link_.call(Dropped{handle_});
        if (!reply || reply->kind != Kind::Ok) return 0;
        Reader r(reply->message);
        return r.u32();
    }

    std::string error() const override { return error_; }

private:
    bool fail(std::string text) {
        error_ = std::move(text);
        return false;
    }
    // An Ok reply; otherwise its text, or the link's, as the error.
    bool done(const std::optional<HelperLink::Reply>& reply) {
        if (!reply) return fail(link_.error());
        if (reply->kind == Kind::Ok) return true;
        Reader r(reply->message);
        return fail(r.text(4000));
    }

    HelperLink& link_;
    std::uint32_t handle_;
    std::string name_;
    std::string error_;
};

}  // namespace

const char* linkHelperPath() { return VELQORIN_LINK_HELPER; }

HelperLink::~HelperLink() {
    const std::lock_guard lock(mutex_);
    stopLocked();
}

std::string HelperLink::error() const {
    const std::lock_guard lock(mutex_);
    return error_;
}

std::string HelperLink::why() const {
    const std::lock_guard lock(mutex_);
    return why_;
}

void HelperLink::failWith(std::string text) {
    const std::lock_guard lock(mutex_);
    error_ = std::move(text);
}

bool HelperLink::usable() {
    const std::lock_guard lock(mutex_);
    return startLocked() && mayCapture_;
}

void HelperLink::stopLocked() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    if (child_ > 0) {
        // It ends when its socket closes; one that does not is ended.
        int status = 0;
        for (int i = 0; i < 100 && ::waitpid(child_, &status, WNOHANG) == 0; ++i) ::usleep(10000);
        if (::waitpid(child_, &status, WNOHANG) == 0) {
            ::kill(child_, SIGKILL);
            ::waitpid(child_, &status, 0);
        }
    }
    child_ = -1;
}

bool HelperLink::startLocked() {
    if (fd_ >= 0) return true;
    if (::access(path_.c_str(), X_OK) != 0) {
        const int why = errno;
        why_ = why == ENOENT
                   ? "the link helper " + path_ + " is not installed; install the velqorin-network-monitor package again"
                   : "only members of the group velqorin may find and set up boxes: join it with `sudo adduser " +
                         userName() + " velqorin`, then log in again";
        return false;
    }
    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) != 0) {
        why_ = std::string("socketpair: ") + std::strerror(errno);
        return false;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pair[1], 3);
    char* const argv[] = {const_cast<char*>(path_.c_str()), nullptr};
    char* const envp[] = {nullptr};
    pid_t child = -1;
    const int spawned = ::posix_spawn(&child, path_.c_str(), &actions, nullptr, argv, envp);
    posix_spawn_file_actions_destroy(&actions);
    ::close(pair[1]);
    if (spawned != 0) {
        ::close(pair[0]);
        why_ = "cannot start the link helper " + path_ + ": " + std::strerror(spawned);
        return false;
    }
    fd_ = pair[0];
    child_ = child;
    const auto hello = callLocked(Hello{}, {});
    const std::string answer = hello ? hello->message : std::string();
    Reader r(answer);
    const std::uint8_t version = hello && hello->kind == Kind::Ok ? r.u8() : 0;
    mayCapture_ = r.u8() != 0;
    if (version != helper::kProtocolVersion) {
        stopLocked();
        why_ = "the link helper " + path_ + " did not answer as this library expects; install the "
               "velqorin-network-monitor package again";
        return false;
    }
    if (!mayCapture_)
        why_ = "the link helper " + path_ + " lacks CAP_NET_RAW: run `sudo dpkg-reconfigure "
               "velqorin-network-monitor`, or `sudo setcap cap_net_raw+ep " + path_ + "`";
    return true;
}

std::optional<HelperLink::Reply> HelperLink::call(const Request& request,
                                                  const std::function<void(Reader&)>& onBatch) {
    const std::lock_guard lock(mutex_);
    if (!startLocked()) {
        error_ = why_;
        return std::nullopt;
    }
    return callLocked(request, onBatch);
}

std::optional<HelperLink::Reply> HelperLink::callLocked(const Request& request,
                                                        const std::function<void(Reader&)>& onBatch) {
    const auto lost = [this](const std::string& what) -> std::optional<Reply> {
        error_ = "the link helper " + what + "; it is started again at the next request";
        stopLocked();
        return std::nullopt;
    };
    const std::string message = encode(request);
    if (::send(fd_, message.data(), message.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(message.size()))
        return lost("ended");
    int waitMs = kAnswerGraceMs;
    if (const auto* receive = std::get_if<Receive>(&request))
        waitMs += static_cast<int>(std::min<std::uint32_t>(receive->timeoutMs, 60000));
    // The echoes' 500 ms, and the time to send thousands of them.
    if (const auto* pings = std::get_if<PingAll>(&request))
        waitMs += static_cast<int>(kEchoTimeout.count()) + static_cast<int>(pings->addresses.size() / 4);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
    std::string buffer(kMaxMessage + 1, '\0');
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd waiter{fd_, POLLIN, 0};
        const int ready = ::poll(&waiter, 1, static_cast<int>(std::max<std::int64_t>(left.count(), 0)));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) return lost("did not answer");
        const ssize_t n = ::recv(fd_, buffer.data(), buffer.size(), 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0 || static_cast<std::size_t>(n) > kMaxMessage) return lost("ended");
        std::string reply(buffer.data(), static_cast<std::size_t>(n));
        Reader r(reply);
        if (r.failed()) return lost("sent a message of another protocol");
        if (r.kind() == Kind::Batch) {
            if (onBatch) onBatch(r);
            continue;
        }
        if (r.kind() != Kind::Ok && r.kind() != Kind::Error) return lost("sent an unknown reply");
        return Reply{r.kind(), std::move(reply)};
    }
}

std::optional<std::vector<std::string>> HelperLink::listAdapters() {
    const auto reply = call(List{});
    if (!reply) return std::nullopt;
    Reader r(reply->message);
    if (reply->kind != Kind::Ok) {
        failWith(r.text(4000));
        return std::nullopt;
    }
    std::vector<std::string> names;
    const std::size_t count = r.u16();
    for (std::size_t i = 0; i < count && !r.failed(); ++i) names.push_back(r.text(kMaxName));
    if (r.failed()) {
        failWith("the link helper's list of adapters is cut short");
        return std::nullopt;
    }
    return names;
}

std::unique_ptr<LinkAdapter> HelperLink::open(const std::string& name) {
    const auto reply = call(Open{name});
    if (!reply) return nullptr;
    Reader r(reply->message);
    if (reply->kind != Kind::Ok) {
        failWith(r.text(4000));
        return nullptr;
    }
    const std::uint32_t handle = r.u32();
    if (r.failed()) return nullptr;
    return std::make_unique<HelperAdapter>(*this, handle, name);
}

std::vector<std::size_t> HelperLink::receiveAny(const std::vector<LinkAdapter*>& adapters,
                                                std::chrono::milliseconds timeout,
                                                const AdapterFrameStep& step) {
    std::vector<std::size_t> failed;
    Receive request{static_cast<std::uint32_t>(std::max<std::int64_t>(timeout.count(), 0)), {}};
    std::vector<std::size_t> positions;  // of the adapters asked, in `adapters`
    for (std::size_t i = 0; i < adapters.size(); ++i) {
        const auto* ours = dynamic_cast<const HelperAdapter*>(adapters[i]);
        if (ours == nullptr || &ours->link() != this) {
            failed.push_back(i);  // another link's: nothing to wait on
            continue;
        }
        request.handles.push_back(ours->handle());
        positions.push_back(i);
    }
    const auto positionOf = [&](std::uint32_t handle) -> std::optional<std::size_t> {
        for (std::size_t k = 0; k < request.handles.size(); ++k)
            if (request.handles[k] == handle) return positions[k];
        return std::nullopt;
    };
    const auto reply = call(request, [&](Reader& batch) {
        const auto at = positionOf(batch.u32());
        while (at && !batch.failed() && !batch.atEnd()) {
            const std::size_t captured = batch.u16();
            const std::string_view bytes = batch.bytes(std::min(captured, kMaxFrame));
            if (!batch.failed()) step(*at, reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
        }
    });
    if (!reply || reply->kind != Kind::Ok) {
        failed.insert(failed.end(), positions.begin(), positions.end());
    } else {
        Reader r(reply->message);
        const std::size_t count = r.u16();
        for (std::size_t i = 0; i < count && !r.failed(); ++i)
            if (const auto at = positionOf(r.u32())) failed.push_back(*at);
    }
    std::sort(failed.begin(), failed.end());
    return failed;
}

std::optional<bool> HelperLink::ping(const std::uint8_t (&address)[4]) {
    Ping request{};
    std::memcpy(request.address, address, 4);
    const auto reply = call(request);
    if (!reply || reply->kind != Kind::Ok) return std::nullopt;
    Reader r(reply->message);
    return r.u8() != 0;
}

std::optional<std::vector<bool>> HelperLink::pingAll(const std::vector<Ipv4Bytes>& addresses) {
    std::vector<bool> answered;
    answered.reserve(addresses.size());
    for (std::size_t from = 0; from < addresses.size(); from += kMaxPings) {
        const std::size_t count = std::min(kMaxPings, addresses.size() - from);
        PingAll request;
        request.addresses.resize(4 * count);
        for (std::size_t i = 0; i < count; ++i)
            std::memcpy(request.addresses.data() + 4 * i, addresses[from + i].data(), 4);
        const auto reply = call(request);
        if (!reply || reply->kind != Kind::Ok) return std::nullopt;
        Reader r(reply->message);
        for (std::size_t i = 0; i < count; ++i) answered.push_back(r.u8() != 0);
        if (!r.atEnd()) return std::nullopt;
    }
    return answered;
}

}  // namespace velqorin
