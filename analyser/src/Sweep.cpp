#include <algorithm>
#include <chrono>
#include <cstring>
#include <exception>

#include "Link.h"
#include "velqorin/NetworkAnalyse.h"

using namespace std::chrono_literals;
using namespace velqorin;

namespace {

// Replies are collected until the whole-second clock is more than this past the start
// of the window, checked after every read: about three seconds on a quiet adapter.
constexpr std::time_t kListenSeconds = 2;

void keepOnly(std::vector<std::string>& adapters, const char* const* only, int onlyCount) {
    std::erase_if(adapters, [&](const std::string& name) {
        return std::none_of(only, only + std::max(onlyCount, 0),
                            [&](const char* wanted) { return wanted && name == wanted; });
    });
}

// One request on the adapter in the slot, then its listening window.
void listen(CVelqorinNetworkAnalyse& analyser, AdapterSlot& slot, const std::string& name,
            TAnalyseBuffer& request) {
    if (!LinkQueryMac(slot, request.sourceMac)) {
        LinkClose(slot);
        return;
    }
    if (!LinkSend(slot, request)) return;  // the link closed it
    Clock& clock = currentClock();
    clock.pause(100ms);
    const std::time_t start = clock.seconds();
    do {
        // A failed read counts as a quiet one; the window still ends on time.
        LinkReceive(slot, [&](const std::uint8_t* frame, std::size_t length) {
            if (isDiscoveryReply(request, frame, length)) {
                TAnalyseBuffer reply;
                std::memcpy(&reply, frame, kFrameSize);
                analyser.AddBox(&reply, name.c_str());
            }
            return true;
        });
    } while (clock.seconds() - start <= kListenSeconds);
    LinkClose(slot);
}

}  // namespace

bool CVelqorinNetworkAnalyse::Analyse() { return AnalyseAdapters(nullptr, 0, nullptr, nullptr); }

bool CVelqorinNetworkAnalyse::AnalyseAdapters(const char* const* only, int onlyCount,
                                              SweepProgress progress, void* context) {
    // Memory running out must not escape into the caller's event loop; the lists stay
    // consistent and the sweep reports a failure.
    try {
        TAnalyseBuffer request;
        buildDiscoveryRequest(request, analyserToken);
        reset();
        auto adapters = LinkListAdapters();
        if (!adapters) return false;
        getIps();
        if (only != nullptr) keepOnly(*adapters, only, onlyCount);

        const int count = static_cast<int>(adapters->size());
        AdapterSlot slot;
        for (int index = 0; index < count; ++index) {
            const std::string& name = (*adapters)[static_cast<std::size_t>(index)];
            if (progress != nullptr) progress(context, name.c_str(), index, count);
            if (LinkOpen(slot, name)) listen(*this, slot, name, request);
        }
        while (firstBox != nullptr && firstBox->prev != nullptr) firstBox = firstBox->prev;
        return true;
    } catch (const std::exception&) {
        return false;
    }
}
