// Reading the shared key table from any process whose user may read the
// segment: attached read-only, never made, reset or changed. Touches the
// segment through table_segment.
#ifndef KEYREG_TABLE_READER_H
#define KEYREG_TABLE_READER_H

#include "Util.h"
#include "table_segment.h"

#include <string>

struct TableView {
    TableSegment segment;
    const shareMemoryItem* items = nullptr;
    int slots = 0;
};

// Opens the existing table; 0, or the errno of the failure: ENOENT no table
// yet, EACCES not readable for this user, EINVAL a segment too small.
int openTableView(TableView& view);
void closeTableView(TableView& view);

// True for a slot that holds a record: neither emptied nor never written.
bool holdsRecord(const shareMemoryItem& slot);

// Copies the record of userid (the whole text, case-sensitive) into out;
// false when no slot holds one.
bool findRecord(const TableView& view, const std::string& userid, shareMemoryItem& out);

// The process's own view for the message decoder: opened on first use, and
// again on later uses until a table exists. Null while there is none.
const TableView* processTableView();

#endif
