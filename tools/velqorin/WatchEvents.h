// What `velqorin scan --watch` reports between two sweeps: boxes that appeared, that went,
// or whose address, mode, neighbourhood, version or synchronisation changed. A box is
// known by its serial number and the adapter it answers on.
#pragma once

#include <string>
#include <vector>

#include "BoxReport.h"

namespace velqorin::cli {

struct FieldChange {
    std::string field;  // address, mode, neighbourhood, version, sync
    std::string from;
    std::string to;
};

struct WatchEvent {
    enum class Kind { Appeared, Went, Changed };
    Kind kind = Kind::Appeared;
    BoxRow box;  // as the later sweep saw it; as the earlier one did for a box that went
    std::vector<FieldChange> changes;
    int missingSweeps = 0;  // a box that went: the sweeps in a row it was missing from
};

// Appeared and changed boxes in the order of `after`, then the boxes that went in the
// order of `before`.
std::vector<WatchEvent> watchEvents(const std::vector<BoxRow>& before,
                                    const std::vector<BoxRow>& after);

// Follows the boxes from sweep to sweep. A box missing from a sweep is reported gone only
// once it has been missing from `goneAfter` sweeps in a row; one that comes back before
// is compared with what it was when last seen, so a lost reply makes no line at all.
class BoxWatch {
public:
    explicit BoxWatch(int goneAfter) : goneAfter_(goneAfter < 1 ? 1 : goneAfter) {}
    // The events of one more sweep's rows.
    std::vector<WatchEvent> next(const std::vector<BoxRow>& rows);

private:
    int goneAfter_;
    std::vector<BoxRow> known_;  // the last sweep's rows, then the boxes missing since
    std::vector<int> missing_;   // for each of known_, the sweeps in a row it missed
};

// One line for people, without its line end:
// "2024-05-02 14:03:07  changed   6001 on vq1: address 192.0.2.41/255.255.255.0 -> ..."
std::string watchText(const WatchEvent& event, const std::string& time);
// One JSON object on one line, without its line end.
std::string watchJson(const WatchEvent& event, const std::string& time);

}  // namespace velqorin::cli
