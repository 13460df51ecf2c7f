// The report of a load run: each ratio sets a time against the RSA operation it cannot beat, wall to wall, CPU to CPU.
#include "bench_report.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace {

double percentile(const std::vector<double>& sorted, double p) {
    if (sorted.empty()) return 0;
    size_t rank = static_cast<size_t>(std::ceil(p * static_cast<double>(sorted.size())));
    return sorted[std::min(sorted.size(), std::max<size_t>(rank, 1)) - 1];
}

double over(double a, double b) { return b > 0 ? a / b : 0; }

// Only what both samples saw of a live server is reported.
void printServerUse(const Options& o, const Tally& t, const RsaLimit& limit, const ServerUse& s) {
    printf(" listen_overflows=%ld", s.after.listenOverflows - s.before.listenOverflows);
    if (o.serverPid != 0 && !s.after.alive)
        fprintf(stderr, "keyreg-bench: the server (process %ld) is gone\n", o.serverPid);
    if (!s.before.alive || !s.after.alive || t.ok == 0) return;
    double perReg = static_cast<double>(s.after.cpuTicks - s.before.cpuTicks) * 1e6 /
                    static_cast<double>(ticksPerSecond()) / static_cast<double>(t.ok);
    printf(" server_cpu_us_per_reg=%.0f cpu_per_op=%.2f vmhwm_kb=%ld", perReg, over(perReg, limit.opCpuMicros),
           s.after.vmhwmKb);
}

}  // namespace

void report(const Options& o, Tally& t, const RsaLimit& limit, const ServerUse& server,
            const std::string& loadAverage) {
    std::sort(t.latencyUs.begin(), t.latencyUs.end());
    double p50 = percentile(t.latencyUs, 0.50), p90 = percentile(t.latencyUs, 0.90);
    double p99 = percentile(t.latencyUs, 0.99), max = t.latencyUs.empty() ? 0 : t.latencyUs.back();
    double throughput = over(static_cast<double>(t.ok), t.elapsed);
    printf("registrations: %ld ok in %.2f s = %.1f /s; %ld wrong replies, %ld failed requests, %ld connection errors\n",
           t.ok, t.elapsed, throughput, t.wrong, t.failed, t.connectErrors);
    printf("RSA limit: %.1f private-key ops/s on %u threads; one op %.0f us wall, %.0f us CPU, on one core\n",
           limit.opsPerSecond, limit.threads, limit.opMicros, limit.opCpuMicros);
    printf("throughput=%.1f rsa_limit=%.1f ratio=%.3f p50_us=%.0f p90_us=%.0f p99_us=%.0f max_us=%.0f rsa_op_us=%.0f "
           "op_cpu_us=%.0f p50_per_op=%.2f p50_per_op_cpu=%.2f errors=%ld connections=%ld requests=%ld seconds=%g "
           "loadavg=%s",
           throughput, limit.opsPerSecond, over(throughput, limit.opsPerSecond), p50, p90, p99, max, limit.opMicros,
           limit.opCpuMicros, over(p50, limit.opMicros), over(p50, limit.opCpuMicros), t.errors(), o.connections,
           o.requests, o.seconds, loadAverage.c_str());
    printServerUse(o, t, limit, server);
    printf("\n");
}
