// The order of the synchronisation chains, shared by the monitor's second tab and
// `velqorin scan --sync`: each master under a separator row, its followers below it by
// floor then serial number, the groups by the master's serial number.
#pragma once

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "velqorin/Frame.h"

namespace velqorin {

// The serial number as a signed 64-bit number, when the whole text is one.
inline std::optional<std::int64_t> serialNumberValue(const TAnalyseBuffer& record) {
    const std::string text(fieldText(record.serialNumber));
    if (text.empty()) return std::nullopt;
    errno = 0;
    char* end = nullptr;
    const long long value = std::strtoll(text.c_str(), &end, 10);
    if (errno == ERANGE || end == text.c_str() || *end != '\0') return std::nullopt;
    return static_cast<std::int64_t>(value);
}

// True when `record`'s serial number names the master number `master` (a box's
// syncMaster); a serial that is no 32-bit number names no master.
inline bool serialNames(const TAnalyseBuffer& record, std::uint32_t master) {
    const auto value = serialNumberValue(record);
    if (!value || *value < INT32_MIN || *value > static_cast<std::int64_t>(UINT32_MAX)) return false;
    return static_cast<std::uint32_t>(*value) == master;
}

inline bool isSyncMaster(const TAnalyseBuffer& record) {
    return loadLe<std::uint32_t>(record.syncSlave) == 0;
}

// Only boxes on the LAN take part in the chains.
inline bool isSyncListed(const TAnalyseBuffer& record) {
    return linkKind(record) == LinkKind::Network;
}

// A master sits at its serial number shifted up 32 bits; a follower at its master's
// number, then floor + 1000, then its own serial number. The floor and serial parts are
// kept to their 16 and 32 bits so that no odd value can move a follower out of its
// master's group; for floors -5..5 and serials below 65536 nothing is cut.
inline std::int64_t syncRowKey(const TAnalyseBuffer& record) {
    const std::uint64_t serial = static_cast<std::uint64_t>(serialNumberValue(record).value_or(0));
    if (isSyncMaster(record)) return static_cast<std::int64_t>((serial & 0xFFFFFFFFu) << 32);
    const std::uint64_t master = loadLe<std::uint32_t>(record.syncMaster);
    const std::int64_t floor = loadLe<std::int32_t>(record.syncFloor);
    const std::uint64_t floorPart = static_cast<std::uint64_t>(floor + 1000) & 0xFFFFu;
    return static_cast<std::int64_t>(master << 32 | floorPart << 16 | (serial & 0xFFFFFFFFu));
}

// The separator row comes right above its master.
inline std::int64_t syncSeparatorKey(const TAnalyseBuffer& master) {
    return syncRowKey(master) - 1;
}

// -1, 0 or 1 as the key of `a` is below, equal to or above that of `b`.
inline int compareSyncKeys(std::int64_t a, std::int64_t b) { return a > b ? 1 : (a < b ? -1 : 0); }

struct SyncRow {
    const TAnalyseBuffer* record;
    bool separator;
};

// The rows of the chains for `records` (in the order the boxes were found), sorted; rows
// of equal keys keep the order in which they were found.
inline std::vector<SyncRow> syncRows(const std::vector<const TAnalyseBuffer*>& records) {
    std::vector<std::pair<std::int64_t, SyncRow>> keyed;
    for (const TAnalyseBuffer* r : records) {
        if (!isSyncListed(*r)) continue;
        keyed.push_back({syncRowKey(*r), {r, false}});
        if (isSyncMaster(*r)) keyed.push_back({syncSeparatorKey(*r), {r, true}});
    }
    std::stable_sort(keyed.begin(), keyed.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    std::vector<SyncRow> rows;
    rows.reserve(keyed.size());
    for (const auto& k : keyed) rows.push_back(k.second);
    return rows;
}

}  // namespace velqorin
