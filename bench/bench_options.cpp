// The load generator's options, declared once with CLI11: help, checks and the defaults that follow from the run.
#include "bench_options.h"

#include <CLI/CLI.hpp>
#include <arpa/inet.h>

namespace {

const long kDefaultTimePool = 16384;
const long kMaxPool = 262144;
const CLI::Range kSeconds(0.001, 86400.0);

// Load is only ever aimed at a server on this machine: anything else would
// turn the generator into a flooding tool against someone else's host.
std::string loopbackOnly(const std::string& host) {
    in_addr addr;
    if (inet_pton(AF_INET, host.c_str(), &addr) == 1 && ntohl(addr.s_addr) >> 24 == 127) return "";
    return "refused: only numeric loopback addresses (127.0.0.0/8) may be loaded, never another machine";
}

void declareLoad(CLI::App& app, Options& o) {
    app.add_option("--connections", o.connections, "connections, each with one request in flight")
        ->type_name("C")->capture_default_str()->check(CLI::Range(1L, 1000000L));
    CLI::Option* requests = app.add_option("--requests", o.requests, "requests per connection, then it closes "
                                           "(default 100)")->type_name("N")->check(CLI::Range(1L, 1000000000L));
    app.add_option("--seconds", o.seconds, "keep every connection busy for S seconds instead; no new connection "
                   "is opened after that")->type_name("S")->check(kSeconds)->excludes(requests);
    app.add_option("--timeout", o.timeout, "stop after T seconds whatever is outstanding, counting it as errors "
                   "(default: --seconds + 60, or 120 with --requests)")->type_name("T")->check(kSeconds);
    app.add_option("--pool", o.pool, "requests encrypted before the clock starts, each with a key of its own. "
                   "With --requests the default is C*N, so each request is distinct; with --seconds it is max(" +
                   std::to_string(kDefaultTimePool) + ", 4*C) and the connections cycle through it, so ciphertexts "
                   "repeat once it is used up")->type_name("K")->check(CLI::Range(1L, kMaxPool));
    app.add_option("--userid", o.userid, "user id in every request")->type_name("ID")->capture_default_str();
}

void declareServer(CLI::App& app, Options& o) {
    app.add_option("--host", o.host, "server address, loopback only")
        ->type_name("ADDR")->capture_default_str()->check(loopbackOnly);
    app.add_option("--port", o.port, "server port")
        ->type_name("P")->capture_default_str()->check(CLI::Range(1L, 65535L));
    app.add_option("--pubkey", o.pubkey, "the server's public key")->type_name("FILE")->capture_default_str();
    app.add_option("--privkey", o.privkey, "the server's private key, only for measuring the RSA limit "
                   "(default: private.pem beside the public key)")->type_name("FILE");
    app.add_option("--wait", o.wait, "first wait up to W seconds for the server to listen")
        ->type_name("W")->check(kSeconds);
    app.add_option("--server-pid", o.serverPid, "the server's process, whose CPU time per registration and "
                   "peak memory go into the report")->type_name("PID")->check(CLI::Range(1L, 4194304L));
    app.add_option("--idle", o.idle, "send nothing: watch the server for S seconds, from a second after the last "
                   "connections went, and report its CPU time, memory and threads")
        ->type_name("S")->check(kSeconds)->needs("--server-pid");
}

void deriveDefaults(Options& o) {
    if (o.requests == 0 && o.seconds == 0) o.requests = 100;
    if (o.timeout == 0) o.timeout = o.seconds > 0 ? o.seconds + 60 : 120;
    if (o.pool == 0)
        o.pool = std::min(kMaxPool, o.seconds > 0 ? std::max(kDefaultTimePool, 4 * o.connections)
                                                  : o.connections * o.requests);
    if (o.privkey.empty()) o.privkey = o.pubkey.substr(0, o.pubkey.rfind('/') + 1) + "private.pem";
}

}  // namespace

[[noreturn]] void usageError(const std::string& why) {
    fprintf(stderr, "keyreg-bench: %s (see --help)\n", why.c_str());
    exit(kExitUsage);
}

Options parseOptionsOrExit(int argc, char** argv) {
    Options o;
    CLI::App app{"Loads a keyreg-server on this machine, every reply checked byte for byte, then measures with the "
                 "same key how many private-key operations per second the machine can do: the ceiling of the "
                 "server's throughput.", "keyreg-bench"};
    app.footer("The last line of output is key=value pairs for scripts. Exit status: 0 when every reply was right, "
               "1 on any wrong or missing reply, connection error or vanished server, 2 on a usage error.");
    declareLoad(app, o);
    declareServer(app, o);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        exit(app.exit(e) == 0 ? kExitClean : kExitUsage);
    }
    deriveDefaults(o);
    return o;
}
