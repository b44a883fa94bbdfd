#include "velqorin/CommandBatch.h"

#include <algorithm>
#include <deque>
#include <cstring>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>

#include "link/Link.h"
#include "link/Ping.h"
#include "model/CommandFrame.h"
#include "support/Mac.h"
#include "velqorin/Address.h"

namespace velqorin {

std::vector<bool> pingAddresses(const std::vector<sockaddr_storage>& addresses) {
    std::vector<std::array<std::uint8_t, 4>> targets(addresses.size());
    for (std::size_t i = 0; i < addresses.size(); ++i)
        std::memcpy(targets[i].data(), blockAddress(addresses[i]), 4);
    return pingAll(targets);
}

CommandPreparation networkCommand(const char* password, bool dhcp, sockaddr_storage address,
                                  sockaddr_storage mask, bool neighbourhood, bool restart) {
    return [=](CVelqorinBoxOnNetwork& box) {
        return writeNetwork(box, password, dhcp, address, mask, neighbourhood, restart);
    };
}

CommandPreparation networkSpeedCommand(const char* password, T_INI_VITESSE_RESEAU speed, bool restart) {
    return [=](CVelqorinBoxOnNetwork& box) { return writeNetworkSpeed(box, password, speed, restart); };
}

CommandPreparation synchroCommand(const char* password, bool masterMode, unsigned int master, int floor,
                                  bool syncNow) {
    return [=](CVelqorinBoxOnNetwork& box) {
        return writeSynchro(box, password, masterMode, master, floor, syncNow);
    };
}

CommandPreparation unlockCommand(const char* unlockCode) {
    return [=](CVelqorinBoxOnNetwork& box) { return writeUnlock(box, unlockCode); };
}

namespace {

// A command on its way: sent, its answer not yet in.
struct InFlight {
    std::size_t box;
    TAnalyseBuffer command;
    std::int64_t sentMs;
    std::optional<std::time_t> windowStart;  // the whole second, once the pause is over
};

// One adapter's capture and its boxes. A box's next command waits in `followUps` once
// its last one was accepted, ahead of the boxes not started, so that it goes out while the
// answer's challenge is fresh.
struct AdapterRun {
    std::string name;
    AdapterSlot slot;
    std::deque<std::size_t> fresh;
    std::deque<std::size_t> followUps;
    std::unordered_map<std::uint64_t, InFlight> inFlight;  // by the box's MAC: one at a time
};

class CommandRun {
public:
    CommandRun(const std::vector<BoxCommands>& boxes, const CommandBatchOptions& options)
        : boxes_(boxes), options_(options), clock_(currentClock()), results_(boxes.size()),
          next_(boxes.size(), 0), adapterOf_(boxes.size(), 0) {
        std::map<std::string, std::size_t> byName;
        for (std::size_t i = 0; i < boxes.size(); ++i) {
            if (boxes[i].box == nullptr || boxes[i].commands.empty()) continue;
            const std::string name(boxes[i].box->adapterName,
                                   strnlen(boxes[i].box->adapterName, CVelqorinBoxOnNetwork::kAdapterNameSize));
            const auto [at, added] = byName.emplace(name, adapters_.size());
            if (added) {
                adapters_.push_back(std::make_unique<AdapterRun>());
                adapters_.back()->name = name;
            }
            adapterOf_[i] = at->second;
            adapters_[at->second]->fresh.push_back(i);
        }
    }

    std::vector<std::vector<int>> run() {
        // An adapter that does not open leaves its slot empty: each of its commands is then
        // prepared and ends with no answer, as its own Send would.
        for (auto& a : adapters_) LinkOpen(a->slot, a->name);
        for (;;) {
            for (auto& a : adapters_) fill(*a);
            std::vector<AdapterRun*> reading;
            for (auto& a : adapters_)
                if (!a->inFlight.empty()) reading.push_back(a.get());
            if (reading.empty()) break;
            read(reading);
            closeWindows();
        }
        for (auto& a : adapters_) LinkClose(a->slot);
        return std::move(results_);
    }

private:
    std::size_t bound() const { return std::max<std::size_t>(options_.inFlightPerAdapter, 1); }

    void fill(AdapterRun& a) {
        while (a.inFlight.size() < bound()) {
            const auto box = takeSendable(a, a.followUps);
            const auto next = box ? box : takeSendable(a, a.fresh);
            if (!next) return;
            start(a, *next);
        }
    }

