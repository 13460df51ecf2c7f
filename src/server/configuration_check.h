// keyreg-server --check: what the other options name, examined as a start
// would use it, and nothing touched: no port, no table, no file written.
// Touches standard output (what was found) and standard error (what is wrong).
#ifndef KEYREG_CONFIGURATION_CHECK_H
#define KEYREG_CONFIGURATION_CHECK_H

#include "server/server_options.h"

// 0 when a start would serve, else the status it would have ended with.
int checkConfiguration(const ServerOptions& options);

#endif
