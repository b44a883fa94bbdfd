// A scripted link and clock, so the sweep and the commands run without raw access and
// without waiting: each receive takes the next scripted batch, or times out at once on
// the fake clock.
#pragma once

#include <chrono>
#include <cstdint>
#include <algorithm>
#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Frames.h"
#include "link/Link.h"

namespace velqorin::test {

class FakeClock final : public Clock {
public:
    // Starts `offsetMs` into a whole second, so tests can place the second boundaries.
    explicit FakeClock(std::int64_t offsetMs = 0) : nowMs_(1'700'000'000'000 + offsetMs) {}
    std::time_t seconds() override { return static_cast<std::time_t>(nowMs_ / 1000); }
    void pause(std::chrono::milliseconds d) override {
        pauses.push_back(d);
        advance(d);
    }
    std::int64_t steadyMilliseconds() override { return nowMs_; }
    void advance(std::chrono::milliseconds d) { nowMs_ += d.count(); }
    void advanceTo(std::int64_t ms) { nowMs_ = std::max(nowMs_, ms); }
    std::int64_t nowMs() const { return nowMs_; }
    std::vector<std::chrono::milliseconds> pauses;

private:
    std::int64_t nowMs_;
};

using Bytes = std::vector<std::uint8_t>;

inline Bytes bytesOf(const TAnalyseBuffer& frame) {
    return {frameBytes(frame), frameBytes(frame) + kFrameSize};
}

// The answer a box sends to `command`: its state, a new challenge, kind 2 or 5.
inline Bytes answerTo(const Bytes& command, FrameKind kind, const char* challenge) {
    TAnalyseBuffer a;
    std::memcpy(&a, command.data(), kFrameSize);
    std::swap_ranges(a.destinationMac, a.destinationMac + 6, a.sourceMac);
    a.frameKind = static_cast<std::uint8_t>(kind);
    std::memset(a.credential, 0, sizeof a.credential);
    a.clearPassword = 0;
    setFieldText(a.challenge, challenge);
    return bytesOf(a);
}

struct Batch {
    Batch() = default;
    Batch(std::chrono::milliseconds wait, std::vector<Bytes> batchFrames)
        : after(wait), frames(std::move(batchFrames)) {}
    // Frames that arrive at time `ms` of the fake clock, whenever the read began: how
    // frames on several adapters interleave in time.
    static Batch arrivingAt(std::int64_t ms, std::vector<Bytes> batchFrames) {
        Batch b({}, std::move(batchFrames));
        b.atMs = ms;
        return b;
    }

    std::chrono::milliseconds after{0};  // how long the receive waits before it returns
    std::vector<Bytes> frames;
    std::optional<std::int64_t> atMs;  // set by arrivingAt; `after` is then unused
};

struct FakeAdapter {
    std::string name;
    Mac mac = kAdapterMac;
    bool openFails = false;
    bool macFails = false;
    bool sendFails = false;
    bool receiveFails = false;
    // Reads fail from this time of the fake clock on (the adapter went away).
    std::optional<std::int64_t> failsFromMs;
    unsigned dropped = 0;
    std::deque<Batch> batches;
    std::size_t delivered = 0;  // frames offered to a reader so far

    bool failsAt(std::int64_t nowMs) const {
        return receiveFails || (failsFromMs && nowMs >= *failsFromMs);
    }
    // When the first waiting batch arrives, for a read that began at `nowMs`.
    std::optional<std::int64_t> nextArrival(std::int64_t nowMs) const {
        if (batches.empty()) return std::nullopt;
        const Batch& b = batches.front();
        return b.atMs ? std::max(*b.atMs, nowMs) : nowMs + b.after.count();
    }
    // Frames that arrive at time `ms`, among the other batches that arrive at set times
    // in the order of their times.
    void arriveAt(std::int64_t ms, std::vector<Bytes> frames) {
        auto at = std::find_if(batches.begin(), batches.end(),
                               [ms](const Batch& b) { return b.atMs && *b.atMs > ms; });
        batches.insert(at, Batch::arrivingAt(ms, std::move(frames)));
    }
    // Called for every frame sent on the adapter; may queue batches in answer.
    std::function<void(FakeAdapter&, const Bytes&)> onSend;
};

class FakeLink final : public Link {
public:
    explicit FakeLink(FakeClock& clock) : clock_(clock) {}

    FakeAdapter& add(const std::string& name, Mac mac = kAdapterMac) {
        adapters_.push_back(std::make_unique<FakeAdapter>());
        adapters_.back()->name = name;
        adapters_.back()->mac = mac;
        return *adapters_.back();
    }
    FakeAdapter& operator[](const std::string& name) { return *find(name); }

    std::optional<std::vector<std::string>> listAdapters() override {
        if (listFails) return std::nullopt;
        std::vector<std::string> names;
        for (auto& a : adapters_) names.push_back(a->name);
        return names;
    }

    std::unique_ptr<LinkAdapter> open(const std::string& name) override;
    std::vector<std::size_t> receiveAny(const std::vector<LinkAdapter*>& adapters,
                                        std::chrono::milliseconds timeout,
                                        const AdapterFrameStep& step) override;
    std::string error() const override { return "fake link failure"; }

