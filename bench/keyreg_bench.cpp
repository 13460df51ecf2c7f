// keyreg-bench: loads a keyreg-server on this machine and prints one Markdown
// row per run. The requests are made with OpenSSL from the public key, never
// with the server's code, lest a fault there cancel itself out; each reply is
// checked byte for byte. The server's CPU time per registration, from /proc,
// is set against the CPU time of one private-key operation timed beside the
// load: both hold where wall-clock figures wander with this host's speed.
#include "bench.h"

#include "protocol.h"

#include <CLI/CLI.hpp>
#include <fcntl.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <csignal>
#include <fstream>
#include <sstream>
#include <thread>

namespace {

const long kTimedPool = 16384;
const long kMaxPool = 262144;
// A few operations every 100 ms cost the server about 2 % of one core. The
// first of each few warms the caches and is not counted, so that they time
// what back-to-back operations cost, as the server's do.
const useconds_t kSampleIntervalUs = 100000;
const int kOpsPerSample = 3;
const useconds_t kLastConnectionsGoUs = 1000000;
const double kOracleSeconds = 10;
const char kServerLog[] = "server.log";

struct ServerSample {
    bool alive = false;
    long cpuTicks = 0;  // user and system time of all its threads
    long vmhwmKb = 0, vmrssKb = 0;
};

// The figure after "Key:" in /proc/PID/status, in kB for the memory lines.
long statusField(long pid, const std::string& key) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(in, line);)
        if (line.compare(0, key.size() + 1, key + ":") == 0) return std::stol(line.substr(key.size() + 1));
    return 0;
}

ServerSample sampleServer(long pid) {
    ServerSample s;
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string stat, state, skip;
    if (pid == 0 || !std::getline(in, stat)) return s;
    // The command name may hold spaces, the fields after it do not: state is
    // the third field, utime and stime the 14th and 15th.
    std::istringstream fields(stat.substr(stat.rfind(')') + 2));
    long utime = 0, stime = 0;
    fields >> state;
    for (int i = 4; i < 14; i++) fields >> skip;
    fields >> utime >> stime;
    s.alive = state != "Z" && state != "X";
    s.cpuTicks = utime + stime;
    s.vmhwmKb = statusField(pid, "VmHWM");
    s.vmrssKb = statusField(pid, "VmRSS");
    return s;
}

double threadCpuMicros() {
    timespec ts;
    if (clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts) != 0) return 0;
    return static_cast<double>(ts.tv_sec) * 1e6 + static_cast<double>(ts.tv_nsec) / 1e3;
}

// CPU µs of one private-key operation, sampled until stop and at least once;
// 0 when a block does not decrypt, as when the key is not the server's.
double sampleOps(RSA* key, const std::vector<std::string>& blocks, const std::atomic<bool>& stop) {
    unsigned char out[kRequestBytes];
    double us = 0;
    long ops = 0;
    for (size_t i = 0; ops == 0 || !stop; usleep(kSampleIntervalUs)) {
        for (int op = 0; op < kOpsPerSample; op++, i++) {
            const std::string& b = blocks[i % blocks.size()];
            double start = threadCpuMicros();
            if (RSA_private_decrypt(static_cast<int>(b.size()), reinterpret_cast<const unsigned char*>(b.data()), out,
                                    key, RSA_PKCS1_PADDING) < 0)
                return 0;
            if (op == 0) continue;
            us += threadCpuMicros() - start;
            ops++;
        }
    }
    return ops > 0 ? us / static_cast<double>(ops) : 0;
}

struct Measured {
    Tally tally;
    double opCpuUs = 0;
    ServerSample before, after;

    double rate() const { return tally.elapsed > 0 ? static_cast<double>(tally.ok) / tally.elapsed : 0; }
    double cpuPerReg() const {
        if (!before.alive || !after.alive || tally.ok == 0) return 0;
        return static_cast<double>(after.cpuTicks - before.cpuTicks) * 1e6 / static_cast<double>(sysconf(_SC_CLK_TCK)) /
               static_cast<double>(tally.ok);
    }
};

