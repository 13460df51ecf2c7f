// The writer's operations over the slots, on top of the seqlock's writes.
#include "table/table_writer.h"

#include "slot_seqlock.h"

#include <cstring>

namespace {

uint64_t* sequenceOf(const WritableTable& table, int slot) {
    return table.sequences ? &table.sequences[slot] : nullptr;
}

// User ids are compared as NUL-terminated texts that never run past their field.
bool sameUserid(const char* a, const char* b) { return strncmp(a, b, sizeof(shareMemoryItem::userid)) == 0; }

}  // namespace

// The scan reads the slots plainly: only the writer writes them, under its lock.
int storeRecord(WritableTable& table, const shareMemoryItem& record) {
    int firstEmpty = -1;
    for (int i = 0; i < table.slots; i++) {
        if (table.items[i].id == -1) {
            if (firstEmpty < 0) firstEmpty = i;
        } else if (sameUserid(table.items[i].userid, record.userid)) {
            writeSlot(&table.items[i], sequenceOf(table, i), record);
            return 0;
        }
    }
    if (firstEmpty < 0) return -1;
    writeSlot(&table.items[firstEmpty], sequenceOf(table, firstEmpty), record);
    return 0;
}

int emptySlotWithId(WritableTable& table, int id) {
    for (int i = 0; i < table.slots; i++) {
        if (table.items[i].id != id) continue;
        shareMemoryItem emptied = table.items[i];
        emptied.id = -1;
        writeSlot(&table.items[i], sequenceOf(table, i), emptied);
        return 0;
    }
    return -1;
}

bool copyWholeSlot(const WritableTable& table, int slot, shareMemoryItem& out) {
    return copySlot(&table.items[slot], sequenceOf(table, slot), out) == SlotCopy::Whole;
}

std::vector<int> repairUnfinishedSlots(WritableTable& table) {
    return repairUnfinishedWrites(table.items, table.sequences, table.slots);
}

// A new segment is zero-filled, and a zero id means "occupied": a slot that
// was never written must read as empty, whoever made the segment and whenever
// its maker stopped. Records belong to the server and to readers, so a slot
// that holds one is never touched, and the test is made slot by slot: a
// whole-table check followed by a whole-table reset would race a server that
// stores its first record meanwhile. The id changes only if it is still 0;
// readers see the slot as no record before and after, so the sequence number
// stays as it is.
void markNeverWrittenSlots(WritableTable& table) {
    const int32_t emptyId = shareMemoryItem(-1).id;
    for (int i = 0; i < table.slots; i++) {
        if (!neverWritten(table.items[i])) continue;
        int32_t unused = 0;
        __atomic_compare_exchange_n(&table.items[i].id, &unused, emptyId, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
    }
}
