// Finding, making and attaching the System V segment of the key table: the
// one place that calls shmget, shmctl and shmat for it. Reports what failed
// instead of printing or exiting, so that servers, tools, readers and tests
// decide.
#ifndef KEYREG_TABLE_SEGMENT_H
#define KEYREG_TABLE_SEGMENT_H

#include "protocol.h"

#include <sys/types.h>
#include <unistd.h>

#include <cstddef>

enum class SegmentAccess {
    ReadOnly,         // an existing segment, attached read-only
    CreateReadWrite,  // made when missing, attached read-write: the writer's
};

enum class SegmentStep { None, Create, Lookup, Size, Untrusted, SetReaders, Attach };

// Who may read the segment that the writer makes or adopts: the owner reads
// and writes, readers.group and everybody else get what mode gives them.
struct SegmentReaders {
    gid_t group = getegid();
    int mode = kTableMode;
};

struct TableSegment {
    void* base = nullptr;  // null unless attached
    size_t bytes = 0;      // the segment's size, which may exceed what was asked
    int shmId = -1;
    bool existed = false;  // found, not made by this call
    // Of the segment found, once its status could be read.
    uid_t owner = 0;
    uid_t creator = 0;
    int mode = 0;
    SegmentStep failed = SegmentStep::None;
    // errno of the failed step: ENOENT no segment, EACCES, EINVAL too small,
    // EPERM one that the writer could not have made (Untrusted), ...
    int error = 0;
};

// The segment under key of at least minBytes. A larger one is accepted: the
// records come first, whatever follows them. One that CreateReadWrite makes
// gets madeBytes (at least minBytes). The writer adopts an existing segment
// only when it could have made it: owned and made by this process's user,
// writable by nobody else, large enough (else Untrusted); it then sets the
// segment's group and mode to readers, where they differ, before attaching.
TableSegment openTableSegment(int key, size_t minBytes, SegmentAccess access, size_t madeBytes = 0,
                              SegmentReaders readers = {});

// Removes the segment that openTableSegment found (IPC_RMID): 0, or the
// errno (EPERM for one of another user's). Its memory goes once the last
// process attached to it detaches; the key is free at once.
int removeTableSegment(const TableSegment& segment);

// True when a segment exists under key, whoever may attach it.
bool tableSegmentExists(int key);

// The identifier of the segment under key now, or -1 with errno set.
int tableSegmentId(int key);

// Detaches what openTableSegment attached.
void closeTableSegment(TableSegment& segment);

#endif
