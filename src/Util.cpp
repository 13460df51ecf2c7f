// The shared key table's face: the process's one writable view of the
// segment, where the server stores and removes records, and the message
// classes. The segment comes from table_segment, every slot is written and
// copied through table_writer, and decoding reads through table_reader.
#include "Util.h"

#include "log/log_lines.h"
#include "table/message_decode.h"
#include "table/table_reader.h"
#include "table/table_segment.h"
#include "table/table_writer.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

WritableTable slotsOf(shareMemoryHandle& handle) { return {handle.items, handle.sequences, handle.itemCount}; }

}  // namespace

shareMemoryHandle::shareMemoryHandle(int count, int shmKey)
    : itemCount(count), shmId(-1), shmKey(shmKey), items(nullptr), sequences(nullptr) {
    attachSegmentOrDie();
    repairUnfinishedSlots();
    WritableTable table = slotsOf(*this);
    markNeverWrittenSlots(table);
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
    WritableTable table = slotsOf(*this);
    repairedSlots = ::repairUnfinishedSlots(table);
    for (int slot : repairedSlots)
        fprintf(stderr, "share memory slot %d was left half written by a writer that stopped: emptied\n", slot);
}

shareMemoryHandle* shareMemoryHandle::getSingleTon() {
    static shareMemoryHandle handle(kTableSlots, kTableIpcKey);
    return &handle;
}

int shareMemoryHandle::addItem(shareMemoryItem& item) {
    std::lock_guard<std::mutex> lock(itemMutex);
    WritableTable table = slotsOf(*this);
    return storeRecord(table, item);
}

int shareMemoryHandle::removeItemById(int id) {
    std::lock_guard<std::mutex> lock(itemMutex);
    WritableTable table = slotsOf(*this);
    return emptySlotWithId(table, id);
}

// The look-ups take no lock: each slot is copied whole, as other processes
// copy it, and compared afterwards. A slot whose write never finishes is
// passed over.
void shareMemoryHandle::getItemById(int id, shareMemoryItem& out) {
    WritableTable table = slotsOf(*this);
    for (int i = 0; i < itemCount; i++) {
        shareMemoryItem copy(-1);
        if (copyWholeSlot(table, i, copy) && copy.id == id) {
            out = copy;
            return;
        }
    }
}

void shareMemoryHandle::getItemByUserid(std::string userid, shareMemoryItem& out) {
    WritableTable table = slotsOf(*this);
    for (int i = 0; i < itemCount; i++) {
        shareMemoryItem copy(-1);
        if (copyWholeSlot(table, i, copy) && useridOf(copy) == userid) {
            out = copy;
            return;
        }
    }
}

void MessageCode::enCodeMes(char* /*data*/, int /*len*/) {}

// The table is read, never made or reset here: a decoding process needs no
// more than read access to it, and must leave the server's records alone. A
// record that could not be read whole decodes nothing, as no record does.
void MessageCode::deCodeMes(char* data, int /*len*/) {
    const TableView* table = processTableView();
    if (table == nullptr) {
        readMessageText(data);  // a text that is no message throws all the same
        return;
    }
    DecodedMessage decoded = decodeMessage(*table, data);
    if (decoded.found == Lookup::Found) mesText = decoded.text;
}

Message* MessageFactory::createMessage(MessageType type) {
    switch (type) {
        case MESSAGE_CODE: return new MessageCode();
    }
    return nullptr;
}
