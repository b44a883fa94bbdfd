// One box found by a sweep: its latest frame and the local adapter it answered on.
// The monitor reads storedRecord and next directly, so the member order is interface.
#pragma once

#include <sys/socket.h>

#include <cstddef>
#include <cstdint>

#include "velqorin/Export.h"
#include "velqorin/Frame.h"

// The box's Ethernet link speed setting; the box defines the values, which travel as
// one byte.
enum T_INI_VITESSE_RESEAU : unsigned char {
    VITESSE_RESEAU_AUTO = 0,
    VITESSE_RESEAU_10_HALF = 1,
    VITESSE_RESEAU_10_FULL = 2,
    VITESSE_RESEAU_100_HALF = 3,
    VITESSE_RESEAU_100_FULL = 4,
};

// What a command to a box came to.
inline constexpr int kCommandAccepted = 0;
inline constexpr int kCommandRefused = -1;  // wrong password or code, or expired challenge
inline constexpr int kCommandNoAnswer = -2; // also: adapter not openable, send failed

namespace velqorin {
// The adapter name every box found behind a dial-up link is listed under.
inline constexpr char kDialUpAdapterName[] = "PPP/WAN Velqorin serial/gsm";
}  // namespace velqorin

class VELQORIN_API CVelqorinBoxOnNetwork {
public:
    static constexpr std::size_t kAdapterNameSize = 10000;
    static constexpr std::size_t kPasswordSize = 50;

    TAnalyseBuffer storedRecord;  // first, so a box pointer is also a frame pointer
    char adapterName[kAdapterNameSize];
    CVelqorinBoxOnNetwork* next;
    CVelqorinBoxOnNetwork* prev;
    char password[kPasswordSize];

    // Copies the reply and at most 9999 characters of the adapter name with its NUL (the
    // bytes after it are left as they are), and links the new box after `previous` when
    // there is one.
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

    // The configuration commands. Each writes its values into the stored record, sends
    // the command once through the adapter the box answered on, and waits about three
    // seconds for the box's answer, which then replaces the stored record. Returns
    // kCommandAccepted, kCommandRefused or kCommandNoAnswer. Addresses are IPv4 socket
    // addresses of which only the four address bytes are used.
    int ConfigNetwork(const char* password, bool dhcp, sockaddr_storage address,
                      sockaddr_storage mask, bool neighbourhood, bool restart);
    int ConfigNetworkSpeed(const char* password, T_INI_VITESSE_RESEAU speed, bool restart);
    // `master` and `floor` are 0 in master mode.
    int ConfigSynchro(const char* password, bool masterMode, unsigned int master, int floor,
                      bool syncNow);
    // Clears the box's password; the unlock code travels in clear, the box checks it.
    int EffacerMdp(const char* unlockCode);
    // Apply network (and restart) with the password, or the unlock code when clearPassword.
    int Send(bool restart, bool clearPassword);
    int Send(unsigned char code, bool clearPassword);
};
