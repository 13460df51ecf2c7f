// Registrations that are durable before they are answered (--state FILE):
// the table rebuilt from the state file at start-up, then group commits on a
// thread of their own, which store each batch in the table and hand each
// result back to whoever submitted it. Touches the state file and the table.
#ifndef KEYREG_COMMITTER_H
#define KEYREG_COMMITTER_H

#include "state/state_file.h"
#include "table/table_record.h"

#include <cstdint>
#include <string>

enum class CommitResult {
    Stored,     // in the file, flushed, and in the table
    NoRoom,     // every slot of the table holds another user id
    NotStored,  // the file could not take it: nothing is stored
};

// Told the result of each submitted record, with the token it came with, on
// the committer's thread.
typedef void (*CommitAnswer)(uint64_t token, CommitResult result);

// Locks and loads path (or makes it), brings the table and the file in line,
// and starts committing. Ends the process, with a message naming the file on
// standard error, when the file cannot be used or another server holds it.
void startCommitterOrExit(const std::string& path, CommitAnswer answer);

// True once started: allowed records then go through submitRecord.
bool committing();

// Queues a record; its result goes to the answer once it is in the file and
// flushed, or once that failed.
void submitRecord(const shareMemoryItem& record, uint64_t token);

// Commits and answers what is queued, then stops; says on standard error
// what the file may still hold that was refused, if the disk would not let
// it be set right. The file stays locked until the process exits. The
// caller makes sure that nothing is submitted any more.
void stopCommitter();

#endif
