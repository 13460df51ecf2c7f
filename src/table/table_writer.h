// The key table as its one writer sees it: storing and emptying records in
// the slots of an attached segment, each write whole behind the slot's
// sequence number, and setting right at attach time what an earlier writer
// left. Touches only the slots it is given.
#ifndef KEYREG_TABLE_WRITER_H
#define KEYREG_TABLE_WRITER_H

#include "table/table_record.h"

#include <cstdint>
#include <vector>

struct WritableTable {
    shareMemoryItem* items = nullptr;
    // One per slot, after the records; null in a segment of an older server,
    // where readers may see a record half written.
    uint64_t* sequences = nullptr;
    int slots = 0;
};

// Puts record over the slot that holds its user id, or into the first empty
// slot: 0, or -1 when every slot holds another user id.
// Caller holds the writer's lock.
int storeRecord(WritableTable& table, const shareMemoryItem& record);

// Empties the first slot whose id is id, keeping its texts: 0, or -1 when no
// slot has that id. Caller holds the writer's lock.
int emptySlotWithId(WritableTable& table, int id);

// Copies slot whole, as other processes copy it; false when its write never
// finishes.
bool copyWholeSlot(const WritableTable& table, int slot, shareMemoryItem& out);

// Empties the slots whose write never finished (their writer died midway;
// readers would wait for them in vain) and returns their numbers. Caller is
// the writer, before it writes.
std::vector<int> repairUnfinishedSlots(WritableTable& table);

// Marks the slots of a zero-filled segment that nobody wrote as empty, one
// by one, leaving every slot that holds a record alone.
void markNeverWrittenSlots(WritableTable& table);

#endif
