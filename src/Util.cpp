// The shared key table: its records, the process's one view of the segment,
// and the JSON reader that the exchange and the decoder share. Touches the
// segment only through table_segment.
#include "Util.h"

#include "log_lines.h"
#include "table_segment.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

shareMemoryItem::shareMemoryItem(int id) : id(id) {
    memset(userid, 0, sizeof userid);
    memset(key, 0, sizeof key);
}

shareMemoryHandle::shareMemoryHandle(int count, int shmKey)
    : itemCount(count), shmId(-1), shmKey(shmKey), items(nullptr) {
    attachSegmentOrDie();
    markNeverWrittenSlots();
}

// The messages are the table's own, which operators know from its logs.
void shareMemoryHandle::attachSegmentOrDie() {
    size_t needed = static_cast<size_t>(itemCount) * sizeof(shareMemoryItem);
    TableSegment segment = openTableSegment(shmKey, needed, SegmentAccess::CreateReadWrite);
    shmId = segment.shmId;
    if (segment.existed) {
        logLine("share memory existed\n");
        flushLog();
    }
    errno = segment.error;
    switch (segment.failed) {
        case SegmentStep::None:
            items = static_cast<shareMemoryItem*>(segment.base);
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

bool neverWritten(const shareMemoryItem& slot) {
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(&slot);
    for (size_t i = 0; i < sizeof slot; i++)
        if (bytes[i] != 0) return false;
    return true;
}

// A new segment is zero-filled, and a zero id means "occupied": a slot that
// was never written must read as empty, whoever made the segment and whenever
// its maker stopped. Records belong to the server and to readers, so a slot
// that holds one is never touched, and the test is made slot by slot: a
// whole-table check followed by a whole-table reset would race a server that
// stores its first record meanwhile. The id changes only if it is still 0.
void shareMemoryHandle::markNeverWrittenSlots() {
    const int32_t emptyId = shareMemoryItem(-1).id;
    for (int i = 0; i < itemCount; i++) {
        if (!neverWritten(items[i])) continue;
        int32_t unused = 0;
        __atomic_compare_exchange_n(&items[i].id, &unused, emptyId, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
    }
}

shareMemoryHandle* shareMemoryHandle::getSingleTon() {
    static shareMemoryHandle handle(kTableSlots, kTableIpcKey);
    return &handle;
}

// User ids are compared as NUL-terminated texts that never run past their field.
static bool sameUserid(const char* a, const char* b) { return strncmp(a, b, sizeof(shareMemoryItem::userid)) == 0; }

int shareMemoryHandle::addItem(shareMemoryItem& item) {
    std::lock_guard<std::mutex> lock(itemMutex);
    shareMemoryItem* firstEmpty = nullptr;
    for (int i = 0; i < itemCount; i++) {
        shareMemoryItem* slot = &items[i];
        if (slot->id == -1) {
            if (firstEmpty == nullptr) firstEmpty = slot;
        } else if (sameUserid(slot->userid, item.userid)) {
            memcpy(slot, &item, sizeof item);
            return 0;
        }
    }
    if (firstEmpty == nullptr) return -1;
    memcpy(firstEmpty, &item, sizeof item);
    return 0;
}

int shareMemoryHandle::removeItemById(int id) {
    std::lock_guard<std::mutex> lock(itemMutex);
    for (int i = 0; i < itemCount; i++) {
        if (items[i].id == id) {
            items[i].id = -1;
            return 0;
        }
    }
    return -1;
}

void shareMemoryHandle::getItemById(int id, shareMemoryItem& out) {
    for (int i = 0; i < itemCount; i++) {
        if (items[i].id == id) {
            memcpy(&out, &items[i], sizeof out);
            return;
        }
    }
}

void shareMemoryHandle::getItemByUserid(std::string userid, shareMemoryItem& out) {
    for (int i = 0; i < itemCount; i++) {
        const char* stored = items[i].userid;
        size_t storedLen = strnlen(stored, sizeof items[i].userid);
        if (storedLen == userid.size() && memcmp(stored, userid.data(), storedLen) == 0) {
            memcpy(&out, &items[i], sizeof out);
            return;
        }
    }
}

nlohmann::json parseJsonText(const char* text) {
    try {
        return nlohmann::json::parse(text);
    } catch (const nlohmann::json::out_of_range& e) {
        throw nlohmann::json::parse_error::create(101, 0, e.what(), nullptr);
    }
}

