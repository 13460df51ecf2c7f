// The shared key table's writer: the process's one view of the segment, where
// the server stores and removes records. Touches the segment through
// table_segment and its slots through slot_seqlock.
#include "Util.h"

#include "log_lines.h"
#include "slot_seqlock.h"
#include "table_segment.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

shareMemoryHandle::shareMemoryHandle(int count, int shmKey)
    : itemCount(count), shmId(-1), shmKey(shmKey), items(nullptr), sequences(nullptr) {
    attachSegmentOrDie();
    repairUnfinishedSlots();
    markNeverWrittenSlots();
}

// The messages are the table's own, which operators know from its logs.
void shareMemoryHandle::attachSegmentOrDie() {
    size_t needed = static_cast<size_t>(itemCount) * sizeof(shareMemoryItem);
    size_t made = needed + static_cast<size_t>(itemCount) * kSequenceBytes;
    TableSegment segment = openTableSegment(shmKey, needed, SegmentAccess::CreateReadWrite, made);
    shmId = segment.shmId;
    if (segment.existed) {
        logLine("share memory existed\n");
        flushLog();
    }
    errno = segment.error;
    switch (segment.failed) {
        case SegmentStep::None:
            items = static_cast<shareMemoryItem*>(segment.base);
            if (segment.bytes >= made)
                sequences = reinterpret_cast<uint64_t*>(static_cast<char*>(segment.base) + needed);
            else
                fprintf(stderr, "share memory of %zu bytes has no sequence numbers: readers may see a record half "
                        "written until the segment is made anew (stop the server, ipcrm -M %d, start it)\n",
                        segment.bytes, shmKey);
            return;
        case SegmentStep::Create:
            perror("create share memory failed\n");
            errno = EINVAL;  // what attaching the failed identifier reports
            break;
        case SegmentStep::Size:
            fprintf(stderr, "share memory too small: key %d holds %zu bytes, the table needs %zu\n", shmKey,
                    segment.bytes, needed);
            exit(-1);
        case SegmentStep::Lookup:
        case SegmentStep::Attach:
            break;
    }
    perror("create share memory error\n");
    exit(-1);
}

// A write that never finished would keep readers waiting, and its record may
// be half written: the slot is emptied, and said so.
void shareMemoryHandle::repairUnfinishedSlots() {
    repairedSlots = repairUnfinishedWrites(items, sequences, itemCount);
    for (int slot : repairedSlots)
        fprintf(stderr, "share memory slot %d was left half written by a writer that stopped: emptied\n", slot);
}

// A new segment is zero-filled, and a zero id means "occupied": a slot that
// was never written must read as empty, whoever made the segment and whenever
// its maker stopped. Records belong to the server and to readers, so a slot
// that holds one is never touched, and the test is made slot by slot: a
// whole-table check followed by a whole-table reset would race a server that
// stores its first record meanwhile. The id changes only if it is still 0;
// readers see the slot as no record before and after, so the sequence number
// stays as it is.
void shareMemoryHandle::markNeverWrittenSlots() {
    const int32_t emptyId = shareMemoryItem(-1).id;
    for (int i = 0; i < itemCount; i++) {
        if (!neverWritten(items[i])) continue;
        int32_t unused = 0;
        __atomic_compare_exchange_n(&items[i].id, &unused, emptyId, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
    }
}

uint64_t* shareMemoryHandle::sequenceOf(int slot) { return sequences ? &sequences[slot] : nullptr; }

shareMemoryHandle* shareMemoryHandle::getSingleTon() {
    static shareMemoryHandle handle(kTableSlots, kTableIpcKey);
    return &handle;
}

// User ids are compared as NUL-terminated texts that never run past their field.
static bool sameUserid(const char* a, const char* b) { return strncmp(a, b, sizeof(shareMemoryItem::userid)) == 0; }

// The scan reads the slots plainly: only this process writes them, under the
// same mutex.
int shareMemoryHandle::addItem(shareMemoryItem& item) {
    std::lock_guard<std::mutex> lock(itemMutex);
    int firstEmpty = -1;
    for (int i = 0; i < itemCount; i++) {
        if (items[i].id == -1) {
            if (firstEmpty < 0) firstEmpty = i;
        } else if (sameUserid(items[i].userid, item.userid)) {
            writeSlot(&items[i], sequenceOf(i), item);
            return 0;
        }
    }
    if (firstEmpty < 0) return -1;
    writeSlot(&items[firstEmpty], sequenceOf(firstEmpty), item);
    return 0;
}

int shareMemoryHandle::removeItemById(int id) {
    std::lock_guard<std::mutex> lock(itemMutex);
    for (int i = 0; i < itemCount; i++) {
        if (items[i].id == id) {
            shareMemoryItem emptied = items[i];
            emptied.id = -1;
            writeSlot(&items[i], sequenceOf(i), emptied);
            return 0;
        }
    }
    return -1;
}

// The look-ups take no lock: each slot is copied whole, as other processes
// copy it, and compared afterwards. A slot whose write never finishes is
// passed over.
void shareMemoryHandle::getItemById(int id, shareMemoryItem& out) {
    for (int i = 0; i < itemCount; i++) {
        shareMemoryItem copy(-1);
        if (copySlot(&items[i], sequenceOf(i), copy) == SlotCopy::Whole && copy.id == id) {
            out = copy;
            return;
        }
    }
}

void shareMemoryHandle::getItemByUserid(std::string userid, shareMemoryItem& out) {
    for (int i = 0; i < itemCount; i++) {
        shareMemoryItem copy(-1);
        if (copySlot(&items[i], sequenceOf(i), copy) != SlotCopy::Whole) continue;
        size_t storedLen = strnlen(copy.userid, sizeof copy.userid);
        if (storedLen == userid.size() && memcmp(copy.userid, userid.data(), storedLen) == 0) {
            out = copy;
            return;
        }
    }
}
