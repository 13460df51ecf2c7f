// The load generator's command line: what one run is asked to do. Reads argv only.
#ifndef KEYREG_BENCH_OPTIONS_H
#define KEYREG_BENCH_OPTIONS_H

#include "protocol.h"

#include <string>

const int kExitClean = 0;
const int kExitErrors = 1;
const int kExitUsage = 2;

struct Options {
    long connections = 1;
    long requests = 0;  // per connection; 0 when the run is timed instead
    double seconds = 0;
    double timeout = 0;  // 0: derived from the run
    long pool = 0;       // 0: derived from the run
    std::string host = "127.0.0.1";
    long port = kServerPort;
    std::string pubkey = "public.pem";
    std::string privkey;  // empty: private.pem beside the public key
    std::string userid = "dorvanek";
    double wait = 0;     // seconds to wait for the server to listen
    long serverPid = 0;  // 0: no server process to watch
    double idle = 0;     // above 0: send nothing, watch the idle server this long
};

// Ends the process after --help (status 0) or on a usage error (status 2).
Options parseOptionsOrExit(int argc, char** argv);

[[noreturn]] void usageError(const std::string& why);

#endif