    // The first box of `queue` with no command in flight: a box listed twice waits for
    // its own answer.
    std::optional<std::size_t> takeSendable(AdapterRun& a, std::deque<std::size_t>& queue) {
        for (auto it = queue.begin(); it != queue.end(); ++it) {
            if (a.inFlight.count(macKey(boxes_[*it].box->storedRecord.sourceMac)) != 0) continue;
            const std::size_t box = *it;
            queue.erase(it);
            return box;
        }
        return std::nullopt;
    }

    void start(AdapterRun& a, std::size_t box) {
        CVelqorinBoxOnNetwork& target = *boxes_[box].box;
        const CommandCode code = boxes_[box].commands[next_[box]](target);
        InFlight f{box, {}, 0, std::nullopt};
        const bool built = buildCommand(target, code, f.command);
        const bool sent = built && a.slot && a.slot->send(frameBytes(f.command), kFrameSize);
        wipeSecrets(target, f.command);
        if (!sent) return record(box, kCommandNoAnswer);
        f.sentMs = clock_.steadyMilliseconds();
        a.inFlight.emplace(macKey(f.command.destinationMac), f);
    }

    void record(std::size_t box, int result) {
        results_[box].push_back(result);
        ++next_[box];
        if (result == kCommandAccepted && next_[box] < boxes_[box].commands.size()) {
            adapters_[adapterOf_[box]]->followUps.push_back(box);
            return;
        }
        ++done_;
        if (options_.progress) options_.progress(done_);
    }

    // One read of every adapter with commands in flight, no longer than until the next
    // window starts.
    void read(const std::vector<AdapterRun*>& reading) {
        std::vector<AdapterSlot*> slots;
        const std::int64_t now = clock_.steadyMilliseconds();
        std::int64_t timeout = kReadTimeout.count();
        for (AdapterRun* a : reading) {
            slots.push_back(&a->slot);
            for (const auto& [mac, f] : a->inFlight)
                if (!f.windowStart) timeout = std::min(timeout, f.sentMs + kCommandPause.count() - now);
        }
        const auto failed = LinkReceiveAny(
            slots,
            [&](std::size_t at, const std::uint8_t* frame, std::size_t length) {
                if (length < 2 * kMacSize) return;
                AdapterRun& a = *reading[at];
                const auto it = a.inFlight.find(macKey(frame + kMacSize));
                if (it == a.inFlight.end()) return;
                const auto result = takeAnswer(*boxes_[it->second.box].box, it->second.command, frame, length);
                if (!result) return;
                const std::size_t box = it->second.box;
                a.inFlight.erase(it);
                record(box, *result);
            },
            std::chrono::milliseconds(std::max<std::int64_t>(timeout, 0)));
        // An adapter whose capture failed is closed: what is in flight on it gets no
        // answer, and what waits is prepared and ends the same way.
        for (const std::size_t at : failed) {
            AdapterRun& a = *reading[at];
            LinkClose(a.slot);
            dropInFlight(a);
        }
    }

    void dropInFlight(AdapterRun& a) {
        std::vector<std::size_t> lost;
        for (const auto& [mac, f] : a.inFlight) lost.push_back(f.box);
        a.inFlight.clear();
        std::sort(lost.begin(), lost.end());
        for (const std::size_t box : lost) record(box, kCommandNoAnswer);
    }

    // Each window starts when its command's pause is over, on the whole-second clock, and
    // ends at the first check after that clock has moved on by three.
    void closeWindows() {
        const std::int64_t now = clock_.steadyMilliseconds();
        const std::time_t second = clock_.seconds();
        for (auto& a : adapters_) {
            std::vector<std::size_t> expired;
            for (auto it = a->inFlight.begin(); it != a->inFlight.end();) {
                InFlight& f = it->second;
                if (!f.windowStart) {
                    if (now >= f.sentMs + kCommandPause.count()) f.windowStart = second;
                } else if (second - *f.windowStart > kAnswerWindowSeconds) {
                    expired.push_back(f.box);
                    it = a->inFlight.erase(it);
                    continue;
                }
                ++it;
            }
            std::sort(expired.begin(), expired.end());
            for (const std::size_t box : expired) record(box, kCommandNoAnswer);
        }
    }

    const std::vector<BoxCommands>& boxes_;
    const CommandBatchOptions& options_;
    Clock& clock_;
    std::vector<std::vector<int>> results_;
    std::vector<std::size_t> next_;       // each box's next command
    std::vector<std::size_t> adapterOf_;  // each box's adapter, in adapters_
    std::vector<std::unique_ptr<AdapterRun>> adapters_;
    std::size_t done_ = 0;
};

}  // namespace

std::vector<std::vector<int>> sendCommands(const std::vector<BoxCommands>& boxes,
                                           const CommandBatchOptions& options) {
    return CommandRun(boxes, options).run();
}

}  // namespace velqorin
