// Readers of the table against the server's writes: look-ups per second
// through libkeyreg (or by bare copies, for comparison), and registrations
// per second of the server under a load of ready-made request blocks.
// bench/table_read.sh runs it; it links only the shared library, as a
// program outside the project does.
//
//   keyreg-table-bench lookup SECONDS USERID   look-ups through libkeyreg
//   keyreg-table-bench bare SECONDS USERID     look-ups by bare copies of the records
//   keyreg-table-bench write SECONDS CONNECTIONS BLOCK-FILE...
//       each connection sends the blocks in turn, one request in flight
//
// Prints one line of key=value pairs. Exit 0, 1 when a look-up or a
// registration failed, 2 on usage or set-up errors.

#include <keyreg/table.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include "protocol.h"
#include "table_segment.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

const int kExitFailed = 1;
const int kExitUsage = 2;
// The clock is read once per this many look-ups, so that reading it costs nothing.
const long kBatch = 4096;

double since(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

// The CPU time of this process: other work on the machine stretches wall
// time, not this.
double cpuSeconds() {
    timespec t;
    if (clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t) != 0) return 0;
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

int usage() {
    fprintf(stderr,
            "usage: keyreg-table-bench lookup|bare SECONDS USERID\n"
            "       keyreg-table-bench write SECONDS CONNECTIONS BLOCK-FILE...\n");
    return kExitUsage;
}

// Look-ups of userid until seconds have passed; find(userid, record) returns 1 when found.
template <class Find>
int lookUp(double seconds, const char* userid, Find find) {
    long n = 0, missed = 0;
    Clock::time_point start = Clock::now();
    double cpuStart = cpuSeconds(), took = 0;
    while ((took = since(start)) < seconds) {
        for (long i = 0; i < kBatch; i++, n++) {
            keyreg_record record;
            if (find(userid, record) != 1) missed++;
        }
    }
    double cpu = cpuSeconds() - cpuStart;
    printf("lookups=%ld seconds=%.3f per_second=%.0f per_cpu_second=%.0f missed=%ld\n", n, took, n / took,
           cpu > 0 ? n / cpu : 0, missed);
    return missed == 0 ? 0 : kExitFailed;
}

int libraryLookups(double seconds, const char* userid) {
    keyreg_table* table = keyreg_table_open();
    if (table == nullptr) {
        fprintf(stderr, "keyreg-table-bench: %s\n", keyreg_strerror(errno));
        return kExitUsage;
    }
    int status = lookUp(seconds, userid, [table](const char* id, keyreg_record& out) {
        return keyreg_table_get(table, id, &out);
    });
    keyreg_table_close(table);
    return status;
}

// What readers that follow only the layout do: a plain copy of each record.
int bareLookups(double seconds, const char* userid) {
    TableSegment segment = openTableSegment(kTableIpcKey, kTableSlots * kRecordBytes, SegmentAccess::ReadOnly);
    if (segment.base == nullptr) {
        fprintf(stderr, "keyreg-table-bench: attaching the table: %s\n", strerror(segment.error));
        return kExitUsage;
    }
    const keyreg_record* slots = static_cast<const keyreg_record*>(segment.base);
    int status = lookUp(seconds, userid, [slots](const char* wanted, keyreg_record& out) {
        for (int i = 0; i < kTableSlots; i++) {
            memcpy(&out, &slots[i], sizeof out);
            if (out.id != -1 && strncmp(out.userid, wanted, sizeof out.userid) == 0) return 1;
        }
        return 0;
    });
    closeTableSegment(segment);
    return status;
}

int connectToServer() {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(kServerPort));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// One request and its whole reply; true for "ok".
bool registerOnce(int fd, const std::string& block) {
    if (send(fd, block.data(), block.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(block.size())) return false;
    char reply[kReplySize];
    size_t got = 0;
    while (got < sizeof reply) {
        ssize_t n = recv(fd, reply + got, sizeof reply - got, 0);
        if (n <= 0) return false;
        got += static_cast<size_t>(n);
    }
    return strcmp(reply, kReplyOk) == 0;
}

int writeLoad(double seconds, int connections, const std::vector<std::string>& blocks) {
    std::atomic<long> stored{0}, failed{0};
    Clock::time_point start = Clock::now();
    std::vector<std::thread> writers;
    for (int c = 0; c < connections; c++) {
        writers.emplace_back([&] {
            int fd = connectToServer();
            for (size_t i = 0; fd >= 0 && since(start) < seconds; i++) {
                if (!registerOnce(fd, blocks[i % blocks.size()])) break;
                stored++;
            }
            if (fd < 0 || since(start) < seconds) failed++;
            if (fd >= 0) close(fd);
        });
    }
    for (std::thread& writer : writers) writer.join();
    double took = since(start);
    printf("registrations=%ld seconds=%.3f per_second=%.0f failed_connections=%ld\n", stored.load(), took,
           stored / took, failed.load());
    return failed == 0 ? 0 : kExitFailed;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4) return usage();
    std::string mode = argv[1];
    double seconds = atof(argv[2]);
    if (mode == "lookup" && argc == 4) return libraryLookups(seconds, argv[3]);
    if (mode == "bare" && argc == 4) return bareLookups(seconds, argv[3]);
    if (mode != "write" || argc < 5) return usage();
    std::vector<std::string> blocks;
    for (int i = 4; i < argc; i++) {
        std::ifstream in(argv[i], std::ios::binary);
        blocks.emplace_back(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        if (blocks.back().empty()) {
            fprintf(stderr, "keyreg-table-bench: cannot read the block %s\n", argv[i]);
            return kExitUsage;
        }
    }
    return writeLoad(seconds, atoi(argv[3]), blocks);
}