// The load of o against the server pid, the operation timed beside it.
bool measure(const Options& o, const std::vector<std::string>& pool, long pid, Measured& m) {
    std::string privPath = o.pubkey.substr(0, o.pubkey.rfind('/') + 1) + "private.pem";
    RSA* key = readKey(privPath, true);
    if (key == nullptr) fprintf(stderr, "keyreg-bench: cannot read the RSA private key %s\n", privPath.c_str());
    if (key == nullptr || !serverListens()) {
        RSA_free(key);
        return false;
    }
    std::atomic<bool> stop{false};
    std::thread sampler([&] {
        m.opCpuUs = sampleOps(key, pool, stop);
    });
    m.before = sampleServer(pid);
    m.tally = runLoad(o, pool);
    m.after = sampleServer(pid);
    stop = true;
    sampler.join();
    RSA_free(key);
    if (m.opCpuUs == 0) fprintf(stderr, "keyreg-bench: %s is not the server's private key\n", privPath.c_str());
    if (pid != 0 && !m.after.alive) fprintf(stderr, "keyreg-bench: the server (process %ld) is gone\n", pid);
    return m.opCpuUs > 0 && (pid == 0 || m.after.alive);
}

// The requests of a run: each distinct when it counts them, else enough to cycle through.
bool makePool(const Options& o, std::vector<std::string>& pool) {
    long count = o.requests > 0 ? o.connections * o.requests : std::max(kTimedPool, 4 * o.connections);
    if (encryptRequests(o, std::min(count, kMaxPool), pool)) return true;
    fprintf(stderr, "keyreg-bench: cannot encrypt requests for %s to %s\n", o.userid.c_str(), o.pubkey.c_str());
    return false;
}

double over(double a, double b) { return b > 0 ? a / b : 0; }

double percentile(const std::vector<double>& sorted, double p) {
    size_t rank = static_cast<size_t>(std::ceil(p * static_cast<double>(sorted.size())));
    return sorted.empty() ? 0 : sorted[std::clamp<size_t>(rank, 1, sorted.size()) - 1];
}

int loadRun(const Options& o) {
    std::vector<std::string> pool;
    Measured m;
    if (!makePool(o, pool)) return kExitUsage;
    bool measured = measure(o, pool, o.serverPid, m);
    std::vector<double>& lat = m.tally.latencyUs;
    std::sort(lat.begin(), lat.end());
    // The ceiling of the server's throughput: every core on the operation.
    double limit = over(1e6 * static_cast<double>(sysconf(_SC_NPROCESSORS_ONLN)), m.opCpuUs);
    printf("| %s | %.0f | %.0f | %.2f | %.0f | %.0f | %.0f | %.0f | %.0f | %.0f | %.2f | %ld | %ld |\n",
           o.label.c_str(), m.rate(), limit, over(m.rate(), limit), percentile(lat, 0.5), percentile(lat, 0.9),
           percentile(lat, 0.99), lat.empty() ? 0 : lat.back(), m.cpuPerReg(), m.opCpuUs,
           over(m.cpuPerReg(), m.opCpuUs), m.after.vmhwmKb, m.tally.errors);
    return measured && m.tally.errors == 0 ? kExitClean : kExitErrors;
}

int idleRun(const Options& o) {
    usleep(kLastConnectionsGoUs);
    ServerSample before = sampleServer(o.serverPid);
    usleep(static_cast<useconds_t>(o.idle * 1e6));
    ServerSample after = sampleServer(o.serverPid);
    if (!before.alive || !after.alive) {
        fprintf(stderr, "keyreg-bench: no server runs as process %ld\n", o.serverPid);
        return kExitErrors;
    }
    printf("| %g | %ld | %ld |\n", o.idle, after.cpuTicks - before.cpuTicks, after.vmrssKb);
    return kExitClean;
}

