// keyreg-server's command line: the options and their ranges, as --help and
// the man page tell them. Touches nothing but the process's exit on --help,
// --version and usage errors.
#ifndef KEYREG_SERVER_OPTIONS_H
#define KEYREG_SERVER_OPTIONS_H

#include "server/listen_address.h"

#include <string>

const int kDefaultWorkers = 3;
const int kExitUsage = 2;
// A configuration file that cannot be used (EX_CONFIG).
const int kExitConfig = 78;
// A port that cannot be listened on, or another resource the server cannot serve without.
const int kExitCannotServe = 255;
// Where --metrics listens when it names no port.
const int kDefaultMetricsPort = 9808;

struct ServerOptions {
    int workers = kDefaultWorkers;
    std::string state;      // empty: no state file
    std::string allowList;  // empty: the built-in ids
    std::string readers;    // a group that may read the table; empty: everybody (mode 0755)
    ListenAddress listen = everyIpv4Address();
    std::string metrics;    // ADDRESS:PORT of the metrics endpoint, an IPv6 address in brackets; empty: none
    bool audit = false;     // one line per request on standard error
    bool check = false;     // check the configuration, touch nothing, exit
};

// The options of argv; ends the process after --help, --version (status 0)
// or a usage error (status 2).
ServerOptions parseCommandLineOrExit(int argc, char** argv);

#endif
