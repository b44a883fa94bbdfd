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
class ConcurrentSweep {
public:
    ConcurrentSweep(CVelqorinNetworkAnalyse& analyser, const TAnalyseBuffer& request,
                    const Told& told, int requests)
        : analyser_(analyser),
          request_(request),
          told_(told),
          requests_(requests),
          most_(requests > 1 ? CVelqorinNetworkAnalyse::kMaxRequests : 1),
          clock_(currentClock()) {}

    void run(const std::vector<std::string>& adapters) {
        askAll(adapters);
        room_ = CVelqorinNetworkAnalyse::kMaxBoxes - analyser_.boxCount;
        if (!asked_.empty() && !told_.stopRequested()) listen();
        for (Asked& a : asked_)
            if (a.slot) finish(a);
        list();
    }

private:
    static constexpr std::int64_t kSpacing = CVelqorinNetworkAnalyse::kRepeatSpacingMs;

    struct Asked {
        const std::string* name;
        AdapterSlot slot;
        TAnalyseBuffer request;  // with the adapter's own MAC
        ReplyFold fold;
        std::vector<std::int64_t> sentAt;  // when each request went out
    };

    void askAll(const std::vector<std::string>& adapters) {
        const int count = static_cast<int>(adapters.size());
        asked_.reserve(adapters.size());  // `listening_` points into it
        for (int index = 0; index < count && !told_.stopRequested(); ++index) {
            const std::string& name = adapters[static_cast<std::size_t>(index)];
            told_.adapter(name, index, count);
            Asked a{&name, nullptr, request_, ReplyFold(analyser_.analyserToken, requests_ > 1), {}};
            if (!openAndAsk(a.slot, name, a.request)) continue;
            a.sentAt.push_back(clock_.steadyMilliseconds());
            asked_.push_back(std::move(a));
        }
    }

    void listen() {
        sent_ = clock_.steadyMilliseconds();
        clock_.pause(kPauseBeforeWindow);
        const std::time_t start = clock_.seconds();
        for (Asked& a : asked_) listening_.push_back(&a);
        roundsGoOn_ = requests_ > 1;
        roundsAnswered_ = requests_ > 1 ? sent_ + kSpacing : sent_;
        do {
            std::vector<const char*> names;
            for (Asked* a : listening_) names.push_back(a->name->c_str());
            readOnce();
            told_.listening(names, clock_.steadyMilliseconds() - sent_);
        } while (!windowOver(clock_, start) && !listening_.empty() && !told_.stopRequested());
    }

    // One read as the single request has it: it ends at its first frames or after a
    // second. A repeat that falls due meanwhile goes out without ending it.
    void readOnce() {
        const std::int64_t readEnds = clock_.steadyMilliseconds() + kReadTimeout.count();
        bool heard = false;
        for (;;) {
            std::vector<AdapterSlot*> slots;
            for (Asked* a : listening_) slots.push_back(&a->slot);
            const std::int64_t now = clock_.steadyMilliseconds();
            const std::int64_t until = roundsGoOn_ ? std::min(readEnds, roundDue()) : readEnds;
            const std::vector<Asked*> read = listening_;
            leave(LinkReceiveAny(
                slots,
                [&](std::size_t at, const std::uint8_t* frame, std::size_t length) {
                    heard = heard || clock_.steadyMilliseconds() >= roundsAnswered_;
                    if (isDiscoveryReply(request_, frame, length))
                        read[at]->fold.add(frame, room_, clock_.steadyMilliseconds());
                },
                std::chrono::milliseconds(std::max<std::int64_t>(until - now, 0))));
            if (roundsGoOn_ && clock_.steadyMilliseconds() >= roundDue()) sendRound();
            if (heard || listening_.empty() || clock_.steadyMilliseconds() >= readEnds) break;
        }
    }

    // The next round of requests, to each adapter that still owes one.
    void sendRound() {
        std::vector<std::size_t> failed;
        bool any = false;
        for (std::size_t i = 0; i < listening_.size(); ++i) {
            Asked& a = *listening_[i];
            const int askedTimes = static_cast<int>(a.sentAt.size());
            if (askedTimes >= most_ ||
                (rounds_ >= requests_ && !a.fold.showsLoss(a.sentAt, clock_.steadyMilliseconds())))
                continue;
            // The MAC is read before every send; an adapter that lost it skips this one.
            if (!LinkQueryMac(a.slot, a.request.sourceMac)) continue;
            if (LinkSend(a.slot, a.request)) {
                a.sentAt.push_back(clock_.steadyMilliseconds());
                any = true;
            } else {
                failed.push_back(i);  // the send closed it
            }
        }
        leave(std::move(failed));
        if (any) roundsAnswered_ = clock_.steadyMilliseconds() + kSpacing;
        ++rounds_;
        roundsGoOn_ = rounds_ < most_ && (any || rounds_ < requests_);
    }

    // An adapter whose read or repeat fails leaves the window, closed, so that it cannot
    // keep the others' reads busy; what it gave so far stays. `failed`: ascending places.
    void leave(std::vector<std::size_t> failed) {
        for (auto at = failed.rbegin(); at != failed.rend(); ++at) {
            finish(*listening_[*at]);
            listening_.erase(listening_.begin() + static_cast<std::ptrdiff_t>(*at));
        }
    }

    void finish(Asked& a) {
        const unsigned dropped = droppedOn(a.slot);
        told_.adapterDone(*a.name, a.fold.replies(),
                          dropped + static_cast<unsigned>(a.fold.beyondLimit()));
        const int sent = static_cast<int>(a.sentAt.size());
        told_.tally({a.name->c_str(), sent, a.fold.replies(), a.fold.boxes(),
                     a.fold.answeredFewerThan(sent), dropped, a.fold.beyondLimit()});
        LinkClose(a.slot);
    }

    void list() {
        BoxIndex& index = boxIndexOf(analyser_);
        for (Asked& a : asked_)
            a.fold.forEach([&](const TAnalyseBuffer& reply, SerialAnswers* stations) {
                analyser_.AddBox(&reply, a.name->c_str());
                if (stations)
                    index.keepAnswers(a.name->c_str(), reply.serialNumber, std::move(*stations));
            });
    }

    // When the next round of requests is due.
    std::int64_t roundDue() const { return sent_ + rounds_ * kSpacing; }

    CVelqorinNetworkAnalyse& analyser_;
    const TAnalyseBuffer& request_;
    const Told& told_;
    const int requests_;
    const int most_;
    Clock& clock_;
    std::vector<Asked> asked_;
    std::vector<Asked*> listening_;  // the adapters still read
    int room_ = 0;                   // shared by the adapters: the boxes the sweep may still list
    std::int64_t sent_ = 0;          // when the window began
    int rounds_ = 1;                 // rounds of requests so far
    bool roundsGoOn_ = false;
    // Until the answers to the last round are in, frames do not end a read: the reads
    // then end when they would have without repeats, and so does the window.
    std::int64_t roundsAnswered_ = 0;
};

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
            ConcurrentSweep(analyser, request, told, requests).run(*adapters);
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
