// The machine's RSA limit and one private-key operation's wall and CPU time. Touches the private key only.
#ifndef KEYREG_BENCH_RSA_LIMIT_H
#define KEYREG_BENCH_RSA_LIMIT_H

#include <functional>
#include <string>
#include <vector>

struct RsaLimit {
    double opsPerSecond = 0;  // on every core: the ceiling of the server's throughput
    double opMicros = 0;      // on one core
    double opCpuMicros = 0;   // what preemption by other work cannot inflate
    unsigned threads = 0;
};

// With the private key at privPath, on requests encrypted to its public key.
RsaLimit measureRsaLimit(const std::string& privPath, const std::vector<std::string>& requests);

// Wall-clock and CPU time of a series of calls. The CPU time of the calling
// thread stays put when other work on the machine takes the core away.
struct Timing {
    double wallUs = 0, cpuUs = 0;
    long calls = 0;
    double wall() const { return calls > 0 ? wallUs / static_cast<double>(calls) : 0; }
    double cpu() const { return calls > 0 ? cpuUs / static_cast<double>(calls) : 0; }
};

void timeCall(Timing& t, const std::function<void()>& call);

#endif
