#include "WatchEvents.h"

#include "SafeText.h"

#include <map>
#include <nlohmann/json.hpp>
#include <utility>

namespace velqorin::cli {
namespace {

using Key = std::pair<std::string, std::string>;  // serial, adapter

Key keyOf(const BoxRow& row) { return {row.serial, row.adapter}; }

std::string addressOf(const BoxRow& r) { return r.ip + "/" + r.mask; }

std::string syncOf(const BoxRow& r) {
    if (!r.syncFollower) return "master";
    return "follows " + std::to_string(r.syncMaster) + " floor " + std::to_string(r.syncFloor);
}

std::vector<FieldChange> changesBetween(const BoxRow& a, const BoxRow& b) {
    std::vector<FieldChange> changes;
    auto compare = [&](const char* field, const std::string& from, const std::string& to) {
        if (from != to) changes.push_back({field, from, to});
    };
    compare("address", addressOf(a), addressOf(b));
    compare("mode", a.addressMode, b.addressMode);
    compare("neighbourhood", a.neighbourhood ? "yes" : "no", b.neighbourhood ? "yes" : "no");
    compare("version", a.version, b.version);
    compare("sync", syncOf(a), syncOf(b));
    return changes;
}

const char* kindWord(WatchEvent::Kind kind) {
    switch (kind) {
        case WatchEvent::Kind::Appeared: return "appeared";
        case WatchEvent::Kind::Went: return "went";
        case WatchEvent::Kind::Changed: break;
    }
    return "changed";
}

}  // namespace

std::vector<WatchEvent> watchEvents(const std::vector<BoxRow>& before,
                                    const std::vector<BoxRow>& after) {
    std::map<Key, const BoxRow*> earlier, later;
    for (const BoxRow& r : before) earlier.emplace(keyOf(r), &r);
    for (const BoxRow& r : after) later.emplace(keyOf(r), &r);

    std::vector<WatchEvent> events;
    for (const BoxRow& r : after) {
        const auto it = earlier.find(keyOf(r));
        if (it == earlier.end()) {
            events.push_back({WatchEvent::Kind::Appeared, r, {}});
        } else if (auto changes = changesBetween(*it->second, r); !changes.empty()) {
            events.push_back({WatchEvent::Kind::Changed, r, std::move(changes)});
        }
    }
    for (const BoxRow& r : before)
        if (!later.count(keyOf(r))) events.push_back({WatchEvent::Kind::Went, r, {}});
    return events;
}

std::vector<WatchEvent> BoxWatch::next(const std::vector<BoxRow>& rows) {
    std::map<Key, int> missedBefore;
    for (std::size_t i = 0; i < known_.size(); ++i) missedBefore.emplace(keyOf(known_[i]), missing_[i]);

    std::vector<WatchEvent> events;
    std::vector<BoxRow> held;
    std::vector<int> heldMissing;
    for (WatchEvent& e : watchEvents(known_, rows)) {
        if (e.kind != WatchEvent::Kind::Went) {
            events.push_back(std::move(e));
            continue;
        }
        const int missed = missedBefore[keyOf(e.box)] + 1;
        if (missed >= goneAfter_) {
            e.missingSweeps = missed;
            events.push_back(std::move(e));
        } else {
            held.push_back(e.box);
            heldMissing.push_back(missed);
        }
    }
    known_ = rows;
    missing_.assign(rows.size(), 0);
    known_.insert(known_.end(), held.begin(), held.end());
    missing_.insert(missing_.end(), heldMissing.begin(), heldMissing.end());
    return events;
}

// The line before its box texts are made safe for a terminal.
std::string watchLine(const WatchEvent& e, const std::string& time);

std::string watchText(const WatchEvent& e, const std::string& time) {
    return terminalText(watchLine(e, time));
}

std::string watchLine(const WatchEvent& e, const std::string& time) {
    std::string word = kindWord(e.kind);
    word.resize(9, ' ');
    std::string text = time + "  " + word + " " + e.box.serial + " on " + e.box.adapter;
    switch (e.kind) {
        case WatchEvent::Kind::Appeared:
            text += ": " + addressOf(e.box) + ", " + e.box.addressMode + ", neighbourhood " +
                    (e.box.neighbourhood ? "yes" : "no") + ", version " + e.box.version + ", " +
                    syncOf(e.box);
            break;
        case WatchEvent::Kind::Changed: {
            std::string list;
            for (const FieldChange& c : e.changes)
                list += (list.empty() ? "" : "; ") + c.field + " " + c.from + " -> " + c.to;
            text += ": " + list;
            break;
        }
        case WatchEvent::Kind::Went:
            if (e.missingSweeps > 0)
                text += ": missing from " + std::to_string(e.missingSweeps) + " sweep" +
                        (e.missingSweeps == 1 ? "" : "s") + " in a row";
            break;
    }
    return text;
}

std::string watchJson(const WatchEvent& e, const std::string& time) {
    nlohmann::json line = {{"time", time},
                           {"event", kindWord(e.kind)},
                           {"serial", e.box.serial},
                           {"adapter", e.box.adapter}};
    if (e.kind == WatchEvent::Kind::Appeared) {
        const BoxRow& r = e.box;
        line["mac"] = r.mac;
        line["addressMode"] = r.addressMode;
        line["ip"] = r.ip;
        line["mask"] = r.mask;
        line["neighbourhood"] = r.neighbourhood;
        line["version"] = r.version;
        line["syncMode"] = r.syncFollower ? "follower" : "master";
        line["syncMaster"] = r.syncFollower ? nlohmann::json(r.syncMaster) : nlohmann::json(nullptr);
        line["syncFloor"] = r.syncFollower ? nlohmann::json(r.syncFloor) : nlohmann::json(nullptr);
    }
    if (e.kind == WatchEvent::Kind::Went && e.missingSweeps > 0) line["missingSweeps"] = e.missingSweeps;
    if (e.kind == WatchEvent::Kind::Changed) {
        auto changes = nlohmann::json::array();
        for (const FieldChange& c : e.changes)
            changes.push_back({{"field", c.field}, {"from", c.from}, {"to", c.to}});
        line["changes"] = std::move(changes);
    }
    return line.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

}  // namespace velqorin::cli
