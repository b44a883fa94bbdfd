// One local network adapter of the workstation, as the inventory found it.
#pragma once

#include <sys/socket.h>

#include <cstddef>

#include "velqorin/Export.h"

class VELQORIN_API CVelqorinNetworkInterface {
public:
    static constexpr std::size_t kNameSize = 10000;
    static constexpr std::size_t kNameMax = 9998;
    static constexpr int kMaxAddresses = 100;

    CVelqorinNetworkInterface* prev;
    CVelqorinNetworkInterface* next;
    char name[kNameSize];
    bool dhcp;
    bool dhcpServer;
    unsigned char mac[8];
    sockaddr_storage ipAddresses[kMaxAddresses];
    sockaddr_storage ipMasks[kMaxAddresses];
    int ipAddressCount;

    // Copies at most 9998 characters of `name` and 8 bytes of `mac`; links the record
    // after `previous` when there is one.
    CVelqorinNetworkInterface(CVelqorinNetworkInterface* previous, const char* name,
                              const unsigned char* mac);
    ~CVelqorinNetworkInterface();

    CVelqorinNetworkInterface(const CVelqorinNetworkInterface&) = delete;
    CVelqorinNetworkInterface& operator=(const CVelqorinNetworkInterface&) = delete;

    void setDhcp(bool dhcp, bool dhcpServer);
    void resetIpAddresses();
    // False, and nothing stored, once 100 pairs are held.
    bool addIpAddress(sockaddr_storage address, sockaddr_storage mask);
    // `out` must hold 10000 bytes. Returns `out`.
    char* getName(char* out) const;
    // The first 6 bytes of the hardware address and two zero bytes. Returns `out`.
    unsigned char* getMac(unsigned char* out) const;
    void getDhcp(bool* dhcp, bool* dhcpServer) const;
    int getCountIpAddresses() const;
    // False, and nothing written, for an index outside 0 .. count - 1.
    bool getIpAddress(int index, sockaddr_storage* address, sockaddr_storage* mask) const;
};
