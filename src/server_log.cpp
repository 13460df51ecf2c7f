// The server's log lines. Touches only standard output.
#include "server_log.h"

#include <cstdio>

void flushLine(const char* line) {
    printf("%s\n", line);
    fflush(stdout);
}
