// A reader in a process of its own, as programs outside the project read the
// table: through libkeyreg, and for comparison by a bare copy of the record
// from the segment, as readers that follow only the layout do.
//   race_reader USERID KEY-A KEY-B READS CHANGES SECONDS
// reads until it has made READS look-ups and seen the key change CHANGES
// times, or SECONDS have passed, then prints
//   reads=N torn=T missing=M errors=E changes=C bare_torn=B
// A look-up is torn when its record is neither of the two that the writers
// store.
#include <keyreg/table.h>
#include <sys/shm.h>

#include "protocol.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

keyreg_record written(const char* userid, const char* key) {
    keyreg_record r;
    memset(&r, 0, sizeof r);
    r.useridLen = static_cast<int32_t>(strlen(userid));
    memcpy(r.userid, userid, strlen(userid));
    r.keyLen = static_cast<int32_t>(strlen(key));
    memcpy(r.key, key, strlen(key));
    return r;
}

// 0 for a record equal to a, 1 for b, -1 for any other.
int which(const keyreg_record& got, const keyreg_record& a, const keyreg_record& b) {
    if (memcmp(&got, &a, sizeof got) == 0) return 0;
    return memcmp(&got, &b, sizeof got) == 0 ? 1 : -1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 7) {
        fprintf(stderr, "usage: race_reader USERID KEY-A KEY-B READS CHANGES SECONDS\n");
        return 2;
    }
    keyreg_record a = written(argv[1], argv[2]), b = written(argv[1], argv[3]);
    long reads = atol(argv[4]), changes = atol(argv[5]);
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(atol(argv[6]));
    keyreg_table* table = keyreg_table_open();
    int id = shmget(kTableIpcKey, 0, 0);
    const char* base = id < 0 ? nullptr : static_cast<const char*>(shmat(id, nullptr, SHM_RDONLY));
    if (table == nullptr || base == nullptr || base == reinterpret_cast<const char*>(-1)) {
        fprintf(stderr, "race_reader: %s\n", keyreg_strerror(errno));
        return 2;
    }
    int slots[KEYREG_TABLE_SLOTS];
    keyreg_record records[KEYREG_TABLE_SLOTS];
    if (keyreg_table_list(table, records, slots, KEYREG_TABLE_SLOTS) != 1) {
        fprintf(stderr, "race_reader: the table should hold exactly the one record\n");
        return 2;
    }
    const char* bare = base + static_cast<size_t>(slots[0]) * sizeof(keyreg_record);

    long n = 0, torn = 0, missing = 0, errors = 0, seen = 0, bareTorn = 0;
    int last = -1;
    for (; n < reads || seen < changes; n++) {
        if (n % 4096 == 0 && std::chrono::steady_clock::now() >= end) break;
        keyreg_record got;
        int found = keyreg_table_get(table, argv[1], &got);
        if (found < 0) errors++;
        if (found == 0) missing++;
        int now = found == 1 ? which(got, a, b) : last;
        if (found == 1 && now < 0) torn++;
        if (now >= 0 && last >= 0 && now != last) seen++;
        if (now >= 0) last = now;
        memcpy(&got, bare, sizeof got);
        if (which(got, a, b) < 0) bareTorn++;
    }
    printf("reads=%ld torn=%ld missing=%ld errors=%ld changes=%ld bare_torn=%ld\n", n, torn, missing, errors, seen,
           bareTorn);
    keyreg_table_close(table);
    return 0;
}
