// Percentiles, ratios and the printed report with its key=value line. Writes standard output only.
#ifndef KEYREG_BENCH_REPORT_H
#define KEYREG_BENCH_REPORT_H

#include "bench_options.h"
#include "load_client.h"
#include "rsa_limit.h"
#include "server_probe.h"

// The server's process as it was before and after the load.
struct ServerUse {
    ServerSample before, after;
};

void report(const Options& o, Tally& t, const RsaLimit& limit, const ServerUse& server, const std::string& loadAverage);

#endif
