// keyreg-bench-tables: RESULTS.md from run.sh's tagged key=value lines. Reads the files named, writes stdout.
#include <CLI/CLI.hpp>
#include <openssl/crypto.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <ctime>
#include <fstream>
#include <functional>
#include <map>
#include <regex>
#include <set>
#include <sstream>

namespace {

using Run = std::map<std::string, std::string>;

// A table: its Markdown head, then the key of every column's value.
struct Table {
    const char* head;
    const char* keys;
};

const Table kLoad = {
    "| Connections | Load | Registrations/s | RSA limit (ops/s) | Ratio | p50 µs | p90 µs | p99 µs | max µs "
    "| One op µs | p50 / op | Errors | Listen overflows | Server VmHWM KiB | Server CPU µs / reg. | Op CPU µs "
    "| CPU / op | Ratio by op CPU |\n"
    "|---:|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|",
    "label load throughput rsa_limit ratio p50_us p90_us p99_us max_us rsa_op_us p50_per_op errors_exit "
    "listen_overflows vmhwm_kb server_cpu_us_per_reg op_cpu_us cpu_per_op cpu_ratio"};
const Table kWorkers = {
    "| Workers | Registrations/s | RSA limit (ops/s) | Ratio | p50 µs | p99 µs | Server CPU µs / reg. | Errors |\n"
    "|---|---:|---:|---:|---:|---:|---:|---:|",
    "label throughput rsa_limit ratio p50_us p99_us server_cpu_us_per_reg errors_exit"};
const Table kCompare = {
    "| Connections | Server | Registrations/s | Ratio | Ratio by op CPU | p50 / op CPU | Server CPU µs / reg. "
    "| CPU / op | Errors |\n"
    "|---:|---|---:|---:|---:|---:|---:|---:|---:|",
    "label server throughput ratio cpu_ratio p50_per_op_cpu server_cpu_us_per_reg cpu_per_op errors_exit"};

const Table kState = {
    "| Connections | State file | Registrations/s | Ratio | p50 µs | p99 µs | Server CPU µs / reg. | Errors |\n"
    "|---:|---|---:|---:|---:|---:|---:|---:|",
    "label state throughput ratio p50_us p99_us server_cpu_us_per_reg errors_exit"};

struct Target {
    const char* text;
    const char* table;
    const char* label;
    const char* key;
    char test;  // '>' at least, '<' at most, '=' exactly the bound
    double bound;
};

const Target kTargets[] = {
    {"Throughput ≥ 0.85 × RSA limit, 16 connections", "load", "16", "ratio", '>', 0.85},
    {"Throughput ≥ 0.85 × RSA limit, 256 connections", "load", "256", "ratio", '>', 0.85},
    {"Same, the limit taken from the op's CPU time in the run, 16 connections", "load", "16", "cpu_ratio", '>', 0.85},
    {"Same, 256 connections", "load", "256", "cpu_ratio", '>', 0.85},
    {"Server CPU per registration ≤ 1.12 × op CPU, 1 connection", "load", "1", "cpu_per_op", '<', 1.12},
    {"Server CPU per registration ≤ 1.08 × op CPU, 16 connections", "load", "16", "cpu_per_op", '<', 1.08},
    // The op's wall time is taken beside the load, which stretches it: only
    // its CPU time is a fair measure of one operation here.
    {"One connection: p50 ≤ 1.2 × one private-key op (its CPU time)", "load", "1", "p50_per_op_cpu", '<', 1.2},
    {"With --state: throughput ≥ 0.85 × without, 16 connections", "state", "16", "state_ratio", '>', 0.85},
    {"10,000 connections all answered (errors)", "load", "10000", "errors", '=', 0},
    {"Peak RSS ≤ 16 MiB after 1,000 connections (KiB)", "load", "1000", "vmhwm_kb", '<', 16384},
    {"No CPU while idle for 5 s (ticks)", "idle", "idle", "idle_ticks", '=', 0}};

std::string get(const Run& r, const std::string& key) {
    auto it = r.find(key);
    return it == r.end() ? "-" : it->second;
}

std::vector<std::string> readLines(const std::string& path) {
    std::ifstream in(path);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// Words without "=" are left out: a run that died leaves some text instead
// of its key=value line, and its cells then show "-".
Run parseRun(const std::string& line) {
    Run r{{"line", line}};
    std::istringstream words(line);
    for (std::string w; words >> w;)
        if (w.find('=') != std::string::npos) r[w.substr(0, w.find('='))] = w.substr(w.find('=') + 1);
    if (r.count("requests") > 0)
        r["load"] = r["requests"] != "0" ? "requests " + r["requests"] : "seconds " + r["seconds"];
    r["errors_exit"] = get(r, "errors") + " (exit " + get(r, "exit") + ")";
    // The machine's RSA limit from the CPU time of the operations timed beside
    // the load: every core doing nothing else. Host speed that wanders between
    // the load and a separate limit run cannot move it.
    if (r.count("op_cpu_us") > 0 && r.count("throughput") > 0) {
        double limit = static_cast<double>(sysconf(_SC_NPROCESSORS_ONLN)) * 1e6 / atof(r["op_cpu_us"].c_str());
        char ratio[16];
        snprintf(ratio, sizeof ratio, "%.3f", atof(r["throughput"].c_str()) / limit);
        r["cpu_ratio"] = ratio;
    }
    r["server"] = get(r, "table") == "before" ? "before" : "after";
    r["state"] = get(r, "table") == "state" ? "yes" : "no";
    return r;
}

bool in(const Run& r, const std::string& table) { return get(r, "table") == table; }

const Run* find(const std::vector<Run>& runs, const std::string& table, const std::string& label = "") {
    for (const Run& r : runs)
        if (in(r, table) && (label.empty() || get(r, "label") == label)) return &r;
    return nullptr;
}

void printTable(const std::vector<Run>& runs, const Table& table, const std::function<bool(const Run&)>& wanted) {
    printf("%s\n", table.head);
    for (const Run& r : runs) {
        if (!wanted(r)) continue;
        std::istringstream keys(table.keys);
        std::string row = "|";
        for (std::string key; keys >> key;) row += " " + get(r, key) + " |";
        printf("%s\n", row.c_str());
    }
    printf("\n");
}

std::string verdict(const std::string& value, const Target& t) {
    char* end = nullptr;
    double x = strtod(value.c_str(), &end);
    if (value.empty() || *end != '\0') return "not measured";
    return (t.test == '>' ? x >= t.bound : t.test == '<' ? x <= t.bound : x == t.bound) ? "met" : "**not met**";
}

void printTargets(const std::vector<Run>& runs) {
    printf("| Target | Measured | |\n|---|---:|---|\n");
    for (const Target& t : kTargets) {
        const Run* r = find(runs, t.table, t.label);
        std::string value = r != nullptr ? get(*r, t.key) : "-";
        printf("| %s | %s | %s |\n", t.text, value.c_str(), verdict(value, t).c_str());
    }
    printf("\n");
}

std::string cpuModel() {
    for (const std::string& line : readLines("/proc/cpuinfo"))
        if (line.rfind("model name", 0) == 0) return line.substr(line.find(':') + 2);
    return "unknown";
}

void printMachine(const std::vector<Run>& runs) {
    char date[32];
    time_t now = time(nullptr);
    strftime(date, sizeof date, "%Y-%m-%d %H:%M UTC", gmtime(&now));
    utsname system;
    uname(&system);
    std::string load = runs.empty() ? "-" : get(runs.front(), "loadavg");
    std::replace(load.begin(), load.end(), '/', ' ');
    printf("# Benchmark results\n\n- Date: %s\n- Machine: %ld cores, %s\n- Kernel: %s\n- OpenSSL: %s\n"
           "- Load average before the runs: %s (other work on the machine makes the figures noisy)\n"
           "- Server: 2048-bit key, logs to files; generator and server share the cores.\n"
           "- Ratio: registrations/s over the RSA limit, both wall-clock but measured seconds apart, so\n"
           "  other work on the machine can push it either way. The last columns are steadier: the\n"
           "  server's CPU time per registration over the CPU time of one private-key operation, timed\n"
           "  beside the load; and registrations/s over the limit that this op CPU time gives with every\n"
           "  core on the operation (cores / op CPU), which the generator's own share of the cores lowers.\n\n",
           date, sysconf(_SC_NPROCESSORS_ONLN), cpuModel().c_str(), system.release, OpenSSL_version(OPENSSL_VERSION),
           load.c_str());
}

void printIdle(const std::vector<Run>& runs) {
    const Run* r = find(runs, "idle");
    if (r == nullptr) return;
    printf("Idle for %s s after the runs: %s ticks of CPU (1 tick = 1/%s s), VmRSS %s KiB, peak VmHWM %s KiB, "
           "%s threads.\n\n", get(*r, "idle_seconds").c_str(), get(*r, "idle_ticks").c_str(),
           get(*r, "clk_tck").c_str(), get(*r, "vmrss_kb").c_str(), get(*r, "vmhwm_kb").c_str(),
           get(*r, "threads").c_str());
}

void printWorkers(const std::vector<Run>& runs) {
    const Run* r = find(runs, "workers");
    if (r == nullptr) return;
    printf("Worker threads (`--workers`), %s connections, %s s each; auto is %ld here:\n\n",
           get(*r, "connections").c_str(), get(*r, "seconds").c_str(), sysconf(_SC_NPROCESSORS_ONLN));
    printTable(runs, kWorkers, [](const Run& w) { return in(w, "workers"); });
}

// Each "before" run is followed by the same load on this build's server.
void printComparison(const std::vector<Run>& runs) {
    std::set<std::string> labels;
    for (const Run& r : runs)
        if (in(r, "before")) labels.insert(get(r, "label"));
    if (labels.empty()) return;
    printf("Before / after: the same loads on the server given as BASELINE_SERVER, then on this build's:\n\n");
    printTable(runs, kCompare,
               [&](const Run& r) { return in(r, "before") || (in(r, "load") && labels.count(get(r, "label")) > 0); });
}

// The same 16 connections with and without --state, and what a flush costs
// on the disk under the state file.
void noteStateRatio(std::vector<Run>& runs) {
    const Run* without = find(runs, "load", "16");
    for (Run& with : runs) {
        if (!in(with, "state") || without == nullptr) continue;
        double a = strtod(get(with, "throughput").c_str(), nullptr);
        double b = strtod(get(*without, "throughput").c_str(), nullptr);
        char ratio[16];
        snprintf(ratio, sizeof ratio, "%.3f", b > 0 ? a / b : 0);
        with["state_ratio"] = ratio;
    }
}

void printState(const std::vector<Run>& runs) {
    const Run* with = find(runs, "state");
    if (with == nullptr) return;
    std::string ratio = get(*with, "state_ratio");
    printf("Registrations with `--state` (each one flushed to the state file before its reply) against the same\n"
           "load without it, one after the other in this run; throughput with over without: %s.\n\n", ratio.c_str());
    printTable(runs, kState, [](const Run& r) { return in(r, "state") || (in(r, "load") && get(r, "label") == "16"); });
    const Run* disk = find(runs, "flush");
    if (disk == nullptr) return;
    printf("The disk under the state file: one commit (a record written into the file's room and flushed) p50\n"
           "%s µs, p90 %s µs; for comparison, a flush after a 256-byte append, which grows the file\n"
           "(`fdatasync`), p50 %s µs, p90 %s µs.\n\n", get(*disk, "commit_p50_us").c_str(), get(*disk, "commit_p90_us").c_str(),
           get(*disk, "fdatasync_p50_us").c_str(), get(*disk, "fdatasync_p90_us").c_str());
}

// strace -c's summary, per registration: the calls of each system call.
using Named = std::vector<std::pair<std::string, std::string>>;

std::map<std::string, double> syscallsPerRequest(const std::string& path, double requests) {
    std::map<std::string, double> calls;
    for (const std::string& line : readLines(path)) {
        std::istringstream words(line);
        std::vector<std::string> w;
        for (std::string word; words >> word;) w.push_back(word);
        // "% time seconds usecs/call calls [errors] syscall"
        if (w.size() < 5 || !isdigit(static_cast<unsigned char>(w[0][0])) || w.back() == "total") continue;
        calls[w.back()] = strtod(w[3].c_str(), nullptr) / requests;
    }
    return calls;
}

void printSyscalls(const Named& files, double requests) {
    if (files.empty()) return;
    std::map<std::string, std::map<std::string, double>> counts;
    std::set<std::string> names;
    for (const auto& f : files) {
        counts[f.first] = syscallsPerRequest(f.second, requests);
        for (const auto& c : counts[f.first]) names.insert(c.first);
    }
    printf("System calls per registration, one connection, %.0f registrations under `strace -c -f` (all threads):\n\n"
           "| System call |", requests);
    for (const auto& f : files) printf(" %s |", f.first.c_str());
    printf("\n|---|");
    for (size_t i = 0; i < files.size(); i++) printf("---:|");
    printf("\n");
    std::map<std::string, double> totals;
    for (const std::string& name : names) {
        printf("| %s |", name.c_str());
        for (const auto& f : files) {
            double n = counts[f.first].count(name) ? counts[f.first][name] : 0;
            totals[f.first] += n;
            printf(" %.2f |", n);
        }
        printf("\n");
    }
    printf("| **all** |");
    for (const auto& f : files) printf(" **%.2f** |", totals[f.first]);
    printf("\n\n");
}

// perf report's samples summed per library, then its top functions that
// have a name (libcrypto's are bare addresses, each a sliver).
std::vector<std::string> perfLines(const std::string& path) {
    std::map<std::string, double> perDso;
    std::vector<std::string> named;
    for (const std::string& line : readLines(path)) {
        std::istringstream words(line);
        std::string share, dso, kind, symbol;
        if (line.empty() || line[0] == '#' || !(words >> share >> dso >> kind >> symbol) || share.back() != '%')
            continue;
        perDso[dso] += atof(share.c_str());
        if (symbol.rfind("0x", 0) != 0 && named.size() < 12) named.push_back(share + "  " + dso + "  " + symbol);
    }
    std::vector<std::pair<double, std::string>> order;
    for (const auto& d : perDso) order.push_back({d.second, d.first});
    std::sort(order.rbegin(), order.rend());
    std::vector<std::string> lines;
    for (const auto& d : order) {
        char line[128];
        snprintf(line, sizeof line, "%6.2f%%  %s (all of it)", d.first, d.second.c_str());
        lines.push_back(line);
    }
    if (!named.empty()) lines.push_back("");
    lines.insert(lines.end(), named.begin(), named.end());
    return lines;
}

void printBlock(const std::string& title, const std::vector<std::string>& lines) {
    if (lines.empty()) return;
    printf("%s\n\n```\n", title.c_str());
    for (const std::string& line : lines) printf("%s\n", line.c_str());
    printf("```\n\n");
}

std::vector<std::string> generatorLines(const std::vector<Run>& runs) {
    std::vector<std::string> lines;
    for (const Run& r : runs)
        if (in(r, "load") || in(r, "before")) lines.push_back(get(r, "line"));
    return lines;
}

// callgrind_annotate's cost lines, without this machine's folders, cut to a
// readable width.
std::vector<std::string> profileLines(const std::string& path) {
    static const std::regex folders("/[^ :\\[\\]]*/");
    std::vector<std::string> lines;
    bool totals = false;
    for (const std::string& line : readLines(path)) {
        totals = totals || line.find("PROGRAM TOTALS") != std::string::npos;
        if (totals && line.find('%') != std::string::npos && lines.size() < 40)
            lines.push_back(std::regex_replace(line, folders, "").substr(0, 160));
    }
    return lines;
}

}  // namespace

int main(int argc, char** argv) {
    std::string linesFile, keyCacheFile, profileFile, perfFile;
    Named syscallFiles;
    double syscallRequests = 2000;
    std::vector<std::string> sections;
    CLI::App app{"Writes the Markdown of bench/RESULTS.md from the lines bench/run.sh collected. Exit status 1 "
                 "when a run was not clean.", "keyreg-bench-tables"};
    app.add_option("LINES", linesFile, "a line per keyreg-bench run: table=T label=L, its key=value line, exit=S")
        ->required()->check(CLI::ExistingFile);
    app.add_option("--key-cache", keyCacheFile, "keyreg-key-cache-bench's output, shown as it is")->type_name("FILE");
    app.add_option("--profile", profileFile, "callgrind_annotate's output")->type_name("FILE");
    app.add_option("--perf", perfFile, "perf report's output, its top entries shown")->type_name("FILE");
    app.add_option("--syscalls", syscallFiles, "strace -c's summary of a server, under a name")->type_name("NAME FILE");
    app.add_option("--syscall-requests", syscallRequests, "registrations made under strace")->capture_default_str();
    app.add_option("--section", sections, "Markdown to add as it is")->type_name("FILE");
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        return app.exit(e) == 0 ? 0 : 2;
    }
    std::vector<Run> runs;
    for (const std::string& line : readLines(linesFile)) runs.push_back(parseRun(line));
    noteStateRatio(runs);
    printMachine(runs);
    printTable(runs, kLoad, [](const Run& r) { return in(r, "load"); });
    printTargets(runs);
    printIdle(runs);
    printWorkers(runs);
    printComparison(runs);
    printSyscalls(syscallFiles, syscallRequests);
    printBlock("Where the server's time goes, 16 connections (`perf record -g`, self time by library and function):",
               perfLines(perfFile));
    printState(runs);
    std::vector<std::string> keyCache;
    for (const std::string& line : readLines(keyCacheFile))
        if (line.rfind("len:", 0) != 0) keyCache.push_back(line);  // the decryption's own log line
    printBlock("Decryption as the server does it (keyreg-key-cache-bench):", keyCache);
    printBlock("Generator output, last lines:", generatorLines(runs));
    printBlock("Callgrind, 300 requests on 4 connections, inclusive cost:", profileLines(profileFile));
    for (const std::string& section : sections)
        for (const std::string& line : readLines(section)) printf("%s\n", line.c_str());
    return std::all_of(runs.begin(), runs.end(), [](const Run& r) { return get(r, "exit") == "0"; }) ? 0 : 1;
}
