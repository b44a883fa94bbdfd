#include "link/Link.h"

#include <atomic>
#include <thread>

#include "host/Platform.h"
#include "linux/HelperLink.h"
#include "linux/PcapLink.h"

namespace velqorin {
namespace {

class SystemClock final : public Clock {
public:
    std::time_t seconds() override { return std::time(nullptr); }
    void pause(std::chrono::milliseconds duration) override { std::this_thread::sleep_for(duration); }
    std::int64_t steadyMilliseconds() override {
        return std::chrono::duration_cast<std::chrono::milliseconds>(
                   std::chrono::steady_clock::now().time_since_epoch())
            .count();
    }
};

std::atomic<Link*> g_link{nullptr};
std::atomic<Clock*> g_clock{nullptr};
// Per thread: a sweep may run on one thread while another sends a command.
thread_local std::string g_error;

bool fail(std::string what) {
    g_error = std::move(what);
    return false;
}

}  // namespace

static std::atomic<HelperLink*> g_helper{nullptr};

HelperLink& processHelperLink() {
    static HelperLink helper(linkHelperPath());
    HelperLink* replacement = g_helper.load();
    return replacement != nullptr ? *replacement : helper;
}

ScopedHelperLink::ScopedHelperLink(HelperLink& replacement) : previous_(g_helper.exchange(&replacement)) {}
ScopedHelperLink::~ScopedHelperLink() { g_helper.store(previous_); }

bool hasRawAccess() {
    // Capabilities do not change under a running program: asked once.
    static const bool direct = platform().rawSocketError() == 0;
    return direct;
}

Link& currentLink() {
    static PcapLink platformLink;
    Link* replacement = g_link.load();
    if (replacement != nullptr) return *replacement;
    // Root, the tests and the lab open the adapters themselves; anybody else asks the helper.
    if (hasRawAccess()) return platformLink;
    return processHelperLink();
}

Clock& currentClock() {
    static SystemClock platformClock;
    Clock* replacement = g_clock.load();
    return replacement != nullptr ? *replacement : platformClock;
}

ScopedLink::ScopedLink(Link& replacement) : previous_(g_link.exchange(&replacement)) {}
ScopedLink::~ScopedLink() { g_link.store(previous_); }

ScopedClock::ScopedClock(Clock& replacement) : previous_(g_clock.exchange(&replacement)) {}
ScopedClock::~ScopedClock() { g_clock.store(previous_); }

const std::string& linkError() { return g_error; }

std::optional<std::vector<std::string>> LinkListAdapters() {
    auto listed = currentLink().listAdapters();
    if (!listed) {
        fail("cannot list the network adapters: " + currentLink().error());
        return std::nullopt;
    }
    std::vector<std::string> names;
    for (auto& name : *listed) {
        if (name.size() > kMaxAdapterNameLength) break;
        names.push_back(std::move(name));
        if (names.size() == static_cast<std::size_t>(kMaxAdapters)) break;
    }
    return names;
}

bool LinkOpen(AdapterSlot& slot, const std::string& name) {
    LinkClose(slot);
    slot = currentLink().open(name);
    if (!slot) return fail(currentLink().error());
    return true;
}

bool LinkClose(AdapterSlot& slot) {
    if (!slot) return false;
    slot.reset();
    return true;
}

bool LinkSend(AdapterSlot& slot, const TAnalyseBuffer& frame) {
    if (!slot) return fail("no adapter open");
    if (!slot->send(frameBytes(frame), kFrameSize)) {
        fail(slot->error());
        LinkClose(slot);
        return false;
    }
    return true;
}

bool LinkReceive(AdapterSlot& slot, const FrameStep& step) {
    if (!slot) return fail("no adapter open");
    if (!slot->receive(kReadTimeout, step)) return fail(slot->error());
    return true;
}

std::vector<std::size_t> LinkReceiveAny(const std::vector<AdapterSlot*>& slots,
                                        const AdapterFrameStep& step,
                                        std::chrono::milliseconds timeout) {
    std::vector<LinkAdapter*> adapters;
    adapters.reserve(slots.size());
    for (AdapterSlot* slot : slots) adapters.push_back(slot->get());
    auto failed = currentLink().receiveAny(adapters, timeout, step);
    if (!failed.empty()) fail(adapters[failed.front()]->error());
    return failed;
}

bool LinkQueryMac(AdapterSlot& slot, std::uint8_t* mac) {
    if (!slot) return fail("no adapter open");
    if (!slot->queryMac(mac)) return fail(slot->error());
    return true;
}

}  // namespace velqorin
