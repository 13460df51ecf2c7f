// keyreg-server's entry: the command line, the process-wide signal settings,
// and the server's life. Touches the process, and the table only to attach it.
#include "Util.h"
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

// The worker count from the command line; ends the process after --help,
// --version (status 0) or a usage error (status 2).
int parseCommandLineOrExit(int argc, char** argv) {
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
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        exit(app.exit(e) == 0 ? 0 : kExitUsage);
    }
    return workerCount(workers);
}

}  // namespace

int main(int argc, char** argv) {
    int workers = parseCommandLineOrExit(argc, argv);
    // A client that goes away before its reply must not end the server.
    signal(SIGPIPE, SIG_IGN);
    // A table left by an earlier run is attached now rather than at the first
    // registration, so that a record it left half written is repaired before
    // readers wait for it.
    if (tableSegmentExists(kTableIpcKey)) shareMemoryHandle::getSingleTon();
    TcpServer server(workers);
    server.start();
    return 0;
}