// The shell runs the command, so that one string carries its options; exec
// keeps the process id the server's own. Its output goes to the log.
pid_t startServer(const std::string& command) {
    std::string script = "exec " + command;
    int log = open(kServerLog, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    pid_t pid = log >= 0 ? fork() : -1;
    if (pid == 0 && dup2(log, STDOUT_FILENO) >= 0 && dup2(log, STDERR_FILENO) >= 0)
        execl("/bin/sh", "sh", "-c", script.c_str(), static_cast<char*>(nullptr));
    if (pid == 0) _exit(127);
    if (log >= 0) close(log);
    return pid;
}

bool stopServer(pid_t pid) {
    int status = 0;
    return kill(pid, SIGTERM) == 0 && waitpid(pid, &status, 0) == pid && (WIFEXITED(status) || WTERMSIG(status) == SIGTERM);
}

// The two commands in turn, A B A B ..., each run on a server of its own, so
// that the host's drifting speed touches both alike.
int compareRuns(const Options& o) {
    std::vector<std::string> pool;
    if (!makePool(o, pool)) return kExitUsage;
    std::vector<double> rate[2], cpu[2];
    long errors = 0;
    for (int run = 0; run < 2 * o.runs; run++) {
        const std::string& command = o.compare[static_cast<size_t>(run % 2)];
        pid_t pid = startServer(command);
        Measured m;
        bool measured = pid > 0 && measure(o, pool, pid, m);
        if (pid > 0 && !stopServer(pid)) fprintf(stderr, "keyreg-bench: %s ended badly\n", command.c_str());
        errors += m.tally.errors + !measured;
        rate[run % 2].push_back(m.rate());
        cpu[run % 2].push_back(m.cpuPerReg());
    }
    double rateA = median(rate[0]), rateB = median(rate[1]), cpuA = median(cpu[0]), cpuB = median(cpu[1]);
    printf("| %s | %.0f | %.0f | %.3f | %.0f | %.0f | %.3f | %ld |\n", o.label.c_str(), rateA, rateB,
           over(rateB, rateA), cpuA, cpuB, over(cpuB, cpuA), errors);
    return errors == 0 ? kExitClean : kExitErrors;
}

int printHeader(const Options& o) {
    if (o.oracle) printOracleHeader();
    else if (o.idle > 0)
        printf("| Idle s | Server CPU ticks (of 1/%ld s) | Server VmRSS KiB |\n|---:|---:|---:|\n", sysconf(_SC_CLK_TCK));
    else if (!o.compare.empty())
        printf("| A → B | A reg./s | B reg./s | B / A | A server CPU µs / reg. | B server CPU µs / reg. | B / A "
               "| Errors |\n|---|---:|---:|---:|---:|---:|---:|---:|\n");
    else
        printf("| Run | Registrations/s | RSA limit (ops/s) | Of the limit | p50 µs | p90 µs | p99 µs | max µs "
               "| Server CPU µs / reg. | Op CPU µs | CPU / op | Server VmHWM KiB | Errors |\n"
               "|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|\n");
    return kExitClean;
}

void declareOptions(CLI::App& app, Options& o) {
    app.add_option("--connections", o.connections, "connections, each with one request in flight")
        ->capture_default_str()->check(CLI::Range(1L, 1000000L));
    CLI::Option* requests = app.add_option("--requests", o.requests, "requests per connection (default 100)")
                                ->check(CLI::Range(1L, 1000000000L));
    app.add_option("--seconds", o.seconds, "keep every connection busy this long instead")
        ->check(CLI::Range(0.1, 86400.0))->excludes(requests);
    app.add_option("--pubkey", o.pubkey, "the server's public key, its private.pem beside")->capture_default_str();
    app.add_option("--userid", o.userid, "user id in every request")->capture_default_str();
    app.add_option("--server-pid", o.serverPid, "the server's process, for its CPU time and memory");
    app.add_option("--label", o.label, "the row's first column (default: the connections)");
    app.add_flag("--header", o.header, "print only the head of the table that these options make rows of");
    app.add_option("--idle", o.idle, "send nothing: the server's CPU time and memory over this many seconds, "
                   "from a second after the last connections went")->check(CLI::Range(0.1, 3600.0));
    app.add_option("--compare", o.compare, "two server commands for /bin/sh, started here in turn: a row of "
                   "their medians and ratios")->expected(2);
    app.add_option("--runs", o.runs, "runs of each command with --compare")->capture_default_str()
        ->check(CLI::Range(1, 100));
    app.add_flag("--oracle", o.oracle, "refused requests of three classes over one connection, for --seconds "
                 "(default 10): their round trips by class");
}

}  // namespace

double median(std::vector<double> values) {
    if (values.empty()) return 0;
    auto middle = values.begin() + static_cast<long>(values.size() / 2);
    std::nth_element(values.begin(), middle, values.end());
    return *middle;
}

int main(int argc, char** argv) {
    Options o;
    CLI::App app{"Loads a keyreg-server on this machine's loopback port and prints a Markdown row of what it "
                 "measured.", "keyreg-bench"};
    app.footer("Exit status: 0 when every reply was right, 1 on any wrong or missing reply, connection error or "
               "vanished server, 2 on a usage error.");
    declareOptions(app, o);
    CLI11_PARSE(app, argc, argv);
    if (o.oracle && o.seconds == 0) o.seconds = kOracleSeconds;
    if (o.requests == 0 && o.seconds == 0) o.requests = 100;
    if (o.label.empty()) o.label = std::to_string(o.connections);
    if (o.header) return printHeader(o);
    if (o.oracle) return runOracle(o);
    if (o.idle > 0) return idleRun(o);
    if (!o.compare.empty()) return compareRuns(o);
    return loadRun(o);
}
