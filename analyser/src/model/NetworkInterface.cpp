#include "velqorin/NetworkInterface.h"

#include <cstring>

CVelqorinNetworkInterface::CVelqorinNetworkInterface(CVelqorinNetworkInterface* previous,
                                                     const char* interfaceName,
                                                     const unsigned char* hardwareAddress)
    : prev(nullptr),
      next(nullptr),
      name{},
      dhcp(false),
      dhcpServer(false),
      mac{},
      ipAddresses{},
      ipMasks{},
      ipAddressCount(0) {
    if (interfaceName != nullptr)
        std::memcpy(name, interfaceName, strnlen(interfaceName, kNameMax));
    if (hardwareAddress != nullptr) std::memcpy(mac, hardwareAddress, sizeof mac);
    if (previous != nullptr) {
        previous->next = this;
        prev = previous;
    }
}

CVelqorinNetworkInterface::~CVelqorinNetworkInterface() {
    if (next != nullptr) next->prev = prev;
    if (prev != nullptr) prev->next = next;
}

void CVelqorinNetworkInterface::setDhcp(bool usesDhcp, bool serverKnown) {
    dhcp = usesDhcp;
    dhcpServer = serverKnown;
}

void CVelqorinNetworkInterface::resetIpAddresses() { ipAddressCount = 0; }

bool CVelqorinNetworkInterface::addIpAddress(sockaddr_storage address, sockaddr_storage mask) {
    if (ipAddressCount < 0 || ipAddressCount >= kMaxAddresses) return false;
    ipAddresses[ipAddressCount] = address;
    ipMasks[ipAddressCount] = mask;
    ++ipAddressCount;
    return true;
}

char* CVelqorinNetworkInterface::getName(char* out) const {
    const std::size_t n = strnlen(name, kNameMax);
    std::memcpy(out, name, n);
    out[n] = '\0';
    return out;
}

unsigned char* CVelqorinNetworkInterface::getMac(unsigned char* out) const {
    std::memcpy(out, mac, 6);
    out[6] = 0;
    out[7] = 0;
    return out;
}

void CVelqorinNetworkInterface::getDhcp(bool* usesDhcp, bool* serverKnown) const {
    *usesDhcp = dhcp;
    *serverKnown = dhcpServer;
}

int CVelqorinNetworkInterface::getCountIpAddresses() const { return ipAddressCount; }

bool CVelqorinNetworkInterface::getIpAddress(int index, sockaddr_storage* address,
                                             sockaddr_storage* mask) const {
    if (index < 0 || index >= ipAddressCount) return false;
    *address = ipAddresses[index];
    *mask = ipMasks[index];
    return true;
}
