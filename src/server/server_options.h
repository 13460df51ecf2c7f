// keyreg-server's command line: the options and their ranges, as --help and
// the man page tell them. Touches nothing but the process's exit on --help,
// --version and usage errors.
#ifndef KEYREG_SERVER_OPTIONS_H
#define KEYREG_SERVER_OPTIONS_H

#include <string>

const int kDefaultWorkers = 3;
const int kExitUsage = 2;

struct ServerOptions {
    int workers = kDefaultWorkers;
    std::string state;  // empty: no state file
};

// The options of argv; ends the process after --help, --version (status 0)
// or a usage error (status 2).
ServerOptions parseCommandLineOrExit(int argc, char** argv);

#endif
