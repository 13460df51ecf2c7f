// keyreg-flush-bench: what one commit of the state file costs on a disk (a
// record written into the file's room and flushed), and what one flush after
// an append, which grows the file, costs there. Touches two files of its
// own in the folder given, removed afterwards; prints a key=value line.
#include "state_file.h"

#include <CLI/CLI.hpp>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <vector>

namespace {

double percentile(std::vector<double> v, double p) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[std::min(v.size() - 1, static_cast<size_t>(p * static_cast<double>(v.size())))];
}

// Microseconds of each of n calls; stops early when one fails.
std::vector<double> timeEach(int n, const std::function<bool()>& call) {
    std::vector<double> us;
    for (int i = 0; i < n; i++) {
        auto start = std::chrono::steady_clock::now();
        if (!call()) break;
        us.push_back(std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count());
    }
    return us;
}

}  // namespace

int main(int argc, char** argv) {
    std::string dir = ".";
    int n = 300;
    CLI::App app{"Times commits of a state file and single flushes in DIR.", "keyreg-flush-bench"};
    app.add_option("DIR", dir, "a folder on the disk to measure")->check(CLI::ExistingDirectory);
    app.add_option("--commits", n, "how many of each")->check(CLI::Range(1, 100000))->capture_default_str();
    CLI11_PARSE(app, argc, argv);

    StateFile file;
    std::vector<shareMemoryItem> none;
    std::string error, statePath = dir + "/flush-bench.state", rawPath = dir + "/flush-bench.raw";
    unlink(statePath.c_str());
    if (!openStateFile(statePath, file, none, error)) {
        fprintf(stderr, "keyreg-flush-bench: %s: %s\n", statePath.c_str(), error.c_str());
        return 1;
    }
    shareMemoryItem record(0);
    std::vector<double> commits = timeEach(n, [&] { return appendRecords(file, {record}); });
    closeStateFile(file);
    int raw = open(rawPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    char block[256] = {0};
    off_t at = 0;
    std::vector<double> flushes = timeEach(n, [&] {
        bool ok = raw >= 0 && pwrite(raw, block, sizeof block, at) == static_cast<ssize_t>(sizeof block) &&
                  fdatasync(raw) == 0;
        at += static_cast<off_t>(sizeof block);
        return ok;
    });
    if (raw >= 0) close(raw);
    unlink(statePath.c_str());
    unlink(rawPath.c_str());
    printf("commits=%zu commit_p50_us=%.0f commit_p90_us=%.0f fdatasync_p50_us=%.0f fdatasync_p90_us=%.0f\n",
           commits.size(), percentile(commits, 0.5), percentile(commits, 0.9), percentile(flushes, 0.5),
           percentile(flushes, 0.9));
    return commits.size() == static_cast<size_t>(n) && flushes.size() == static_cast<size_t>(n) ? 0 : 1;
}
