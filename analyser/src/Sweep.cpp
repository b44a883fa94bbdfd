#include <algorithm>
#include <chrono>
#include <cstring>
#include <exception>
#include <vector>

#include "Link.h"
#include "velqorin/NetworkAnalyse.h"

using namespace std::chrono_literals;
using namespace velqorin;

namespace {

using Observer = CVelqorinNetworkAnalyse::SweepObserver;

// Replies are collected until the whole-second clock is more than this past the start
// of the window, checked after every read: about three seconds on a quiet adapter.
constexpr std::time_t kListenSeconds = 2;
constexpr auto kPauseBeforeWindow = 100ms;

void keepOnly(std::vector<std::string>& adapters, const char* const* only, int onlyCount) {
    std::erase_if(adapters, [&](const std::string& name) {
        return std::none_of(only, only + std::max(onlyCount, 0),
                            [&](const char* wanted) { return wanted && name == wanted; });
    });
}

// The observer's calls, each a no-op where the caller gave none.
struct Told {
    const Observer* observer;

    void adapter(const std::string& name, int index, int count) const {
        if (observer != nullptr && observer->adapter != nullptr)
            observer->adapter(observer->context, name.c_str(), index, count);
    }
    void listening(const std::vector<const char*>& names, std::int64_t sinceMs) const {
        if (observer != nullptr && observer->listening != nullptr)
            observer->listening(observer->context, names.data(), static_cast<int>(names.size()),
                                static_cast<int>(sinceMs));
    }
    void adapterDone(const std::string& name, int accepted, unsigned dropped) const {
        if (observer != nullptr && observer->adapterDone != nullptr)
            observer->adapterDone(observer->context, name.c_str(), accepted, dropped);
    }
    bool stopRequested() const {
        return observer != nullptr && observer->stopRequested != nullptr &&
               observer->stopRequested(observer->context);
    }
};

// Opens `name` into `slot` and sends it the request with the adapter's own MAC. False,
// with the slot empty, when any step fails: the adapter is then skipped.
bool openAndAsk(AdapterSlot& slot, const std::string& name, TAnalyseBuffer& request) {
    if (!LinkOpen(slot, name)) return false;
    if (!LinkQueryMac(slot, request.sourceMac)) {
        LinkClose(slot);
        return false;
    }
    return LinkSend(slot, request);  // a failed send has closed it
}

bool windowOver(Clock& clock, std::time_t start) { return clock.seconds() - start > kListenSeconds; }

unsigned droppedOn(const AdapterSlot& slot) { return slot ? slot->dropped() : 0; }

// One adapter at a time: the request, the pause, its window, and the replies onto the
// list as they come.
void sweepOneByOne(CVelqorinNetworkAnalyse& analyser, const std::vector<std::string>& adapters,
                   TAnalyseBuffer& request, const Told& told) {
    Clock& clock = currentClock();
    const int count = static_cast<int>(adapters.size());
    AdapterSlot slot;
    for (int index = 0; index < count && !told.stopRequested(); ++index) {
        const std::string& name = adapters[static_cast<std::size_t>(index)];
        told.adapter(name, index, count);
        if (!openAndAsk(slot, name, request)) continue;
        const std::int64_t sent = clock.steadyMilliseconds();
        clock.pause(kPauseBeforeWindow);
        const std::time_t start = clock.seconds();
        const std::vector<const char*> listened{name.c_str()};
        int accepted = 0;
        do {
            // A failed read counts as a quiet one; the window still ends on time.
            LinkReceive(slot, [&](const std::uint8_t* frame, std::size_t length) {
                if (isDiscoveryReply(request, frame, length)) {
                    TAnalyseBuffer reply;
                    std::memcpy(&reply, frame, kFrameSize);
                    analyser.AddBox(&reply, name.c_str());
                    ++accepted;
                }
                return true;
            });
            told.listening(listened, clock.steadyMilliseconds() - sent);
        } while (!windowOver(clock, start) && !told.stopRequested());
        told.adapterDone(name, accepted, droppedOn(slot));
        LinkClose(slot);
    }
}

// Every adapter asked first, then one window for all of them. Replies wait per adapter
// and go onto the list adapter by adapter afterwards, so the list is the one the sweep
// one adapter at a time makes of the same replies.
void sweepConcurrently(CVelqorinNetworkAnalyse& analyser,
                       const std::vector<std::string>& adapters, TAnalyseBuffer& request,
                       const Told& told) {
    struct Asked {
        const std::string* name;
        AdapterSlot slot;
        std::vector<TAnalyseBuffer> replies;
    };
    Clock& clock = currentClock();
    const int count = static_cast<int>(adapters.size());
    std::vector<Asked> asked;
    asked.reserve(adapters.size());
    for (int index = 0; index < count && !told.stopRequested(); ++index) {
        const std::string& name = adapters[static_cast<std::size_t>(index)];
        told.adapter(name, index, count);
        AdapterSlot slot;
        if (openAndAsk(slot, name, request)) asked.push_back({&name, std::move(slot), {}});
    }

    if (!asked.empty() && !told.stopRequested()) {
        const std::int64_t sent = clock.steadyMilliseconds();
        clock.pause(kPauseBeforeWindow);
        const std::time_t start = clock.seconds();
        // The adapters still read; one whose read fails leaves the window, closed, so that
        // it cannot keep the others' reads busy, and what it gave so far stays.
        std::vector<Asked*> listening;
        for (Asked& a : asked) listening.push_back(&a);
        do {
            std::vector<AdapterSlot*> slots;
            std::vector<const char*> names;
            for (Asked* a : listening) {
                slots.push_back(&a->slot);
                names.push_back(a->name->c_str());
            }
            const auto failed = LinkReceiveAny(
                slots, [&](std::size_t at, const std::uint8_t* frame, std::size_t length) {
                    if (!isDiscoveryReply(request, frame, length)) return;
                    TAnalyseBuffer& reply = listening[at]->replies.emplace_back();
                    std::memcpy(&reply, frame, kFrameSize);
                });
            for (auto at = failed.rbegin(); at != failed.rend(); ++at) {
                Asked& a = *listening[*at];
                told.adapterDone(*a.name, static_cast<int>(a.replies.size()), droppedOn(a.slot));
                LinkClose(a.slot);
                listening.erase(listening.begin() + static_cast<std::ptrdiff_t>(*at));
            }
            told.listening(names, clock.steadyMilliseconds() - sent);
        } while (!windowOver(clock, start) && !listening.empty() && !told.stopRequested());
    }

    for (Asked& a : asked) {
        if (a.slot) {
            told.adapterDone(*a.name, static_cast<int>(a.replies.size()), droppedOn(a.slot));
            LinkClose(a.slot);
        }
    }
    for (Asked& a : asked)
        for (const TAnalyseBuffer& reply : a.replies) analyser.AddBox(&reply, a.name->c_str());
}

enum class Mode { OneByOne, Concurrent };

bool sweep(CVelqorinNetworkAnalyse& analyser, const char* const* only, int onlyCount,
           const Observer* observer, Mode mode) {
    // Memory running out must not escape into the caller's event loop; the lists stay
    // consistent and the sweep reports a failure.
    try {
        TAnalyseBuffer request;
        buildDiscoveryRequest(request, analyser.analyserToken);
        analyser.reset();
        auto adapters = LinkListAdapters();
        if (!adapters) return false;
        analyser.getIps();
        if (only != nullptr) keepOnly(*adapters, only, onlyCount);
        const Told told{observer};
        if (mode == Mode::Concurrent)
            sweepConcurrently(analyser, *adapters, request, told);
        else
            sweepOneByOne(analyser, *adapters, request, told);
        while (analyser.firstBox != nullptr && analyser.firstBox->prev != nullptr)
            analyser.firstBox = analyser.firstBox->prev;
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

struct ProgressOnly {
    CVelqorinNetworkAnalyse::SweepProgress progress;
    void* context;

    static void adapter(void* self, const char* name, int index, int count) {
        auto* p = static_cast<ProgressOnly*>(self);
        p->progress(p->context, name, index, count);
    }
};

}  // namespace

bool CVelqorinNetworkAnalyse::Analyse() { return AnalyseAdapters(nullptr, 0, nullptr); }

bool CVelqorinNetworkAnalyse::AnalyseAdapters(const char* const* only, int onlyCount,
                                              SweepProgress progress, void* context) {
    if (progress == nullptr) return AnalyseAdapters(only, onlyCount, nullptr);
    ProgressOnly forward{progress, context};
    const SweepObserver observer{&forward, &ProgressOnly::adapter, nullptr, nullptr, nullptr};
    return AnalyseAdapters(only, onlyCount, &observer);
}

bool CVelqorinNetworkAnalyse::AnalyseAdapters(const char* const* only, int onlyCount,
                                              const SweepObserver* observer) {
    return sweep(*this, only, onlyCount, observer, Mode::OneByOne);
}

bool CVelqorinNetworkAnalyse::AnalyseConcurrently(const char* const* only, int onlyCount,
                                                  const SweepObserver* observer) {
    return sweep(*this, only, onlyCount, observer, Mode::Concurrent);
}
