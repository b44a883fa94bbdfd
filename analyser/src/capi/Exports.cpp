#include <arpa/inet.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string_view>

#include "link/Ping.h"
#include "velqorin/Address.h"
#include "velqorin/Extern.h"
#include "velqorin/NetworkAnalyse.h"

using namespace velqorin;

namespace {

CVelqorinBoxOnNetwork* boxAt(const CVelqorinNetworkAnalyse* analyser, int position) {
    if (analyser == nullptr) return nullptr;
    CVelqorinBoxOnNetwork* box = analyser->firstBox;
    for (int i = 0; box != nullptr && i < position; ++i) box = box->next;
    return box;
}

// The serial number's leading decimal digits, as the C conversion reads them, but held
// within an int: nineteen digits would overflow it.
int serialValue(const TAnalyseBuffer& frame) {
    char text[sizeof frame.serialNumber + 1] = {};
    const std::string_view serial = fieldText(frame.serialNumber);
    std::memcpy(text, serial.data(), serial.size());
    const long long value = std::strtoll(text, nullptr, 10);
    if (value > INT_MAX) return INT_MAX;
    if (value < INT_MIN) return INT_MIN;
    return static_cast<int>(value);
}

void dotted(const std::uint8_t* address, char* text) {
    std::snprintf(text, 16, "%u.%u.%u.%u", address[0], address[1], address[2], address[3]);
}

const std::uint8_t* ipv4Bytes(const sockaddr_storage& block) { return velqorin::blockAddress(block); }

}  // namespace

extern "C" {

CVelqorinNetworkAnalyse* CreateCVelqorinNetworkAnalyse(void) {
    return new (std::nothrow) CVelqorinNetworkAnalyse;
}

void DeleteCVelqorinNetworkAnalyse(CVelqorinNetworkAnalyse* analyser) { delete analyser; }

int ExternAnalyse(CVelqorinNetworkAnalyse* analyser) {
    if (analyser == nullptr) return 0;
    if (!analyser->CheckVersion() || !analyser->CheckService()) return 0;
    analyser->Analyse();  // catches what it throws: nothing crosses into C callers
    return analyser->CountBox();
}

bool ExternResultEx(CVelqorinNetworkAnalyse* analyser, int position, int* serial,
                    sockaddr_in* address) {
    const CVelqorinBoxOnNetwork* box = boxAt(analyser, position);
    if (box == nullptr) return false;
    *serial = serialValue(box->storedRecord);
    std::memset(address, 0, sizeof *address);
    address->sin_family = AF_INET;
    std::memcpy(&address->sin_addr, box->storedRecord.currentIp, 4);
    return true;
}

bool ExternResult(CVelqorinNetworkAnalyse* analyser, int position, int* serial, char* address) {
    sockaddr_in block{};
    if (!ExternResultEx(analyser, position, serial, &block)) return false;
    dotted(reinterpret_cast<const std::uint8_t*>(&block.sin_addr), address);
    return true;
}

bool ExternInterfaceEx(CVelqorinNetworkAnalyse* analyser, int position, bool* dhcp,
                       bool* dhcpServer, int index, sockaddr_storage* address,
                       sockaddr_storage* mask) {
    if (analyser == nullptr || analyser->firstBox == nullptr || analyser->firstInterface == nullptr)
        return false;
    const CVelqorinBoxOnNetwork* box = boxAt(analyser, position);
    if (box == nullptr) return false;
    unsigned char mac[8];
    const CVelqorinNetworkInterface* rec = analyser->getNetworkInterface(box->getMac(mac));
    if (rec == nullptr) return false;
    rec->getDhcp(dhcp, dhcpServer);
    return rec->getIpAddress(index, address, mask);
}

bool ExternInterface(CVelqorinNetworkAnalyse* analyser, int position, bool* dhcp,
                     bool* dhcpServer, int index, char* address, char* mask) {
    sockaddr_storage addressBlock{}, maskBlock{};
    if (!ExternInterfaceEx(analyser, position, dhcp, dhcpServer, index, &addressBlock, &maskBlock))
        return false;
    dotted(ipv4Bytes(addressBlock), address);
    dotted(ipv4Bytes(maskBlock), mask);
    return true;
}

bool ExternPingEx(sockaddr_storage address) {
    std::uint8_t target[4];
    std::memcpy(target, ipv4Bytes(address), 4);
    return pingOnce(target);  // allocates nothing that could throw
}

bool ExternPing(char* address) {
    sockaddr_storage block{};
    const in_addr_t parsed = address ? inet_addr(address) : INADDR_NONE;
    std::memcpy(reinterpret_cast<std::uint8_t*>(&block) + 4, &parsed, 4);
    return ExternPingEx(block);
}

}  // extern "C"
