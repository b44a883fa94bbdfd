// What the box list flags about each box's address after a sweep: other boxes on the same
// address, an address of the workstation itself, and an address the workstation cannot
// reach from the adapter the box answered on. The monitor and the command-line tool judge
// with these functions.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <unordered_map>
#include <vector>

#include "velqorin/BoxOnNetwork.h"
#include "velqorin/Compatibility.h"
#include "velqorin/Frame.h"
#include "velqorin/NetworkInterface.h"

namespace velqorin {

struct AddressNote {
    // Serial numbers of the other boxes on the same address, in list order, each once.
    std::vector<std::string> alsoUsedBy;
    bool workstationAddress = false;
    bool reachable = true;
};

inline bool isDialUpBox(const CVelqorinBoxOnNetwork& box) {
    return std::strncmp(box.adapterName, kDialUpAdapterName, sizeof box.adapterName) == 0;
}

// The serial numbers of the boxes from `first` on whose own MAC differs from `box`'s and
// which report `box`'s current address. One box listed on two adapters is no conflict
// with itself; 0.0.0.0 is no address and shared by nobody.
inline std::vector<std::string> addressConflicts(const CVelqorinBoxOnNetwork& box,
                                                 const CVelqorinBoxOnNetwork* first) {
    std::vector<std::string> serials;
    const std::uint32_t ip = ipValue(box.storedRecord.currentIp);
    if (ip == 0) return serials;
    for (const CVelqorinBoxOnNetwork* other = first; other != nullptr; other = other->next) {
        const TAnalyseBuffer& r = other->storedRecord;
        if (ipValue(r.currentIp) != ip ||
            std::memcmp(r.sourceMac, box.storedRecord.sourceMac, kMacSize) == 0)
            continue;
        std::string serial(fieldText(r.serialNumber));
        if (std::find(serials.begin(), serials.end(), serial) == serials.end())
            serials.push_back(std::move(serial));
    }
    return serials;
}

// Whether the 4 bytes at `ip` are an address of any of the interface records from `first`.
inline bool isWorkstationAddress(const std::uint8_t* ip, const CVelqorinNetworkInterface* first) {
    const std::uint32_t value = ipValue(ip);
    if (value == 0) return false;
    for (const CVelqorinNetworkInterface* rec = first; rec != nullptr; rec = rec->next)
        if (isInterfaceAddress(*rec, value)) return true;
    return false;
}

// The record, from `first` on, of the local interface `box` answered on; null when none.
inline const CVelqorinNetworkInterface* answeringInterface(const CVelqorinBoxOnNetwork& box,
                                                           const CVelqorinNetworkInterface* first) {
    unsigned char boxSide[8], local[8];
    box.getMac(boxSide);
    for (const CVelqorinNetworkInterface* rec = first; rec != nullptr; rec = rec->next)
        if (std::memcmp(rec->getMac(local), boxSide, sizeof local) == 0) return rec;
    return nullptr;
}

// Whether the workstation reaches `box` from the interface it answered on: the box's
// current address lies in one of that interface's subnets under both masks, the rule of
// the configuration verdict. A dial-up link reaches its far end whatever the addresses.
// Without a record of the interface nothing can be judged, and nothing is flagged.
inline bool isReachable(const CVelqorinBoxOnNetwork& box, const CVelqorinNetworkInterface* first) {
    if (isDialUpBox(box)) return true;
    const CVelqorinNetworkInterface* local = answeringInterface(box, first);
    if (local == nullptr) return true;
    return inInterfaceSubnet(*local, ipValue(box.storedRecord.currentIp),
                             ipValue(box.storedRecord.currentMask));
}

inline AddressNote addressNote(const CVelqorinBoxOnNetwork& box,
                               const CVelqorinBoxOnNetwork* firstBox,
                               const CVelqorinNetworkInterface* firstInterface) {
    AddressNote note;
    note.alsoUsedBy = addressConflicts(box, firstBox);
    note.workstationAddress = isWorkstationAddress(box.storedRecord.currentIp, firstInterface);
    note.reachable = isReachable(box, firstInterface);
    return note;
}

// The note of every box from `firstBox` on, in list order; the same as addressNote for
// each, with the address conflicts found through one index of the list's addresses rather
// than a walk per box.
inline std::vector<AddressNote> addressNotes(const CVelqorinBoxOnNetwork* firstBox,
                                             const CVelqorinNetworkInterface* firstInterface) {
    std::unordered_map<std::uint32_t, std::vector<const CVelqorinBoxOnNetwork*>> onAddress;
    for (const CVelqorinBoxOnNetwork* b = firstBox; b != nullptr; b = b->next)
        if (const std::uint32_t ip = ipValue(b->storedRecord.currentIp); ip != 0)
            onAddress[ip].push_back(b);
    std::vector<AddressNote> notes;
    for (const CVelqorinBoxOnNetwork* b = firstBox; b != nullptr; b = b->next) {
        AddressNote& note = notes.emplace_back();
        const std::uint32_t ip = ipValue(b->storedRecord.currentIp);
        if (const auto shared = onAddress.find(ip); shared != onAddress.end()) {
            for (const CVelqorinBoxOnNetwork* other : shared->second) {
                if (std::memcmp(other->storedRecord.sourceMac, b->storedRecord.sourceMac,
                                kMacSize) == 0)
                    continue;
                std::string serial(fieldText(other->storedRecord.serialNumber));
                if (std::find(note.alsoUsedBy.begin(), note.alsoUsedBy.end(), serial) ==
                    note.alsoUsedBy.end())
                    note.alsoUsedBy.push_back(std::move(serial));
            }
        }
        note.workstationAddress = isWorkstationAddress(b->storedRecord.currentIp, firstInterface);
        note.reachable = isReachable(*b, firstInterface);
    }
    return notes;
}

}  // namespace velqorin
