// Registrations that are durable before they are answered (--state FILE):
// the table rebuilt from the state file at start-up, then group commits on a
// thread of their own, which store each batch in the table and hand each
// result back to whoever submitted it. Touches the state file and the table.
#ifndef KEYREG_COMMITTER_H
#define KEYREG_COMMITTER_H

#include "table/table_record.h"

#include <cstdint>
#include <string>

// Exit statuses of a server that cannot start on its state file: the file's
// content cannot be trusted (systemd does not restart it for that), or the
// file cannot be read or written.
const int kExitStateUntrusted = 65;
const int kExitStateUnusable = 74;

enum class CommitResult {
    Stored,     // in the file, flushed, and in the table
    NoRoom,     // every slot of the table holds another user id
    NotStored,  // the file could not take it: nothing is stored
};

// Told the result of each submitted record, with the token it came with, on
// the committer's thread.
typedef void (*CommitAnswer)(uint64_t token, CommitResult result);

// Loads path (or makes it), brings the table and the file in line, and starts
// committing. Ends the process, with a message naming the file on standard
// error, when the file cannot be used.
void startCommitterOrExit(const std::string& path, CommitAnswer answer);

// True once started: allowed records then go through submitRecord.
bool committing();

// Queues a record; its result goes to the answer once it is in the file and
// flushed, or once that failed.
void submitRecord(const shareMemoryItem& record, uint64_t token);

// Commits and answers what is queued, then stops. The caller makes sure that
// nothing is submitted any more.
void stopCommitter();

#endif
