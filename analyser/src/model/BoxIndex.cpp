#include "model/BoxIndex.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <mutex>

#include "velqorin/NetworkAnalyse.h"

namespace velqorin {
namespace {

std::mutex g_indexesMutex;
std::unordered_map<const CVelqorinNetworkAnalyse*, std::unique_ptr<BoxIndex>>& indexes() {
    static auto* table =
        new std::unordered_map<const CVelqorinNetworkAnalyse*, std::unique_ptr<BoxIndex>>;
    return *table;
}

std::string keyOf(const char* adapterName, std::size_t adapterMax, const char* serial) {
    const std::size_t adapterLength = strnlen(adapterName, adapterMax);
    const std::size_t serialLength = strnlen(serial, sizeof(TAnalyseBuffer::serialNumber));
    std::string key;
    key.reserve(adapterLength + 1 + serialLength);
    key.append(adapterName, adapterLength).push_back('\0');
    key.append(serial, serialLength);
    return key;
}

std::string keyOf(const CVelqorinBoxOnNetwork& box) {
    return keyOf(box.adapterName, CVelqorinBoxOnNetwork::kAdapterNameSize,
                 box.storedRecord.serialNumber);
}

}  // namespace

void noteRecordRewritten(const CVelqorinBoxOnNetwork& box) {
    // A box does not know its analyser: the index that lists it is found among all of
    // them, which is one as a rule. The lists and the index of an analyser are for one
    // thread at a time, as the analyser is; the table is shared, so it is locked.
    const std::lock_guard lock(g_indexesMutex);
    for (auto& [analyser, index] : indexes())
        if (index->lists(&box)) index->recordRewritten();
}

BoxIndex& boxIndexOf(const CVelqorinNetworkAnalyse& analyser) {
    const std::lock_guard lock(g_indexesMutex);
    auto& slot = indexes()[&analyser];
    if (!slot) slot = std::make_unique<BoxIndex>();
    return *slot;
}

void forgetBoxIndex(const CVelqorinNetworkAnalyse& analyser) {
    const std::lock_guard lock(g_indexesMutex);
    indexes().erase(&analyser);
}

void BoxIndex::clear() {
    boxes_.clear();
    answers_.clear();
    listed_.clear();
    first_ = last_ = nullptr;
    count_ = 0;
    stale_ = false;
}

void BoxIndex::followed(const CVelqorinNetworkAnalyse& analyser) {
    first_ = analyser.firstBox;
    last_ = analyser.lastBox;
    count_ = analyser.boxCount;
}

void BoxIndex::follow(const CVelqorinNetworkAnalyse& analyser) {
    if (first_ == analyser.firstBox && last_ == analyser.lastBox && count_ == analyser.boxCount &&
        !stale_)
        return;
    boxes_.clear();
    listed_.clear();
    // The boxes the walk would visit: at most boxCount from firstBox.
    CVelqorinBoxOnNetwork* box = analyser.firstBox;
    for (int visited = 0; box != nullptr && visited < analyser.boxCount;
         ++visited, box = box->next) {
        boxes_[keyOf(*box)].push_back(box);
        listed_.insert(box);
    }
    followed(analyser);
    stale_ = false;
}

CVelqorinBoxOnNetwork* BoxIndex::find(const CVelqorinNetworkAnalyse& analyser,
                                      const TAnalyseBuffer& reply, const char* adapterName) {
    follow(analyser);
    // Compared over 10000 characters: a longer name matches no listed box, whose name
    // holds at most 9999.
    const auto found =
        boxes_.find(keyOf(adapterName, CVelqorinBoxOnNetwork::kAdapterNameSize, reply.serialNumber));
    return found == boxes_.end() || found->second.empty() ? nullptr : found->second.front();
}

void BoxIndex::noteAnswer(const TAnalyseBuffer& held, const TAnalyseBuffer& reply,
                          const char* adapterName, bool ours) {
    std::string key = keyOf(adapterName, CVelqorinBoxOnNetwork::kAdapterNameSize, reply.serialNumber);
    auto found = answers_.find(key);
    if (found == answers_.end()) {
        if (std::memcmp(held.sourceMac, reply.sourceMac, kMacSize) == 0) return;
        found = answers_.emplace(std::move(key), SerialAnswers{}).first;
        found->second.note(held, false);
    }
    found->second.note(reply, ours);
}

void BoxIndex::keepAnswers(const char* adapterName, const char* serial, SerialAnswers answers) {
    answers_[keyOf(adapterName, CVelqorinBoxOnNetwork::kAdapterNameSize, serial)] = std::move(answers);
}

const SerialAnswers* BoxIndex::answersFor(const CVelqorinBoxOnNetwork& box) const {
    const auto found = answers_.find(keyOf(box));
    return found == answers_.end() ? nullptr : &found->second;
}

void BoxIndex::removing(CVelqorinBoxOnNetwork* box) {
    listed_.erase(box);
    const auto found = boxes_.find(keyOf(*box));
    if (found == boxes_.end()) return;
    auto& same = found->second;
    same.erase(std::remove(same.begin(), same.end(), box), same.end());
    if (same.empty()) boxes_.erase(found);
}

void BoxIndex::appended(const CVelqorinNetworkAnalyse& analyser, CVelqorinBoxOnNetwork* box) {
    boxes_[keyOf(*box)].push_back(box);
    listed_.insert(box);
    followed(analyser);
}

}  // namespace velqorin
