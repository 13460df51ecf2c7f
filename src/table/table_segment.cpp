// The key table's segment: shmget, shmctl and the one shmat of the project.
#include "table/table_segment.h"

#include "protocol.h"

#include <sys/ipc.h>
#include <sys/shm.h>

#include <cerrno>

namespace {

TableSegment failedAt(TableSegment segment, SegmentStep step, int error) {
    segment.failed = step;
    segment.error = error;
    return segment;
}

}  // namespace

TableSegment openTableSegment(int key, size_t minBytes, SegmentAccess access, size_t madeBytes) {
    TableSegment segment;
    bool writable = access == SegmentAccess::CreateReadWrite;
    size_t made = madeBytes > minBytes ? madeBytes : minBytes;
    if (writable) segment.shmId = shmget(key, made, IPC_CREAT | IPC_EXCL | kTableMode);
    if (segment.shmId < 0) {
        if (writable && errno != EEXIST) return failedAt(segment, SegmentStep::Create, errno);
        segment.existed = true;
        segment.shmId = shmget(key, 0, 0);
        if (segment.shmId < 0) return failedAt(segment, SegmentStep::Lookup, errno);
    }
    struct shmid_ds info;
    if (shmctl(segment.shmId, IPC_STAT, &info) != 0) return failedAt(segment, SegmentStep::Lookup, errno);
    segment.bytes = info.shm_segsz;
    // Records would be read and written past its end.
    if (segment.bytes < minBytes) return failedAt(segment, SegmentStep::Size, EINVAL);
    void* base = shmat(segment.shmId, nullptr, writable ? 0 : SHM_RDONLY);
    if (base == reinterpret_cast<void*>(-1)) return failedAt(segment, SegmentStep::Attach, errno);
    segment.base = base;
    return segment;
}

bool tableSegmentExists(int key) { return tableSegmentId(key) >= 0 || errno != ENOENT; }

int tableSegmentId(int key) { return shmget(key, 0, 0); }

void closeTableSegment(TableSegment& segment) {
    if (segment.base != nullptr) shmdt(segment.base);
    segment.base = nullptr;
}

