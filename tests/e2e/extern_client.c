/* A program that knows the analyser only by its C entry points, as one written without
 * the classes would. It sweeps, reads back every box, pings the addresses it is given,
 * then waits for a line on standard input and sweeps once more. What it gets goes to
 * standard output, one fact a line:
 *
 *   analyse COUNT
 *   result POSITION ok SERIAL ADDRESS            or  result POSITION fail
 *   resultex POSITION ok SERIAL FAMILY PORT ADDRESS ZEROED  or  resultex POSITION fail
 *   interface POSITION INDEX ok DHCP SERVER ADDRESS MASK
 *   interface POSITION INDEX fail DHCP SERVER
 *   ping ADDRESS 0|1 MILLISECONDS
 *   pingex ADDRESS 0|1 MILLISECONDS
 *   waiting
 *
 * ZEROED is 1 when the socket address's padding came back zero. DHCP and SERVER are 0 or 1 as the library wrote them, or 2 when it left them alone.
 * Usage: extern_client [ADDRESS...]   (the addresses to ping) */
#include <arpa/inet.h>
#include <stdio.h>
#include <string.h>
#include <time.h>

#include "velqorin/Extern.h"

enum { kUntouched = 2 };

static long elapsedMs(const struct timespec* since) {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (long)(now.tv_sec - since->tv_sec) * 1000L + (now.tv_nsec - since->tv_nsec) / 1000000L;
}

/* A bool's byte as stored, so that a flag the library never wrote shows as 2. */
static unsigned flagByte(const bool* flag) {
    unsigned char raw;
    memcpy(&raw, flag, 1);
    return raw;
}

static void printResults(CVelqorinNetworkAnalyse* analyser, int position) {
    int serial = -1;
    char text[16];
    if (ExternResult(analyser, position, &serial, text))
        printf("result %d ok %d %s\n", position, serial, text);
    else
        printf("result %d fail\n", position);

    struct sockaddr_in address;
    memset(&address, 0xAB, sizeof address);
    serial = -1;
    if (ExternResultEx(analyser, position, &serial, &address)) {
        char dotted[INET_ADDRSTRLEN];
        inet_ntop(AF_INET, &address.sin_addr, dotted, sizeof dotted);
        static const unsigned char zero[sizeof address.sin_zero];
        printf("resultex %d ok %d %u %u %s %d\n", position, serial, (unsigned)address.sin_family,
               (unsigned)ntohs(address.sin_port), dotted,
               memcmp(address.sin_zero, zero, sizeof zero) == 0);
    } else {
        printf("resultex %d fail\n", position);
    }
}

static void printInterface(CVelqorinNetworkAnalyse* analyser, int position, int index) {
    bool dhcp, server;
    memset(&dhcp, kUntouched, 1);
    memset(&server, kUntouched, 1);
    char address[16], mask[16];
    if (ExternInterface(analyser, position, &dhcp, &server, index, address, mask))
        printf("interface %d %d ok %u %u %s %s\n", position, index, flagByte(&dhcp),
               flagByte(&server), address, mask);
    else
        printf("interface %d %d fail %u %u\n", position, index, flagByte(&dhcp),
               flagByte(&server));
}

static void ping(char* address) {
    struct timespec start;
    clock_gettime(CLOCK_MONOTONIC, &start);
    const bool answered = ExternPing(address);
    printf("ping %s %d %ld\n", address, answered ? 1 : 0, elapsedMs(&start));

    struct sockaddr_storage block;
    memset(&block, 0, sizeof block);
    struct sockaddr_in* in = (struct sockaddr_in*)&block;
    in->sin_family = AF_INET;
    if (inet_pton(AF_INET, address, &in->sin_addr) != 1) return;
    clock_gettime(CLOCK_MONOTONIC, &start);
    const bool answeredEx = ExternPingEx(block);
    printf("pingex %s %d %ld\n", address, answeredEx ? 1 : 0, elapsedMs(&start));
}

int main(int argc, char** argv) {
    setvbuf(stdout, NULL, _IOLBF, 0);
    CVelqorinNetworkAnalyse* analyser = CreateCVelqorinNetworkAnalyse();
    if (analyser == NULL) {
        printf("create fail\n");
        return 1;
    }

    const int count = ExternAnalyse(analyser);
    printf("analyse %d\n", count);
    for (int position = -1; position <= count; ++position) printResults(analyser, position);
    for (int position = -1; position <= count; ++position)
        for (int index = 0; index < 3; ++index) printInterface(analyser, position, index);
    for (int i = 1; i < argc; ++i) ping(argv[i]);

    printf("waiting\n");
    char line[64];
    if (fgets(line, sizeof line, stdin) == NULL) {
        DeleteCVelqorinNetworkAnalyse(analyser);
        return 1;
    }
    printf("analyse %d\n", ExternAnalyse(analyser));
    printResults(analyser, 0);
    printInterface(analyser, 0, 0);
    DeleteCVelqorinNetworkAnalyse(analyser);
    return 0;
}
