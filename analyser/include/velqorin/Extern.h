/* The library's plain entry points, for programs that do not use its classes.
 * Boxes are addressed by their position in the last sweep's list, 0 first; a position
 * of 0 or less is the first box. Texts are 8-bit and NUL-terminated. */
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include "velqorin/Export.h"

#ifdef __cplusplus
class CVelqorinNetworkAnalyse;
extern "C" {
#else
#include <stdbool.h>
typedef struct CVelqorinNetworkAnalyse CVelqorinNetworkAnalyse;
#endif

/* A new analyser, or null when memory is short. */
VELQORIN_API CVelqorinNetworkAnalyse* CreateCVelqorinNetworkAnalyse(void);
VELQORIN_API void DeleteCVelqorinNetworkAnalyse(CVelqorinNetworkAnalyse* analyser);
/* Sweeps the LAN and returns how many boxes answered; 0 without raw network access. */
VELQORIN_API int ExternAnalyse(CVelqorinNetworkAnalyse* analyser);
/* The serial number as a number and the current address (family, port 0, address). */
VELQORIN_API bool ExternResultEx(CVelqorinNetworkAnalyse* analyser, int position, int* serial,
                                 struct sockaddr_in* address);
/* The same with the address as dotted text; `address` holds at least 16 characters. */
VELQORIN_API bool ExternResult(CVelqorinNetworkAnalyse* analyser, int position, int* serial,
                               char* address);
/* The local interface the box was found on: its DHCP flags, and its address and mask
 * number `index`. False when there is no such box, interface or address (the flags are
 * written once the interface is found). */
VELQORIN_API bool ExternInterfaceEx(CVelqorinNetworkAnalyse* analyser, int position, bool* dhcp,
                                    bool* dhcpServer, int index, struct sockaddr_storage* address,
                                    struct sockaddr_storage* mask);
/* The same with the address and mask as dotted text (16 characters each). */
VELQORIN_API bool ExternInterface(CVelqorinNetworkAnalyse* analyser, int position, bool* dhcp,
                                  bool* dhcpServer, int index, char* address, char* mask);
/* One ICMP echo with 32 data bytes; true when the 32 bytes come back within 500 ms.
 * Only the IPv4 address in bytes 4 to 7 of the block is used. */
VELQORIN_API bool ExternPingEx(struct sockaddr_storage address);
/* The same for dotted text; text that does not parse is 255.255.255.255. */
VELQORIN_API bool ExternPing(char* address);

#ifdef __cplusplus
}
#endif
