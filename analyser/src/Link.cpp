#include "Link.h"

#include <thread>

#include "linux/PcapLink.h"

namespace velqorin {
namespace {

class SystemClock final : public Clock {
public:
    std::time_t seconds() override { return std::time(nullptr); }
    void pause(std::chrono::milliseconds duration) override { std::this_thread::sleep_for(duration); }
};

Link* g_link = nullptr;
Clock* g_clock = nullptr;
std::string g_error;

bool fail(std::string what) {
    g_error = std::move(what);
    return false;
}

}  // namespace

Link& currentLink() {
    static PcapLink platformLink;
    return g_link ? *g_link : platformLink;
}

Clock& currentClock() {
    static SystemClock platformClock;
    return g_clock ? *g_clock : platformClock;
}

void setLink(Link* link) { g_link = link; }
void setClock(Clock* clock) { g_clock = clock; }

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

bool LinkQueryMac(AdapterSlot& slot, std::uint8_t* mac) {
    if (!slot) return fail("no adapter open");
    if (!slot->queryMac(mac)) return fail(slot->error());
    return true;
}

}  // namespace velqorin
