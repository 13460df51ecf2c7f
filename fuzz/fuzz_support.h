// Set-up shared by the fuzz targets.
#ifndef KEYREG_FUZZ_SUPPORT_H
#define KEYREG_FUZZ_SUPPORT_H

#include "shared.h"

#include <fcntl.h>

#include <cstdio>
#include <cstdlib>

[[noreturn]] inline void fuzzFailure(const char* target, const char* what) {
    fprintf(stderr, "%s: %s\n", target, what);
    abort();
}

// The targets that store records must never reach the host's key table, and
// the server's code logs every request on standard output, which would drown
// libFuzzer's own report on standard error.
inline void prepareFuzzing(const char* target) {
    std::string why = harness::enterPrivateWorld(true);
    if (!why.empty()) fuzzFailure(target, ("cannot leave the host's key table: " + why).c_str());
    fflush(stdout);
    int devnull = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (devnull < 0 || dup2(devnull, STDOUT_FILENO) < 0) fuzzFailure(target, "cannot silence standard output");
}

#endif
