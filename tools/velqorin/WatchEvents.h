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
};

// Appeared and changed boxes in the order of `after`, then the boxes that went in the
// order of `before`.
std::vector<WatchEvent> watchEvents(const std::vector<BoxRow>& before,
                                    const std::vector<BoxRow>& after);

// One line for people, without its line end:
// "2024-05-02 14:03:07  changed   6001 on vq1: address 192.0.2.41/255.255.255.0 -> ..."
std::string watchText(const WatchEvent& event, const std::string& time);
// One JSON object on one line, without its line end.
std::string watchJson(const WatchEvent& event, const std::string& time);

}  // namespace velqorin::cli
