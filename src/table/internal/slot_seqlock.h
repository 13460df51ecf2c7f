// One slot of the shared key table and its sequence number (a seqlock): the
// server writes a record whole or readers see that it is at work, and a
// reader in any process copies a record whole without a lock that the
// server would wait for. The writer side lives in slot_writer.cpp, the reader
// side in slot_reader.cpp.
#ifndef KEYREG_SLOT_SEQLOCK_H
#define KEYREG_SLOT_SEQLOCK_H

#include "table/table_record.h"

#include <cstdint>
#include <vector>

// Records move as 32-bit words, each an atomic load or store of its own, so
// that a copy that races a write is no data race; the sequence number tells
// the reader whether the words it got belong to one record.
typedef uint32_t __attribute__((may_alias)) SlotWord;
const size_t kSlotWords = kRecordBytes / sizeof(SlotWord);
static_assert(kSlotWords * sizeof(SlotWord) == kRecordBytes, "a record is whole words");
static_assert(kTableRecordsBytes % alignof(uint64_t) == 0, "the sequence numbers are aligned after the records");

// Stores record into slot. sequence is the slot's sequence number, or null in
// a segment without them, where readers may see the record half written.
// Caller holds the writer's lock, in the one process that writes the table.
void writeSlot(shareMemoryItem* slot, uint64_t* sequence, const shareMemoryItem& record);

// Empties the slots whose write never finished (their writer died between
// the two steps of the sequence number; readers would wait for them in vain)
// and returns their numbers. The record may be half written, so it is not
// kept. Caller is the table's one writer, before it writes.
std::vector<int> repairUnfinishedWrites(shareMemoryItem* slots, uint64_t* sequences, int count);

enum class SlotCopy {
    Whole,
    Unfinished,  // a write stayed unfinished for all of the reader's patience
};

// The words of a record up to the end of its user id: enough to tell whose
// record a slot holds.
const size_t kHeadWords = offsetof(shareMemoryItem, keyLen) / sizeof(SlotWord);

// Copies the first words of slot into out (all of them unless told), as of
// one moment, retrying while its writer is at work. Without sequence numbers
// (null), a copy counts as whole when the next one agrees with it, which a
// write that repeats the same half can still defeat.
SlotCopy copySlot(const shareMemoryItem* slot, const uint64_t* sequence, shareMemoryItem& out,
                  size_t words = kSlotWords);

#endif
