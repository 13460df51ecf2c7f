// The server's CPU time, memory and threads, listen overflows and load average. Reads /proc only.
#ifndef KEYREG_BENCH_SERVER_PROBE_H
#define KEYREG_BENCH_SERVER_PROBE_H

#include <string>

struct ServerSample {
    bool alive = false;  // a --server-pid given, and still running
    long cpuTicks = 0;   // user + system time, all threads
    long vmhwmKb = 0;
    long vmrssKb = 0;
    long threads = 0;
    long listenOverflows = 0;  // of this network namespace, whoever listens
};

ServerSample sampleServer(long pid);

long ticksPerSecond();

// "1-minute/5-minute/15-minute", as one word for a key=value line.
std::string loadAverage();

// Watches the idle server for `seconds` and prints what it used as a
// key=value line; the exit status.
int watchIdle(long pid, double seconds);

#endif
