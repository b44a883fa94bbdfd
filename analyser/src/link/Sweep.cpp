#include <algorithm>
#include <chrono>
#include <cstring>
#include <exception>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "model/BoxIndex.h"
#include "link/Link.h"
#include "model/SerialAnswers.h"
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
    void tally(const CVelqorinNetworkAnalyse::AdapterTally& figures) const {
        if (observer != nullptr && observer->adapterTally != nullptr)
            observer->adapterTally(observer->context, &figures);
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
        // Each box of this adapter adds one entry, whatever it repeats.
        const int listedBefore = analyser.boxCount;
        int accepted = 0;
        int beyondLimit = 0;
        do {
            // A failed read counts as a quiet one; the window still ends on time.
            LinkReceive(slot, [&](const std::uint8_t* frame, std::size_t length) {
                if (!isDiscoveryReply(request, frame, length)) return true;
                TAnalyseBuffer reply;
                std::memcpy(&reply, frame, kFrameSize);
                if (analyser.boxCount >= CVelqorinNetworkAnalyse::kMaxBoxes &&
                    boxIndexOf(analyser).find(analyser, reply, name.c_str()) == nullptr) {
                    ++beyondLimit;
                    return true;
                }
                analyser.AddBox(&reply, name.c_str());
                ++accepted;
                return true;
            });
            told.listening(listened, clock.steadyMilliseconds() - sent);
        } while (!windowOver(clock, start) && !told.stopRequested());
        const unsigned dropped = droppedOn(slot);
        told.adapterDone(name, accepted, dropped + static_cast<unsigned>(beyondLimit));
        told.tally({name.c_str(), 1, accepted, analyser.boxCount - listedBefore, 0, dropped,
                    beyondLimit});
        LinkClose(slot);
    }
}

// The replies of one adapter's window, one per serial number, in the order the boxes
// first answered. A repeat that carries our token brings the box's newest content (a box
// may honour only the challenge it sent last); one that does not is older news, as in
// AddBox. With a single request a repeat moves the box last, as AddBox would move it.
// When several stations answer with one serial number, each one's reply is kept aside.
class ReplyFold {
public:
    ReplyFold(const char* token, bool repeatsKeepPlace)
        : token_(token), repeatsKeepPlace_(repeatsKeepPlace) {}

    // `room`: how many more boxes the sweep may list; a new one beyond is dropped. `nowMs`:
    // when it arrived, on the steady clock.
    void add(const std::uint8_t* frame, int& room, std::int64_t nowMs) {
        const auto* reply = reinterpret_cast<const TAnalyseBuffer*>(frame);
        const std::string serial(fieldText(reply->serialNumber));
        const auto found = bySerial_.find(serial);
        if (found == bySerial_.end()) {
            if (room <= 0) {
                ++beyondLimit_;
                return;
            }
            --room;
            ++replies_;
            bySerial_.emplace(serial, entries_.size());
            entries_.push_back({copyOf(frame), 1, nowMs, true, nullptr});
            if (replies_ == 1) firstReplyMs_ = nowMs;
            return;
        }
        ++replies_;
        Entry& held = entries_[found->second];
        ++held.answers;
        const bool ours =
            std::strncmp(reply->analyserToken, token_, CVelqorinNetworkAnalyse::kTokenSize) == 0;
        if (held.stations || std::memcmp(held.reply.sourceMac, reply->sourceMac, kMacSize) != 0) {
            if (!held.stations) {
                held.stations = std::make_unique<SerialAnswers>();
                held.stations->note(held.reply, false);
            }
            held.stations->note(*reply, ours);
        }
        if (!ours) return;
        if (repeatsKeepPlace_) {
            held.reply = copyOf(frame);
            return;
        }
        held.live = false;
        found->second = entries_.size();
        entries_.push_back({copyOf(frame), held.answers, held.firstMs, true, std::move(held.stations)});
        if (++dead_ > entries_.size() / 2) compact();
    }

    // Each box's reply in list order, with its stations when more than one answered.
    template <typename Visit>
    void forEach(Visit visit) {
        for (Entry& e : entries_)
            if (e.live) visit(e.reply, e.stations.get());
    }
    int replies() const { return replies_; }
    int beyondLimit() const { return beyondLimit_; }
    int boxes() const { return static_cast<int>(bySerial_.size()); }
    int answeredFewerThan(int requests) const {
        int count = 0;
        for (const Entry& e : entries_) count += e.live && e.answers < requests;
        return count;
    }
    // Whether, at `nowMs`, the replies show frames lost on the way to or from the boxes
    // asked at the times `sentAt`: no box at all; nothing heard before the second request
    // went out (the first, or every answer to it, was lost); or a box short of the answers
    // it owes by now. A box's first answer is taken for its answer to the first request:
    // a box that is slow to answer then owes no answer it could not have sent yet, and a
    // burst of replies spread over the window raises no false alarm.
    bool showsLoss(const std::vector<std::int64_t>& sentAt, std::int64_t nowMs) const {
        if (entries_.empty()) return true;
        if (sentAt.size() > 1 && firstReplyMs_ >= sentAt[1]) return true;
        for (const Entry& e : entries_) {
            if (!e.live) continue;
            const std::int64_t lag = e.firstMs - sentAt.front();
            int owed = 0;
            for (const std::int64_t t : sentAt) owed += t + lag + kAnswerSlackMs <= nowMs;
            if (e.answers < owed) return true;
        }
        return false;
    }

private:
    // How much later than its first a box's later answers may come after their requests.
    static constexpr std::int64_t kAnswerSlackMs = 50;

