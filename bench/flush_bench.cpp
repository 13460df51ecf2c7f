// keyreg-flush-bench: what a commit of the state file costs on the disk under
// a folder: 256 bytes written over zeros laid out and flushed beforehand, then
// fdatasync, as the server commits into its file's room. Prints a Markdown
// row of the 50th and 90th percentiles; its own file is removed.
//   keyreg-flush-bench --header | DIR LABEL
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

const size_t kCommitBytes = 256;
const size_t kCommits = 300;

double percentile(std::vector<double> v, double p) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[std::min(v.size() - 1, static_cast<size_t>(p * static_cast<double>(v.size())))];
}

// Microseconds of each commit; fewer than kCommits when one failed.
std::vector<double> timeCommits(int fd) {
    std::vector<double> us;
    std::vector<char> room(kCommitBytes * kCommits, 0), commit(kCommitBytes, 'k');
    if (pwrite(fd, room.data(), room.size(), 0) != static_cast<ssize_t>(room.size()) || fsync(fd) != 0) return us;
    for (size_t i = 0; i < kCommits; i++) {
        auto start = std::chrono::steady_clock::now();
        off_t at = static_cast<off_t>(i * kCommitBytes);
        if (pwrite(fd, commit.data(), kCommitBytes, at) != static_cast<ssize_t>(kCommitBytes) || fdatasync(fd) != 0) break;
        us.push_back(std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count());
    }
    return us;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && strcmp(argv[1], "--header") == 0) {
        printf("| Disk | Commits | p50 µs | p90 µs |\n|---|---:|---:|---:|\n");
        return 0;
    }
    std::string path = argc == 3 ? std::string(argv[1]) + "/flush-bench.state" : "";
    int fd = path.empty() ? -1 : open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) {
        perror(path.empty() ? "usage: keyreg-flush-bench --header | DIR LABEL" : path.c_str());
        return 2;
    }
    std::vector<double> commits = timeCommits(fd);
    if (commits.size() < kCommits) perror("keyreg-flush-bench: writing");
    if (close(fd) != 0 || unlink(path.c_str()) != 0) perror(path.c_str());
    printf("| %s | %zu | %.0f | %.0f |\n", argv[2], commits.size(), percentile(commits, 0.5), percentile(commits, 0.9));
    return commits.size() == kCommits ? 0 : 1;
}
