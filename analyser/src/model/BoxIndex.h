// The analyser's box list looked up by adapter and serial number in constant time. The
// list itself is interface (callers walk firstBox / next), so the index lives beside the
// analyser rather than in it, one per analyser object.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "model/SerialAnswers.h"

class CVelqorinBoxOnNetwork;
class CVelqorinNetworkAnalyse;
struct TAnalyseBuffer;

namespace velqorin {

class BoxIndex {
public:
    // The first listed box (within boxCount from firstBox) that a reply on `adapterName`
    // matches: the same adapter name over 10000 characters, the same serial number over
    // 20. Null when none does.
    CVelqorinBoxOnNetwork* find(const CVelqorinNetworkAnalyse& analyser,
                                const TAnalyseBuffer& reply, const char* adapterName);
    // Brings the index up to the list as it is now (find() does this first).
    void follow(const CVelqorinNetworkAnalyse& analyser);
    // Whether `box` is one of the listed boxes; `box` itself is never read, so a stale
    // or foreign pointer is safe to ask about. Call follow() first.
    bool lists(const CVelqorinBoxOnNetwork* box) const { return listed_.count(box) != 0; }
    // `box` is about to leave the list; the index follows it.
    void removing(CVelqorinBoxOnNetwork* box);
    // `box` was appended as the list's last.
    void appended(const CVelqorinNetworkAnalyse& analyser, CVelqorinBoxOnNetwork* box);
    // The list changed only as removing() / appended() told, since the index last
    // followed it.
    void followed(const CVelqorinNetworkAnalyse& analyser);
    void clear();
    void recordRewritten() { stale_ = true; }

    // A reply of the same adapter and serial number as the listed `held`: kept aside once
    // it comes from another station than `held`'s, and from then on every reply of that
    // serial number on that adapter. `ours`: it carries this analyser's token.
    void noteAnswer(const TAnalyseBuffer& held, const TAnalyseBuffer& reply,
                    const char* adapterName, bool ours);
    // Every station's reply that the sweep kept for that adapter and serial number.
    void keepAnswers(const char* adapterName, const char* serial, SerialAnswers answers);
    // The stations that answered with `box`'s adapter and serial number, when more than
    // one did; null otherwise.
    const SerialAnswers* answersFor(const CVelqorinBoxOnNetwork& box) const;

private:

    // Boxes of one key in list order: the list holds one per key unless a caller edited
    // it by hand, and then the walk's first match must still win.
    std::unordered_map<std::string, std::vector<CVelqorinBoxOnNetwork*>> boxes_;
    std::unordered_set<const CVelqorinBoxOnNetwork*> listed_;
    // The list as the index last saw it. Any other shape means a caller changed it without
    // AddBox; the index is then rebuilt by one walk.
    // Since the last clear(): only the adapters and serial numbers more than one station
    // answered with.
    std::unordered_map<std::string, SerialAnswers> answers_;
    const CVelqorinBoxOnNetwork* first_ = nullptr;
    const CVelqorinBoxOnNetwork* last_ = nullptr;
    int count_ = 0;
    // A command's answer rewrote a listed record: rebuilt at the next follow().
    bool stale_ = false;
};

// The index of `analyser`, made on first use. For the analyser's own thread.
BoxIndex& boxIndexOf(const CVelqorinNetworkAnalyse& analyser);
void forgetBoxIndex(const CVelqorinNetworkAnalyse& analyser);

// A command's answer rewrote `box`'s record, and with it perhaps the serial number the box
// is filed under: the index that lists it follows its list again before it is used next.
void noteRecordRewritten(const CVelqorinBoxOnNetwork& box);

}  // namespace velqorin
