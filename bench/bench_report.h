// The figures of one load run: latency percentiles, the lines printed for a
// reader and the key=value line that scripts take apart. Writes standard
// output only.
#ifndef KEYREG_BENCH_REPORT_H
#define KEYREG_BENCH_REPORT_H

#include "bench_options.h"
#include "load_client.h"
#include "rsa_limit.h"
#include "server_probe.h"

// What the server used during the load: the samples before and after it.
struct ServerUse {
    ServerSample before, after;
};

void report(const Options& o, Tally& t, const RsaLimit& limit, const ServerUse& server, const std::string& loadAverage);

#endif
