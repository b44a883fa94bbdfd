// A scripted link and clock, so the sweep and the commands run without raw access and
// without waiting: each receive takes the next scripted batch, or times out at once on
// the fake clock.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Frames.h"
#include "Link.h"

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
    void advance(std::chrono::milliseconds d) { nowMs_ += d.count(); }
    std::int64_t nowMs() const { return nowMs_; }
    std::vector<std::chrono::milliseconds> pauses;

private:
    std::int64_t nowMs_;
};

using Bytes = std::vector<std::uint8_t>;

inline Bytes bytesOf(const TAnalyseBuffer& frame) {
    return {frameBytes(frame), frameBytes(frame) + kFrameSize};
}

struct Batch {
    std::chrono::milliseconds after{0};  // how long the receive waits before it returns
    std::vector<Bytes> frames;
};

struct FakeAdapter {
    std::string name;
    Mac mac = kAdapterMac;
    bool openFails = false;
    bool macFails = false;
    bool sendFails = false;
    bool receiveFails = false;
    std::deque<Batch> batches;
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
    int receives = 0;

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
        ++link_.openNow;
    }
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
        if (adapter_.receiveFails) {
            link_.clock_.advance(timeout);
            return false;
        }
        if (adapter_.batches.empty()) {
            link_.clock_.advance(timeout);
            return true;
        }
        Batch batch = std::move(adapter_.batches.front());
        adapter_.batches.pop_front();
        link_.clock_.advance(std::min(batch.after, timeout));
        for (const Bytes& f : batch.frames)
            if (!step(f.data(), f.size())) break;
        return true;
    }
    bool queryMac(std::uint8_t* mac) override {
        if (adapter_.macFails) return false;
        std::memcpy(mac, adapter_.mac.data(), kMacSize);
        return true;
    }
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

// Installs a fake link and clock for one test and puts the platform's back after it.
class FakeRawNetwork {
public:
    explicit FakeRawNetwork(std::int64_t clockOffsetMs = 0) : clock(clockOffsetMs), link(clock) {
        setLink(&link);
        setClock(&clock);
    }
    ~FakeRawNetwork() {
        setLink(nullptr);
        setClock(nullptr);
    }
    FakeClock clock;
    FakeLink link;
};

}  // namespace velqorin::test
