// keyreg-table-bench: look-ups of one user id through libkeyreg for a while,
// as a program outside the project makes them, and a Markdown row of how
// many it made per second of wall-clock and of CPU time.
//   keyreg-table-bench --header | SECONDS USERID LABEL
// Exit 0, 1 when a look-up failed, 2 on usage errors or without a table.
#include <keyreg/table.h>

#include <time.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// The clocks are read once per this many look-ups, so that reading them costs nothing.
const long kBatch = 4096;

double seconds(clockid_t clock) {
    timespec t;
    if (clock_gettime(clock, &t) != 0) return 0;
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && strcmp(argv[1], "--header") == 0) {
        printf("| Look-ups through libkeyreg | Per second | Per CPU second | Found |\n|---|---:|---:|---:|\n");
        return 0;
    }
    double run = argc == 4 ? atof(argv[1]) : 0;
    keyreg_table* table = run > 0 ? keyreg_table_open() : nullptr;
    if (table == nullptr) {
        fprintf(stderr, "keyreg-table-bench: %s\n", run > 0 ? keyreg_strerror(errno) : "usage: --header | SECONDS USERID LABEL");
        return 2;
    }
    long lookups = 0, found = 0, failed = 0;
    double start = seconds(CLOCK_MONOTONIC), cpuStart = seconds(CLOCK_PROCESS_CPUTIME_ID), took = 0;
    for (; (took = seconds(CLOCK_MONOTONIC) - start) < run; lookups += kBatch) {
        for (long i = 0; i < kBatch; i++) {
            keyreg_record record;
            int got = keyreg_table_get(table, argv[2], &record);
            found += got == 1;
            failed += got < 0;
        }
    }
    double cpu = seconds(CLOCK_PROCESS_CPUTIME_ID) - cpuStart;
    keyreg_table_close(table);
    printf("| %s | %.0f | %.0f | %.0f %% |\n", argv[3], lookups / took, cpu > 0 ? lookups / cpu : 0,
           100.0 * found / lookups);
    if (failed > 0) fprintf(stderr, "keyreg-table-bench: %ld look-ups failed\n", failed);
    return failed == 0 ? 0 : 1;
}
