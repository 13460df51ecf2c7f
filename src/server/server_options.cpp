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

// An option's value must say something; CLI11 takes an empty one otherwise.
std::function<std::string(const std::string&)> nonEmpty(const std::string& what) {
    return [what](const std::string& value) { return value.empty() ? "needs " + what : ""; };
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
    std::string listen;
    app.add_option("--state", options.state,
                   "keep every registration in FILE, made (mode 0600) when missing in a directory that must exist: "
                   "ok is answered only once a key is in FILE and flushed to disk, and after a reboot the table is "
                   "rebuilt from FILE before the first request is served. Without it no file is written")
        ->type_name("FILE")
        ->check(nonEmpty("a file name"));
    app.add_option("--allow-list", options.allowList,
                   "the user ids that may register: one per line, blank lines and lines starting with # ignored; "
                   "read again on SIGHUP. Without it, the five built-in ids")
        ->type_name("FILE")
        ->check(nonEmpty("a file name"));
    app.add_option("--listen", listen,
                   "where to listen: an IPv4 address or an IPv6 address in brackets, each with an optional :PORT "
                   "(default: every IPv4 address, port " + std::to_string(kServerPort) + ")")
        ->type_name("ADDRESS")
        ->check([&options](const std::string& text) {
            std::string error;
            return parseListenAddress(text, kServerPort, options.listen, error) ? "" : error;
        });
    app.add_option("--readers", options.readers,
                   "only the server's own user and the members of GROUP may read the table (mode 0750); without "
                   "it, every local user may (0755)")
        ->type_name("GROUP")
        ->check(nonEmpty("a group"));
    app.add_flag("--audit", options.audit,
                 "one line per request on standard error: peer, user id and outcome, never a key");
    app.add_option("--metrics", options.metrics,
                   "serve Prometheus metrics on http://ADDR:PORT/metrics; ADDR:PORT in the forms of --listen (port " +
                       std::to_string(kDefaultMetricsPort) + " when none is given). Without it, none")
        ->type_name("ADDR:PORT")
        ->transform(CLI::Validator(
            [](std::string& text) {
                ListenAddress where;
                std::string error;
                if (!parseListenAddress(text, kDefaultMetricsPort, where, error)) return error;
                text = peerText(reinterpret_cast<const struct sockaddr*>(&where.addr));
                return std::string();
            },
            ""));
    app.add_flag("--check", options.check,
                 "check what the other options name (allow list, key files, state file), say what was found and "
                 "exit: 0, or the status a start would have ended with. Touches no port, table or file");
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        exit(app.exit(e) == 0 ? 0 : kExitUsage);
    }
    options.workers = workerCount(workers);
    return options;
}
