// The server as /proc shows it: its CPU time per registration holds where wall-clock figures wander.
#include "server_probe.h"

#include "bench_options.h"

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <thread>

namespace {

// The figure after "Key:" in /proc/PID/status, in kB for the memory lines.
long statusField(long pid, const std::string& key) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(in, line);)
        if (line.compare(0, key.size() + 1, key + ":") == 0) return std::stol(line.substr(key.size() + 1));
    return 0;
}

// ListenOverflows is named on the first TcpExt line of /proc/net/netstat and
// counted on the second.
long listenOverflows() {
    std::ifstream in("/proc/net/netstat");
    for (std::string names, values; std::getline(in, names) && std::getline(in, values);) {
        std::istringstream n(names), v(values);
        for (std::string name, value; n >> name && v >> value;)
            if (name == "ListenOverflows") return std::stol(value);
    }
    return 0;
}

}  // namespace

ServerSample sampleServer(long pid) {
    ServerSample s;
    s.listenOverflows = listenOverflows();
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string stat;
    if (pid == 0 || !std::getline(in, stat)) return s;
    // The command name may hold spaces; the fields after it do not. State is
    // the third field, utime and stime the 14th and 15th.
    std::istringstream fields(stat.substr(stat.rfind(')') + 2));
    std::string state, skip;
    long utime = 0, stime = 0;
    fields >> state;
    for (int i = 4; i < 14; i++) fields >> skip;
    fields >> utime >> stime;
    s.alive = state != "Z" && state != "X";
    s.cpuTicks = utime + stime;
    s.vmhwmKb = statusField(pid, "VmHWM");
    s.vmrssKb = statusField(pid, "VmRSS");
    s.threads = statusField(pid, "Threads");
    return s;
}

long ticksPerSecond() { return sysconf(_SC_CLK_TCK); }

std::string loadAverage() {
    std::ifstream in("/proc/loadavg");
    std::string one, five, fifteen;
    in >> one >> five >> fifteen;
    return one + "/" + five + "/" + fifteen;
}

// A second first, for the connections of the last run to be gone.
int watchIdle(long pid, double seconds) {
    std::this_thread::sleep_for(std::chrono::seconds(1));
    ServerSample before = sampleServer(pid);
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    ServerSample after = sampleServer(pid);
    if (!before.alive || !after.alive) {
        fprintf(stderr, "keyreg-bench: no running server with process id %ld\n", pid);
        return kExitErrors;
    }
    printf("idle_seconds=%g idle_ticks=%ld clk_tck=%ld vmrss_kb=%ld vmhwm_kb=%ld threads=%ld\n", seconds,
           after.cpuTicks - before.cpuTicks, ticksPerSecond(), after.vmrssKb, after.vmhwmKb, after.threads);
    return kExitClean;
}
