/* A program built against the installed library, by pkg-config or by its CMake package:
 * it sweeps through the C entry points and prints how many boxes answered, then each
 * box's serial number and address, one a line. */
#include <stdio.h>

#include "velqorin/Extern.h"

int main(void) {
    CVelqorinNetworkAnalyse* analyser = CreateCVelqorinNetworkAnalyse();
    if (analyser == NULL) {
        fputs("package_client: cannot create the analyser\n", stderr);
        return 1;
    }
    const int count = ExternAnalyse(analyser);
    printf("%d\n", count);
    int status = 0;
    for (int position = 0; position < count; ++position) {
        int serial = 0;
        char address[16];
        if (!ExternResult(analyser, position, &serial, address)) {
            fprintf(stderr, "package_client: no result for box %d\n", position);
            status = 1;
            continue;
        }
        printf("%d %s\n", serial, address);
    }
    DeleteCVelqorinNetworkAnalyse(analyser);
    return status;
}
