// The replies of one serial number on one adapter, one per station (source MAC), kept once
// more than one station answers with it: two boxes given the same serial number, or a
// station answering in a box's name. A command must then not go to either unseen.
#pragma once

#include <cstddef>
#include <cstring>
#include <vector>

#include "velqorin/Frame.h"

namespace velqorin {

class SerialAnswers {
public:
    // A flood of made-up stations must not grow without bound.
    static constexpr std::size_t kMaxStations = 16;

    // The station's first reply, or a later one carrying this analyser's token (`ours`):
    // the one with the challenge the station sent last.
    void note(const TAnalyseBuffer& reply, bool ours) {
        for (TAnalyseBuffer& held : replies_) {
            if (std::memcmp(held.sourceMac, reply.sourceMac, kMacSize) != 0) continue;
            if (ours) held = reply;
            return;
        }
        if (replies_.size() < kMaxStations) replies_.push_back(reply);
    }
    // In the order the stations first answered.
    const std::vector<TAnalyseBuffer>& replies() const { return replies_; }

private:
    std::vector<TAnalyseBuffer> replies_;
};

}  // namespace velqorin
