// The machine's RSA limit: private-key operations per second on every core,
// the ceiling of the server's throughput, and one operation's wall and CPU
// time on one core. Touches only the private key file.
#ifndef KEYREG_BENCH_RSA_LIMIT_H
#define KEYREG_BENCH_RSA_LIMIT_H

#include <openssl/rsa.h>

#include <chrono>
#include <string>
#include <vector>

struct RsaLimit {
    double opsPerSecond = 0;
    double opMicros = 0;
    double opCpuMicros = 0;  // what preemption by other work cannot inflate
    unsigned threads = 0;
};

RsaLimit measureRsaLimit(const std::string& privPath, RSA* pub, const std::vector<std::string>& blocks);

// Wall-clock and CPU time of a series of calls. The CPU time of the calling
// thread stays put when other work on the machine takes the core away.
struct Timing {
    double wallUs = 0;
    double cpuUs = 0;
    long calls = 0;
    double wall() const { return calls > 0 ? wallUs / static_cast<double>(calls) : 0; }
    double cpu() const { return calls > 0 ? cpuUs / static_cast<double>(calls) : 0; }
};

double threadCpuMicros();

template <typename Call>
void timeCall(Timing& t, Call call) {
    std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();
    double cpuStart = threadCpuMicros();
    call();
    t.cpuUs += threadCpuMicros() - cpuStart;
    t.wallUs += std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count();
    t.calls++;
}

#endif
