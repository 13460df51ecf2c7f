// The machine's RSA limit and one private-key operation's wall and CPU time. Touches the private key only.
#ifndef KEYREG_BENCH_RSA_LIMIT_H
#define KEYREG_BENCH_RSA_LIMIT_H

#include <atomic>
#include <functional>
#include <thread>
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

// One private-key operation every so often on a thread of its own, for as
// long as the object lives: this host's speed wanders from one second to the
// next, so the operation that the server's time per registration is set
// against is timed while the load runs, beside the server.
class OpSampler {
public:
    OpSampler(const std::string& privPath, const std::vector<std::string>& requests);
    ~OpSampler();
    // Stops sampling; the operations timed so far.
    Timing stop();

private:
    std::atomic<bool> stopping_{false};
    Timing timing_;
    std::thread thread_;
};

#endif
