// Finding, making and attaching the System V segment of the key table: the
// one place that calls shmget and shmat for it. Reports what failed instead
// of printing or exiting, so that servers, tools, readers and tests decide.
#ifndef KEYREG_TABLE_SEGMENT_H
#define KEYREG_TABLE_SEGMENT_H

#include <cstddef>

enum class SegmentAccess {
    ReadOnly,         // an existing segment, attached read-only
    CreateReadWrite,  // made when missing (mode kTableMode), attached read-write
};

enum class SegmentStep { None, Create, Lookup, Size, Attach };

struct TableSegment {
    void* base = nullptr;  // null unless attached
    size_t bytes = 0;      // the segment's size, which may exceed what was asked
    int shmId = -1;
    bool existed = false;  // found, not made by this call
    SegmentStep failed = SegmentStep::None;
    int error = 0;  // errno of the failed step: ENOENT no segment, EACCES, EINVAL too small, ...
};

// The segment under key of at least minBytes. A larger one is accepted: the
// records come first, whatever follows them. One that CreateReadWrite makes
// gets madeBytes (at least minBytes).
TableSegment openTableSegment(int key, size_t minBytes, SegmentAccess access, size_t madeBytes = 0);

// True when a segment exists under key, whoever may attach it.
bool tableSegmentExists(int key);

// The identifier of the segment under key now, or -1 with errno set.
int tableSegmentId(int key);

// Detaches what openTableSegment attached.
void closeTableSegment(TableSegment& segment);

#endif