    struct Sent {
        std::string adapter;
        Bytes frame;
        std::int64_t atMs;
    };
    bool listFails = false;
    std::vector<Sent> sent;
    std::vector<std::string> opened;
    int openNow = 0;  // adapters currently open
    int maxOpen = 0;  // the most that were open at once
    int receives = 0;
    // Each receiveAny: the fake clock's time it returned at and the adapters it read.
    struct Read {
        std::int64_t atMs;
        std::vector<std::string> adapters;
    };
    std::vector<Read> reads;

private:
    friend class FakeOpenAdapter;
    FakeAdapter* find(const std::string& name) {
        for (auto& a : adapters_)
            if (a->name == name) return a.get();
        return nullptr;
    }
    FakeClock& clock_;
    std::vector<std::unique_ptr<FakeAdapter>> adapters_;
};

class FakeOpenAdapter final : public LinkAdapter {
public:
    FakeOpenAdapter(FakeLink& link, FakeAdapter& adapter) : link_(link), adapter_(adapter) {
        link_.maxOpen = std::max(link_.maxOpen, ++link_.openNow);
    }
    FakeAdapter& adapter() { return adapter_; }
    ~FakeOpenAdapter() override { --link_.openNow; }

    bool send(const std::uint8_t* frame, std::size_t length) override {
        if (adapter_.sendFails) return false;
        Bytes bytes(frame, frame + length);
        link_.sent.push_back({adapter_.name, bytes, link_.clock_.nowMs()});
        if (adapter_.onSend) adapter_.onSend(adapter_, bytes);
        return true;
    }
    bool receive(std::chrono::milliseconds timeout, const FrameStep& step) override {
        ++link_.receives;
        const std::int64_t now = link_.clock_.nowMs();
        if (adapter_.failsAt(now)) {
            link_.clock_.advance(timeout);
            return false;
        }
        const auto arrival = adapter_.nextArrival(now);
        if (!arrival || *arrival > now + timeout.count()) {
            link_.clock_.advance(timeout);
            return true;
        }
        link_.clock_.advanceTo(*arrival);
        Batch batch = std::move(adapter_.batches.front());
        adapter_.batches.pop_front();
        for (const Bytes& f : batch.frames)
            if (!step(f.data(), f.size())) break;
        return true;
    }
    bool queryMac(std::uint8_t* mac) override {
        if (adapter_.macFails) return false;
        std::memcpy(mac, adapter_.mac.data(), kMacSize);
        return true;
    }
    unsigned dropped() const override { return adapter_.dropped; }
    std::string error() const override { return "fake adapter failure"; }

private:
    FakeLink& link_;
    FakeAdapter& adapter_;
};

inline std::unique_ptr<LinkAdapter> FakeLink::open(const std::string& name) {
    opened.push_back(name);
    FakeAdapter* a = find(name);
    if (a == nullptr || a->openFails) return nullptr;
    return std::make_unique<FakeOpenAdapter>(*this, *a);
}

// Waits like a poll over every adapter: returns at the first arrival on any of them (all
// that arrive then are read), at a failure, or at the timeout.
inline std::vector<std::size_t> FakeLink::receiveAny(const std::vector<LinkAdapter*>& adapters,
                                                     std::chrono::milliseconds timeout,
                                                     const AdapterFrameStep& step) {
    ++receives;
    std::vector<FakeAdapter*> fakes;
    for (LinkAdapter* a : adapters) fakes.push_back(&static_cast<FakeOpenAdapter*>(a)->adapter());
    const std::int64_t now = clock_.nowMs();
    std::int64_t until = now + timeout.count();
    for (FakeAdapter* f : fakes) {
        if (f->failsAt(now)) until = now;
        else if (f->failsFromMs) until = std::min(until, *f->failsFromMs);
        if (auto arrival = f->nextArrival(now)) until = std::min(until, *arrival);
    }
    clock_.advanceTo(until);
    std::vector<std::size_t> failed;
    Read read{clock_.nowMs(), {}};
    for (std::size_t i = 0; i < fakes.size(); ++i) {
        FakeAdapter& f = *fakes[i];
        read.adapters.push_back(f.name);
        if (f.failsAt(clock_.nowMs())) {
            failed.push_back(i);
            continue;
        }
        if (auto arrival = f.nextArrival(now); !arrival || *arrival > clock_.nowMs()) continue;
        Batch batch = std::move(f.batches.front());
        f.batches.pop_front();
        for (const Bytes& frame : batch.frames) {
            ++f.delivered;
            step(i, frame.data(), frame.size());
        }
    }
    reads.push_back(std::move(read));
    return failed;
}

// Installs a fake link and clock for one test and puts the platform's back after it.
class FakeRawNetwork {
public:
    explicit FakeRawNetwork(std::int64_t clockOffsetMs = 0) : clock(clockOffsetMs), link(clock) {}
    FakeClock clock;
    FakeLink link;

private:
    ScopedLink usingLink_{link};
    ScopedClock usingClock_{clock};
};

}  // namespace velqorin::test
