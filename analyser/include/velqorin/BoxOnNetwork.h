// One box found by a sweep: its latest frame and the local adapter it answered on.
// The monitor reads storedRecord and next directly, so the member order is interface.
#pragma once

#include <cstddef>
#include <cstdint>

#include "velqorin/Export.h"
#include "velqorin/Frame.h"

class VELQORIN_API CVelqorinBoxOnNetwork {
public:
    static constexpr std::size_t kAdapterNameSize = 10000;
    static constexpr std::size_t kPasswordSize = 50;

    TAnalyseBuffer storedRecord;  // first, so a box pointer is also a frame pointer
    char adapterName[kAdapterNameSize];
    CVelqorinBoxOnNetwork* next;
    CVelqorinBoxOnNetwork* prev;
    char password[kPasswordSize];

    // Copies the reply and at most 9999 characters of the adapter name, and links the
    // new box after `previous` when there is one.
    CVelqorinBoxOnNetwork(CVelqorinBoxOnNetwork* previous, const TAnalyseBuffer* reply,
                          const char* adapterName);
    // Unlinks the box from its neighbours; the owner fixes its own first/last pointers.
    ~CVelqorinBoxOnNetwork();

    CVelqorinBoxOnNetwork(const CVelqorinBoxOnNetwork&) = delete;
    CVelqorinBoxOnNetwork& operator=(const CVelqorinBoxOnNetwork&) = delete;

    // The adapter's identifier: the name after its last backslash, without "NPF_".
    // `out` must hold 10000 bytes. Returns `out`.
    char* getInterfaceName(char* out) const;
    // The local adapter's MAC (the reply's destination) and two zero bytes. Returns `out`.
    unsigned char* getMac(unsigned char* out) const;
    // True when the 6 bytes at `mac` are the box's own MAC.
    bool hasMacAddr(const unsigned char* mac) const;
};
