// keyreg-server's entry: the command line, the process-wide signal settings,
// and the server's life. Touches the process, and the table only to attach it.
#include "Util.h"
#include "durable_registrations.h"
#include "epoll_et_server.h"
#include "table_segment.h"

#include <CLI/CLI.hpp>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <string>

namespace {

const int kMaxWorkers = 256;
const int kExitUsage = 2;

// "auto" asks for one worker per online CPU, so that the RSA work can use
// every core of a larger machine.
int workerCount(const std::string& text) {
    if (text == "auto") {
        long cpus = sysconf(_SC_NPROCESSORS_ONLN);
        return cpus < 1 ? kDefaultWorkers : static_cast<int>(std::min<long>(cpus, kMaxWorkers));
    }
    return std::stoi(text);
}

struct Options {
    int workers = kDefaultWorkers;
    std::string state;  // empty: no state file
};

// The options from the command line; ends the process after --help,
// --version (status 0) or a usage error (status 2).
Options parseCommandLineOrExit(int argc, char** argv) {
    CLI::App app{"Registers secret keys for user ids: each request on TCP port " + std::to_string(kServerPort) +
                     " is one RSA block (PKCS #1 v1.5) holding {\"userid\":..,\"key\":..}, decrypted with "
                     "private.pem from the working directory; allowed pairs go to the System V shared-memory "
                     "table with IPC key " + std::to_string(kTableIpcKey) + ".",
                 "keyreg-server"};
    app.set_version_flag("--version", std::string("keyreg-server ") + KEYREG_VERSION);
    std::string workers = std::to_string(kDefaultWorkers);
    app.add_option("--workers", workers, "worker threads: 1 to " + std::to_string(kMaxWorkers) +
                                             ", or auto for one per online CPU")
        ->type_name("N|auto")
        ->capture_default_str()
        ->check((CLI::Range(1, kMaxWorkers) | CLI::IsMember({"auto"})).description(""));
    Options options;
    app.add_option("--state", options.state,
                   "keep every registration in FILE, made (mode 0600) when missing in a directory that must exist: "
                   "ok is answered only once a key is in FILE and flushed to disk, and after a reboot the table is "
                   "rebuilt from FILE before the port opens. Without it no file is written")
        ->type_name("FILE")
        ->check([](const std::string& path) { return path.empty() ? "needs a file name" : ""; });
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        exit(app.exit(e) == 0 ? 0 : kExitUsage);
    }
    options.workers = workerCount(workers);
    return options;
}

}  // namespace

int main(int argc, char** argv) {
    Options options = parseCommandLineOrExit(argc, argv);
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
