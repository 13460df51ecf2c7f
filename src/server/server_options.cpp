// keyreg-server's command line, declared once with CLI11.
#include "server/server_options.h"

#include "protocol.h"

#include <CLI/CLI.hpp>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>

namespace {

const int kMaxWorkers = 256;

// "auto" asks for one worker per online CPU, so that the RSA work can use
// every core of a larger machine.
int workerCount(const std::string& text) {
    if (text == "auto") {
        long cpus = sysconf(_SC_NPROCESSORS_ONLN);
        return cpus < 1 ? kDefaultWorkers : static_cast<int>(std::min<long>(cpus, kMaxWorkers));
    }
    return std::stoi(text);
}

}  // namespace

ServerOptions parseCommandLineOrExit(int argc, char** argv) {
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
    ServerOptions options;
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
