// keyreg-server's entry: the command line, the process-wide signal settings,
// and the server's life. Touches the process, and the table only to attach it.
#include "Util.h"
#include "epoll_et_server.h"
#include "server/registration.h"
#include "server/server_options.h"
#include "table/table_segment.h"

#include <csignal>

int main(int argc, char** argv) {
    ServerOptions options = parseCommandLineOrExit(argc, argv);
    // A client that goes away before its reply must not end the server.
    signal(SIGPIPE, SIG_IGN);
    blockStopSignalsOrDie();
    // Before the port opens, so that no request meets a table not yet rebuilt
    // (the state file) or a record left half written (attaching repairs it).
    if (!options.state.empty()) {
        startDurableRegistrationsOrExit(options.state);
    } else if (tableSegmentExists(kTableIpcKey)) {
        shareMemoryHandle::getSingleTon();
    }
    {
        TcpServer server(options.workers);
        server.start();
    }
    // The workers have left: what they handed over is answered now.
    stopDurableRegistrations();
    return 0;
}
