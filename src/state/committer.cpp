// The state file and the table, kept in line, and the committer thread that
// makes each batch of registrations durable before it answers them.
#include "state/committer.h"

#include "Util.h"
#include "log/log_lines.h"
#include "metrics/metrics.h"
#include "state/state_file.h"
#include "table/table_segment.h"

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

namespace {

struct Pending {
    shareMemoryItem record;
    uint64_t token;
};

// The committer. Only its thread touches file, table and failing once it
// runs; lock guards queue and stopping.
struct Committer {
    std::mutex lock;
    std::condition_variable wake;
    std::vector<Pending> queue;
    bool stopping = false;
    bool started = false;
    std::thread thread;

    StateFile file;
    shareMemoryHandle* table = nullptr;
    CommitAnswer answer = nullptr;
    // After a failed write the file is rewritten from the table before it
    // takes another append.
    bool rewriteFirst = false;
    bool failing = false;
    // The user ids of refused registrations that a failed append may have
    // left in the file, until a rewrite drops them.
    std::vector<std::string> unsettled;
};

// Never destroyed: an exit from any thread, at any moment, must find it
// whole, its thread still joinable or not.
Committer& committer() {
    static Committer& c = *new Committer;
    return c;
}

std::vector<shareMemoryItem> tableRecords(const shareMemoryHandle& table) {
    std::vector<shareMemoryItem> records;
    for (int i = 0; i < table.itemCount; i++)
        if (holdsRecord(table.items[i])) records.push_back(table.items[i]);
    return records;
}

[[noreturn]] void refuseStateFile(const std::string& path, const std::string& what, int status) {
    const char* remedy = status != kExitStateUntrusted
                             ? ""
                             : " Restore it from a backup, or move it aside to start with the shared table as it is "
                               "(made anew and empty after a reboot: clients must then register again).";
    fprintf(stderr, "keyreg-server: %s: %s.%s\n", path.c_str(), what.c_str(), remedy);
    exit(status);
}

// The latest record of each user id in the file, in the order of their
// first appearance.
std::vector<shareMemoryItem> latestPerUser(const std::vector<shareMemoryItem>& records) {
    std::map<std::string, size_t> at;
    std::vector<shareMemoryItem> latest;
    for (const shareMemoryItem& record : records) {
        auto found = at.find(useridOf(record));
        if (found != at.end()) {
            latest[found->second] = record;
        } else {
            at[useridOf(record)] = latest.size();
            latest.push_back(record);
        }
    }
    return latest;
}

bool tableHolds(const shareMemoryHandle& table, const std::string& userid) {
    for (int i = 0; i < table.itemCount; i++)
        if (holdsRecord(table.items[i]) && useridOf(table.items[i]) == userid) return true;
    return false;
}

// After a reboot the table is new and takes the file's records. After a
// restart the table already serves readers and may hold keys registered
// without --state: it wins for every user id it holds and gets the others.
void bringTableInLine(shareMemoryHandle& table, const std::vector<shareMemoryItem>& fileRecords, bool segmentExisted,
                      const std::string& path) {
    int lost = 0;
    for (shareMemoryItem record : latestPerUser(fileRecords)) {
        if (segmentExisted && tableHolds(table, useridOf(record))) continue;
        if (table.addItem(record) != 0) lost++;
    }
    if (lost > 0)
        fprintf(stderr, "keyreg-server: %s: the table has no room for %d of its records, which are left out\n",
                path.c_str(), lost);
}

// Once per burst of failures, and once when writing works again.
void noteWriteResult(Committer& c, bool written, int err) {
    if (written == !c.failing) return;
    c.failing = !written;
    if (written)
        fprintf(stderr, "keyreg-server: %s: writing works again\n", c.file.path.c_str());
    else
        fprintf(stderr, "keyreg-server: %s: cannot write or flush it: %s; registrations are refused until it works\n",
                c.file.path.c_str(), strerror(err));
}

// A user id already in the table or in this batch keeps its slot; another
// needs a free one.
bool takeRoom(const shareMemoryHandle& table, const std::string& userid, std::vector<std::string>& batchUsers,
              int& freeSlots) {
    for (const std::string& u : batchUsers)
        if (u == userid) return true;
    if (!tableHolds(table, userid)) {
        if (freeSlots == 0) return false;
        freeSlots--;
    }
    batchUsers.push_back(userid);
    return true;
}

void answer(const Committer& c, const Pending& p, CommitResult result) { c.answer(p.token, result); }

// What a failed append may have put in the file was refused: before anything
// else is answered, the log is ended where the append began, or failing
// that the file rewritten from the table, which holds none of it.
void settleFailedAppend(Committer& c, const std::vector<shareMemoryItem>& records) {
    int err = errno;
    if (!voidFailedAppend(c.file) && !rewriteStateFile(c.file, tableRecords(*c.table)))
        for (const shareMemoryItem& record : records) c.unsettled.push_back(useridOf(record));
    errno = err;
}

// A batch that the file has no room left for goes after a rewrite from the
// table: that bounds the file to the table and its room for the log.
bool writeBatch(Committer& c, const std::vector<shareMemoryItem>& records) {
    bool full = c.file.count + records.size() > c.file.room;
    if ((c.rewriteFirst || full) && !rewriteStateFile(c.file, tableRecords(*c.table))) return false;
    c.rewriteFirst = false;
    c.unsettled.clear();
    if (records.empty() || appendRecords(c.file, records)) return true;
    settleFailedAppend(c, records);
    return false;
}

void commitBatch(Committer& c, const std::vector<Pending>& batch) {
    int freeSlots = 0;
    for (int i = 0; i < c.table->itemCount; i++)
        if (!holdsRecord(c.table->items[i])) freeSlots++;
    std::vector<std::string> batchUsers;
    std::vector<const Pending*> fitting;
    std::vector<shareMemoryItem> records;
    for (const Pending& p : batch) {
        if (!takeRoom(*c.table, useridOf(p.record), batchUsers, freeSlots)) {
            answer(c, p, CommitResult::NoRoom);
            continue;
        }
        fitting.push_back(&p);
        records.push_back(p.record);
    }
    uint64_t flushStart = records.empty() ? 0 : metricsClock();
    bool written = writeBatch(c, records);
    noteWriteResult(c, written, errno);
    observeStateFlush(flushStart, written);
    if (!written) c.rewriteFirst = true;
    for (const Pending* p : fitting) {
        shareMemoryItem record = p->record;
        CommitResult result = !written                          ? CommitResult::NotStored
                              : c.table->addItem(record) == 0 ? CommitResult::Stored
                                                              : CommitResult::NoRoom;
        answer(c, *p, result);
    }
}

void runCommitter() {
    Committer& c = committer();
    for (;;) {
        std::vector<Pending> batch;
        {
            std::unique_lock<std::mutex> guard(c.lock);
            c.wake.wait(guard, [&c] { return !c.queue.empty() || c.stopping; });
            if (c.queue.empty()) return;
            // No larger than the room that a rewrite leaves.
            auto end = c.queue.begin() + static_cast<long>(std::min<size_t>(c.queue.size(), kStateLogRoom));
            batch.assign(c.queue.begin(), end);
            c.queue.erase(c.queue.begin(), end);
        }
        commitBatch(c, batch);
        // The batch's audit lines, in one write.
        flushLog();
    }
}

}  // namespace

