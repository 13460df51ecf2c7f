// Set-up shared by the fuzz targets that reach the shared key table.
#ifndef KEYREG_FUZZ_SUPPORT_H
#define KEYREG_FUZZ_SUPPORT_H

#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

[[noreturn]] inline void fuzzFailure(const char* target, const char* what) {
    fprintf(stderr, "%s: %s\n", target, what);
    abort();
}

// The table lives in System V segment 291, which the host's own server and
// its readers use: a fuzzer must never store its records there. New IPC (and
// network) namespaces give this process a segment 291 of its own; root may
// make them directly, others through an unprivileged user namespace.
inline void enterPrivateWorld(const char* target) {
    if (unshare(CLONE_NEWIPC | CLONE_NEWNET) == 0) return;
    if (unshare(CLONE_NEWUSER | CLONE_NEWIPC | CLONE_NEWNET) == 0) return;
    fprintf(stderr, "%s: %s; run it as root, or where unprivileged user namespaces are allowed\n", target,
            strerror(errno));
    fuzzFailure(target, "cannot leave the shared key table (IPC key 291) of this host");
}

// The server's code logs every request on standard output; libFuzzer and the
// sanitizers report on standard error, which stays.
inline void silenceStandardOutput(const char* target) {
    fflush(stdout);
    int devnull = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (devnull < 0 || dup2(devnull, STDOUT_FILENO) < 0) fuzzFailure(target, "cannot silence standard output");
    if (devnull != STDOUT_FILENO) close(devnull);
}

#endif
