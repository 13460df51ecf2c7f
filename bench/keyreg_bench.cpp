// keyreg-bench: loads a keyreg-server on this machine and reports what it
// managed against the machine's RSA limit. The whole road is here; each step
// lives in a file of its own.
#include "bench_options.h"
#include "bench_report.h"
#include "load_client.h"
#include "requests.h"
#include "rsa_limit.h"
#include "server_probe.h"

#include <chrono>
#include <cstdio>

namespace {

std::string runLength(const Options& o) {
    char text[64];
    if (o.requests > 0) snprintf(text, sizeof text, "%ld requests each", o.requests);
    else snprintf(text, sizeof text, "%g s", o.seconds);
    return text;
}

}  // namespace

int main(int argc, char** argv) {
    Options o = parseOptionsOrExit(argc, argv);
    if (o.idle > 0) return watchIdle(o.serverPid, o.idle);
    std::string loadAverageBefore = loadAverage();
    RSA* pub = readPublicKey(o.pubkey);
    if (pub == nullptr) usageError("cannot read an RSA public key from " + o.pubkey);
    if (!requestsFit(pub, o.userid, o.pool)) usageError("--userid too long for the key");

    auto t0 = std::chrono::steady_clock::now();
    std::vector<std::string> pool = encryptRequests(pub, o.userid, o.pool);
    if (pool.empty()) {
        fprintf(stderr, "keyreg-bench: encrypting the requests failed\n");
        return kExitErrors;
    }
    printf("keyreg-bench: %ld connections, %s, %ld distinct requests encrypted in %.2f s, target %s:%ld\n",
           o.connections, runLength(o).c_str(), o.pool,
           std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count(), o.host.c_str(), o.port);
    fflush(stdout);
    if (o.wait > 0 && !serverListens(o)) {
        fprintf(stderr, "keyreg-bench: nothing listens at %s:%ld after %g s\n", o.host.c_str(), o.port, o.wait);
        return kExitErrors;
    }

    ServerUse server;
    server.before = sampleServer(o.serverPid);
    Tally tally = runLoad(o, pool);
    server.after = sampleServer(o.serverPid);
    RsaLimit limit = measureRsaLimit(o.privkey, pub, pool);
    report(o, tally, limit, server, loadAverageBefore);
    RSA_free(pub);
    bool serverGone = o.serverPid != 0 && !server.after.alive;
    if (serverGone) fprintf(stderr, "keyreg-bench: the server (process %ld) is gone\n", o.serverPid);
    return tally.errors() == 0 && !serverGone ? kExitClean : kExitErrors;
}