    struct Entry {
        TAnalyseBuffer reply;
        int answers;
        std::int64_t firstMs;  // when its first answer arrived
        bool live;
        std::unique_ptr<SerialAnswers> stations;
    };
    static TAnalyseBuffer copyOf(const std::uint8_t* frame) {
        TAnalyseBuffer r;
        std::memcpy(&r, frame, kFrameSize);
        return r;
    }
    void compact() {
        std::erase_if(entries_, [](const Entry& e) { return !e.live; });
        for (std::size_t i = 0; i < entries_.size(); ++i)
            bySerial_[std::string(fieldText(entries_[i].reply.serialNumber))] = i;
        dead_ = 0;
    }

    const char* token_;
    bool repeatsKeepPlace_;
    std::vector<Entry> entries_;
    std::unordered_map<std::string, std::size_t> bySerial_;
    std::size_t dead_ = 0;
    int replies_ = 0;
    int beyondLimit_ = 0;
    std::int64_t firstReplyMs_ = 0;
};

// Every adapter asked first, then one window for all of them, in which the request goes
// out again on each every kRepeatSpacingMs until `requests` have been sent. After that an
// adapter whose replies show frames lost on the way (ReplyFold::showsLoss) is asked
// again, up to kMaxRequests: three pairs of
// request and reply each losing a fifth of their frames still miss one box in twenty.
// Replies are folded per adapter and go onto the list adapter by adapter afterwards, so
// the list is the one the sweep one adapter at a time makes of the same replies.
void sweepConcurrently(CVelqorinNetworkAnalyse& analyser,
                       const std::vector<std::string>& adapters, const TAnalyseBuffer& request,
                       const Told& told, int requests) {
    struct Asked {
        const std::string* name;
        AdapterSlot slot;
        TAnalyseBuffer request;  // with the adapter's own MAC
        ReplyFold fold;
        std::vector<std::int64_t> sentAt;  // when each request went out
    };
    Clock& clock = currentClock();
    const int count = static_cast<int>(adapters.size());
    std::vector<Asked> asked;
    asked.reserve(adapters.size());
    for (int index = 0; index < count && !told.stopRequested(); ++index) {
        const std::string& name = adapters[static_cast<std::size_t>(index)];
        told.adapter(name, index, count);
        Asked a{&name, nullptr, request, ReplyFold(analyser.analyserToken, requests > 1), {}};
        if (!openAndAsk(a.slot, name, a.request)) continue;
        a.sentAt.push_back(clock.steadyMilliseconds());
        asked.push_back(std::move(a));
    }
    auto finish = [&](Asked& a) {
        const unsigned dropped = droppedOn(a.slot);
        told.adapterDone(*a.name, a.fold.replies(),
                         dropped + static_cast<unsigned>(a.fold.beyondLimit()));
        const int sent = static_cast<int>(a.sentAt.size());
        told.tally({a.name->c_str(), sent, a.fold.replies(), a.fold.boxes(),
                    a.fold.answeredFewerThan(sent), dropped, a.fold.beyondLimit()});
        LinkClose(a.slot);
    };
    // Shared by the adapters: the boxes the sweep may still list.
    int room = CVelqorinNetworkAnalyse::kMaxBoxes - analyser.boxCount;

    if (!asked.empty() && !told.stopRequested()) {
        const std::int64_t sent = clock.steadyMilliseconds();
        clock.pause(kPauseBeforeWindow);
        const std::time_t start = clock.seconds();
        // The adapters still read; one whose read or repeat fails leaves the window,
        // closed, so that it cannot keep the others' reads busy, and what it gave so far
        // stays.
        std::vector<Asked*> listening;
        for (Asked& a : asked) listening.push_back(&a);
        auto leave = [&](std::vector<std::size_t> failed) {
            for (auto at = failed.rbegin(); at != failed.rend(); ++at) {
                finish(*listening[*at]);
                listening.erase(listening.begin() + static_cast<std::ptrdiff_t>(*at));
            }
        };
        const std::int64_t spacing = CVelqorinNetworkAnalyse::kRepeatSpacingMs;
        const int most = requests > 1 ? CVelqorinNetworkAnalyse::kMaxRequests : 1;
        int rounds = 1;  // rounds of requests so far; the next is due `rounds` spacings on
        bool roundsGoOn = requests > 1;
        const auto roundDue = [&] { return sent + rounds * spacing; };
        // Until the answers to the last round are in, frames do not end a read: the reads
        // then end when they would have without repeats, and so does the window.
        std::int64_t roundsAnswered = requests > 1 ? sent + spacing : sent;
        auto sendRound = [&] {
            std::vector<std::size_t> failed;
            bool any = false;
            for (std::size_t i = 0; i < listening.size(); ++i) {
                Asked& a = *listening[i];
                const int askedTimes = static_cast<int>(a.sentAt.size());
                if (askedTimes >= most ||
                    (rounds >= requests && !a.fold.showsLoss(a.sentAt, clock.steadyMilliseconds())))
                    continue;
                // The MAC is read before every send; an adapter that lost it skips this one.
                if (!LinkQueryMac(a.slot, a.request.sourceMac)) continue;
                if (LinkSend(a.slot, a.request)) {
                    a.sentAt.push_back(clock.steadyMilliseconds());
                    any = true;
                } else {
                    failed.push_back(i);  // the send closed it
                }
            }
            leave(std::move(failed));
            if (any) roundsAnswered = clock.steadyMilliseconds() + spacing;
            ++rounds;
            roundsGoOn = rounds < most && (any || rounds < requests);
        };
        do {
            std::vector<AdapterSlot*> slots;
            std::vector<const char*> names;
            for (Asked* a : listening) {
                slots.push_back(&a->slot);
                names.push_back(a->name->c_str());
            }
            // One read as the single request has it: it ends at its first frames or after a
            // second. A repeat that falls due meanwhile goes out without ending it.
            const std::int64_t readEnds = clock.steadyMilliseconds() + kReadTimeout.count();
            bool heard = false;
            for (;;) {
                const std::int64_t now = clock.steadyMilliseconds();
                const std::int64_t until = roundsGoOn ? std::min(readEnds, roundDue()) : readEnds;
                const std::vector<Asked*> read = listening;
                leave(LinkReceiveAny(
                    slots,
                    [&](std::size_t at, const std::uint8_t* frame, std::size_t length) {
                        heard = heard || clock.steadyMilliseconds() >= roundsAnswered;
                        if (isDiscoveryReply(request, frame, length))
                            read[at]->fold.add(frame, room, clock.steadyMilliseconds());
                    },
                    std::chrono::milliseconds(std::max<std::int64_t>(until - now, 0))));
                if (roundsGoOn && clock.steadyMilliseconds() >= roundDue()) sendRound();
                if (heard || listening.empty() || clock.steadyMilliseconds() >= readEnds) break;
                slots.clear();
                for (Asked* a : listening) slots.push_back(&a->slot);
            }
            told.listening(names, clock.steadyMilliseconds() - sent);
        } while (!windowOver(clock, start) && !listening.empty() && !told.stopRequested());
    }

    for (Asked& a : asked)
        if (a.slot) finish(a);
    BoxIndex& index = boxIndexOf(analyser);
    for (Asked& a : asked)
        a.fold.forEach([&](const TAnalyseBuffer& reply, SerialAnswers* stations) {
            analyser.AddBox(&reply, a.name->c_str());
            if (stations) index.keepAnswers(a.name->c_str(), reply.serialNumber, std::move(*stations));
        });
}

enum class Mode { OneByOne, Concurrent };

bool sweep(CVelqorinNetworkAnalyse& analyser, const char* const* only, int onlyCount,
           const Observer* observer, Mode mode, int requests = 1) {
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
            sweepConcurrently(analyser, *adapters, request, told, requests);
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
    const SweepObserver observer{&forward, &ProgressOnly::adapter, nullptr, nullptr, nullptr, nullptr};
    return AnalyseAdapters(only, onlyCount, &observer);
}

bool CVelqorinNetworkAnalyse::AnalyseAdapters(const char* const* only, int onlyCount,
                                              const SweepObserver* observer) {
    return sweep(*this, only, onlyCount, observer, Mode::OneByOne);
}

bool CVelqorinNetworkAnalyse::AnalyseConcurrently(const char* const* only, int onlyCount,
                                                  const SweepObserver* observer) {
    return AnalyseConcurrently(only, onlyCount, observer, kDefaultRequests);
}

bool CVelqorinNetworkAnalyse::AnalyseConcurrently(const char* const* only, int onlyCount,
                                                  const SweepObserver* observer, int requests) {
    return sweep(*this, only, onlyCount, observer, Mode::Concurrent,
                 std::clamp(requests, 1, kMaxRequests));
}
