// The state file behind --state: every acknowledged registration, on disk.
// Loading and checking it, appending a batch of records durably, and
// rewriting it whole. Touches only the file and its directory.
#ifndef KEYREG_STATE_FILE_H
#define KEYREG_STATE_FILE_H

#include "table/table_record.h"

#include <string>
#include <vector>

// Entries that a file has room for beyond the records it was written with:
// once the log has used them, the server rewrites the file, which so stays
// within the table and this much log.
const unsigned long long kStateLogRoom = 1024;

// The file, open for appending; what it holds is what the records say, the
// later record of a user id replacing the earlier.
struct StateFile {
    std::string path;
    int fd = -1;
    unsigned long long count = 0;  // records whose commit is complete
    unsigned long long room = 0;   // entries it is laid out for, count included
};

// Reads the records of path, or makes it (mode 0600, empty, open for
// appending) when it does not exist; its directory must. A file that existed
// is only read: rewrite it before appending. False with the reason in error,
// which names neither the file nor a remedy (the caller adds both), and errno
// 0 when the content is at fault rather than reading or writing.
bool openStateFile(const std::string& path, StateFile& file, std::vector<shareMemoryItem>& records,
                   std::string& error);

// Appends records and makes them durable with one flush (two more when the
// file must grow for them): false (errno set) when a write or a flush failed,
// after which nothing but a rewrite may follow.
bool appendRecords(StateFile& file, const std::vector<shareMemoryItem>& records);

// Replaces the file by one that holds exactly records, durably (a new file
// renamed over the old one, then the directory flushed). False with errno set.
bool rewriteStateFile(StateFile& file, const std::vector<shareMemoryItem>& records);

void closeStateFile(StateFile& file);

// The records that the bytes of a state file hold, or false with the reason
// why none of them can be trusted.
bool parseStateFile(const std::vector<unsigned char>& bytes, std::vector<shareMemoryItem>& records,
                    std::string& error);

#endif
