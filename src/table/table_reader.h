// Reading the shared key table from any process whose user may read the
// segment: attached read-only, never made, reset or changed, each record
// copied whole. Touches the segment through table_segment and the seqlock.
#ifndef KEYREG_TABLE_READER_H
#define KEYREG_TABLE_READER_H

#include "table/table_record.h"
#include "table/table_segment.h"

#include <cstdint>

#include <string>

struct TableView {
    TableSegment segment;
    const shareMemoryItem* items = nullptr;
    const uint64_t* sequences = nullptr;  // null in a segment of an older server
    int slots = 0;
};

// Opens the existing table; 0, or the errno of the failure: ENOENT no table
// yet, EACCES not readable for this user, EINVAL a segment too small.
int openTableView(TableView& view);
void closeTableView(TableView& view);

enum class Lookup { Found, Absent, Unfinished };

// Copies the record of userid (the whole text, case-sensitive) into out.
// Unfinished when it is in no slot that could be read, and some slot's write
// never finished (that slot might hold it).
Lookup findRecord(const TableView& view, const std::string& userid, shareMemoryItem& out);

// Copies the records, each whole, in slot order into out (and their slot
// numbers into slots, unless null), at most capacity of them; their number,
// or -1 when a slot's write never finished.
int listRecords(const TableView& view, shareMemoryItem* out, int* slots, int capacity);

// The process's own view for the message decoder: opened on first use, and
// again whenever the table was made anew. Null while there has been none.
const TableView* processTableView();

#endif
