// The state file behind --state: every acknowledged registration, on disk.
// Locking it against a second server, loading and checking it, appending a
// batch of records durably, and rewriting it whole. Touches only the file,
// its lock file and its directory.
#ifndef KEYREG_STATE_FILE_H
#define KEYREG_STATE_FILE_H

#include "table/table_record.h"

#include <string>
#include <vector>

// Exit statuses of a server that cannot use its state file: the content
// cannot be trusted (systemd does not restart it for that), the file cannot
// be read or written, or another keyreg-server holds it.
const int kExitStateUntrusted = 65;
const int kExitStateUnusable = 74;
const int kExitStateHeld = 75;

// Entries that a file has room for beyond the records it was written with:
// once the log has used them, the server rewrites the file, which so stays
// within the table and this much log. No batch is larger.
const unsigned long long kStateLogRoom = 1024;

// The file, open for appending; what it holds is what the records say, the
// later record of a user id replacing the earlier.
struct StateFile {
    std::string path;
    int fd = -1;
    int lockFd = -1;               // the lock file, locked while it is open
    unsigned long long count = 0;  // records whose commit is complete
    unsigned long long room = 0;   // entries it is laid out for, count included
};

// Locks path against every other keyreg-server, then reads its records (none
// when it does not exist). Appends must wait for a rewrite, which also makes
// a missing file. 0, or the exit status of a server that cannot use the file
// (kExitState...) with the reason in error, which names neither the file nor
// a remedy (the caller adds both).
int openStateFile(const std::string& path, StateFile& file, std::vector<shareMemoryItem>& records,
                  std::string& error);

// What a start on path would meet, found without locking, making or writing
// anything. Never from the process that holds the lock: closing the lock
// file, as this does, would release it.
struct StateCheck {
    bool exists = false;
    int status = 0;       // 0, or the exit status that a start would end with
    std::string problem;  // why, as a start would say it
    long holder = 0;      // pid of the keyreg-server holding the lock; 0 if none or unknown
};
StateCheck examineStateFile(const std::string& path);

// Appends records, which must fit the room left, and makes them durable with
// one flush: false (errno set) when a write or a flush failed, after which
// nothing but a rewrite may follow.
bool appendRecords(StateFile& file, const std::vector<shareMemoryItem>& records);

// After a failed append: zeros the entry where it began and flushes, so that
// the log ends there again and nothing the append left after it is ever read.
bool voidFailedAppend(StateFile& file);

// Replaces the file by one that holds exactly records, durably (a new file
// flushed, renamed over the old one, then the directory flushed); the first
// rewrite makes the file. False with errno set.
bool rewriteStateFile(StateFile& file, const std::vector<shareMemoryItem>& records);

// Closes the file and lets go of its lock.
void closeStateFile(StateFile& file);

// The records that the bytes of a state file hold, or false with the reason
// why none of them can be trusted.
bool parseStateFile(const std::vector<unsigned char>& bytes, std::vector<shareMemoryItem>& records,
                    std::string& error);

#endif
