// The key table's record: the same 212 bytes in every process that maps the
// segment, in the writer's memory and in the state file. Touches nothing.
#ifndef KEYREG_TABLE_RECORD_H
#define KEYREG_TABLE_RECORD_H

#include "protocol.h"

#include <cstddef>
#include <cstdint>
#include <string>

class shareMemoryItem {
public:
    explicit shareMemoryItem(int id);

    int32_t id;  // -1 marks an empty slot
    int32_t useridLen;
    char userid[100];
    int32_t keyLen;
    char key[100];
};

// Other processes read the table: the layout is the same in every one.
static_assert(sizeof(shareMemoryItem) == kRecordBytes, "a record is 212 bytes in every process");
static_assert(offsetof(shareMemoryItem, useridLen) == 4, "record layout");
static_assert(offsetof(shareMemoryItem, userid) == 8, "record layout");
static_assert(offsetof(shareMemoryItem, keyLen) == 108, "record layout");
static_assert(offsetof(shareMemoryItem, key) == 112, "record layout");

// True for a slot of a new segment that nobody has written yet: all zero,
// which is no record even though its id reads 0.
bool neverWritten(const shareMemoryItem& slot);

// True for a slot that holds a record: neither emptied nor never written.
bool holdsRecord(const shareMemoryItem& slot);

// The user id of a record, up to its NUL and never past its field.
std::string useridOf(const shareMemoryItem& record);

#endif
