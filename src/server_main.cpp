// keyreg-server's entry: the command line, the process-wide signal settings,
// and the server's life. Touches the process, and the table only to attach it.
#include "Util.h"
#include "epoll_et_server.h"
#include "server/allow_list.h"
#include "server/configuration_check.h"
#include "server/registration.h"
#include "server/server_options.h"
#include "server/signals.h"
#include "table/table_segment.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>

namespace {

// Read before anything else is touched: a list that cannot be used ends the
// start with the file's line that is at fault.
void useAllowListOrExit(const ServerOptions& options) {
    std::string error;
    if (options.allowList.empty() || useAllowListFile(options.allowList, error)) return;
    fprintf(stderr, "keyreg-server: %s\n", error.c_str());
    exit(kExitConfig);
}

// Before the loop collects the first connection, so that no request meets a
// table not yet rebuilt (the state file), a record left half written
// (attaching repairs it) or a segment that this server's user could not have
// made (attaching refuses it, or removes it when the state file can rebuild
// the table). Without a segment yet, the first registration makes it; one
// that another user puts there meanwhile is refused without a stop, so that
// nobody outside can end the server.
void prepareTableOrExit(const ServerOptions& options) {
    shareMemoryPolicy& policy = shareMemoryHandle::policy();
    if (!options.readers.empty()) {
        if (!groupIdOf(options.readers, policy.readers.group)) {
            fprintf(stderr, "keyreg-server: --readers %s: no such group (a group name, or a numeric gid)\n",
                    options.readers.c_str());
            exit(kExitReadersGroup);
        }
        policy.readers.mode = kTableReadersMode;
    }
    policy.removeUntrusted = !options.state.empty();
    if (!options.state.empty()) {
        startDurableRegistrationsOrExit(options.state);
    } else if (tableSegmentExists(kTableIpcKey)) {
        shareMemoryHandle::getSingleTon();
    }
    policy.exitOnRefusal = false;
}

// Before the table and the state file are touched, as the server's own port.
void startMetricsOrExit(const ServerOptions& options) {
    std::string error;
    if (options.metrics.empty() || startRegistrationMetrics(options.metrics, error)) return;
    fprintf(stderr, "keyreg-server: --metrics %s: cannot serve: %s\n", options.metrics.c_str(), error.c_str());
    exit(kExitCannotServe);
}

}  // namespace

int main(int argc, char** argv) {
    ServerOptions options = parseCommandLineOrExit(argc, argv);
    if (options.check) return checkConfiguration(options);
    useAllowListOrExit(options);
    if (options.audit) auditRequests();
    // A client that goes away before its reply must not end the server.
    signal(SIGPIPE, SIG_IGN);
    blockServerSignalsOrDie();
    int status;
    {
        // Binds and listens first: a second server on the port ends here,
        // before it touches the table or the state file. Connections wait in
        // the backlog until the loop starts collecting them.
        TcpServer server(options.workers, options.listen);
        startMetricsOrExit(options);
        prepareTableOrExit(options);
        server.start();
        status = server.exitStatus;
    }
    // The workers have left: what they handed over is answered now.
    stopDurableRegistrations();
    return status;
}