void startCommitterOrExit(const std::string& path, CommitAnswer answer) {
    Committer& c = committer();
    c.answer = answer;
    std::vector<shareMemoryItem> records;
    std::string error;
    int status = openStateFile(path, c.file, records, error);
    if (status != 0) refuseStateFile(path, error, status);
    bool segmentExisted = tableSegmentExists(kTableIpcKey);
    c.table = shareMemoryHandle::getSingleTon();
    bringTableInLine(*c.table, records, segmentExisted, path);
    if (!rewriteStateFile(c.file, tableRecords(*c.table)))
        refuseStateFile(path, std::string("cannot rewrite it: ") + strerror(errno), kExitStateUnusable);
    c.started = true;
    c.thread = std::thread(runCommitter);
}

bool committing() { return committer().started; }

void submitRecord(const shareMemoryItem& record, uint64_t token) {
    Committer& c = committer();
    {
        std::lock_guard<std::mutex> guard(c.lock);
        c.queue.push_back({record, token});
    }
    c.wake.notify_one();
}

void stopCommitter() {
    Committer& c = committer();
    if (!c.started) return;
    {
        std::lock_guard<std::mutex> guard(c.lock);
        c.stopping = true;
    }
    c.wake.notify_one();
    c.thread.join();
    if (c.unsettled.empty() || rewriteStateFile(c.file, tableRecords(*c.table))) return;
    std::string ids;
    for (const std::string& userid : c.unsettled) ids += (ids.empty() ? "" : ", ") + userid;
    fprintf(stderr,
            "keyreg-server: %s: cannot rewrite it at the stop: %s; it may still hold registrations of %s that were "
            "answered \"communicate failed\", which the next start would load as stored\n",
            c.file.path.c_str(), strerror(errno), ids.c_str());
}
