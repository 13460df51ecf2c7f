// keyreg-bench: the whole road of a load run against the machine's RSA limit; each step lives in a file of its own.
#include "bench_options.h"
#include "bench_report.h"
#include "load_client.h"
#include "rsa_limit.h"
#include "server_probe.h"

int main(int argc, char** argv) {
    Options o = parseOptionsOrExit(argc, argv);
    if (o.idle > 0) return watchIdle(o.serverPid, o.idle);
    std::string loadAverageBefore = loadAverage();
    std::vector<std::string> requests = encryptRequests(o);
    if (o.wait > 0 && !serverListens(o)) return kExitErrors;

    OpSampler sampler(o.privkey, requests);
    ServerUse server{sampleServer(o.serverPid), {}};
    Tally tally = runLoad(o, requests);
    server.after = sampleServer(o.serverPid);
    Timing beside = sampler.stop();
    RsaLimit limit = measureRsaLimit(o.privkey, requests);
    // The operation timed beside the load, when there was time to time it.
    if (beside.calls >= 10) {
        limit.opMicros = beside.wall();
        limit.opCpuMicros = beside.cpu();
    }
    report(o, tally, limit, server, loadAverageBefore);
    return tally.errors() == 0 && (o.serverPid == 0 || server.after.alive) ? kExitClean : kExitErrors;
}
