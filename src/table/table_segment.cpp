// The key table's segment: shmget, shmctl and the one shmat of the project.
#include "table/table_segment.h"

#include <sys/ipc.h>
#include <sys/shm.h>

#include <algorithm>
#include <cerrno>

namespace {

const int kPermissionBits = 0777;
const int kOwnerBits = 0700;
const int kWritableByOthers = 0022;

TableSegment failedAt(TableSegment segment, SegmentStep step, int error) {
    segment.failed = step;
    segment.error = error;
    return segment;
}

// Anyone else who made or owns a segment may change its mode and owner
// (IPC_SET) at any time, and anyone else who may write it may have changed
// its records: such a segment is no table that this user could have made.
// The creator is checked too, since an owner can be given away.
bool couldHaveMade(const TableSegment& segment, size_t minBytes) {
    uid_t self = geteuid();
    return segment.owner == self && segment.creator == self && (segment.mode & kWritableByOthers) == 0 &&
           segment.bytes >= minBytes;
}

// Caller is the writer, which owns segment.
int setReaders(TableSegment& segment, struct shmid_ds& info, const SegmentReaders& readers) {
    if (info.shm_perm.gid == readers.group && segment.mode == readers.mode) return 0;
    info.shm_perm.gid = readers.group;
    info.shm_perm.mode = static_cast<unsigned short>(readers.mode);
    if (shmctl(segment.shmId, IPC_SET, &info) != 0) return errno;
    segment.mode = readers.mode;
    return 0;
}

}  // namespace

TableSegment openTableSegment(int key, size_t minBytes, SegmentAccess access, size_t madeBytes,
                              SegmentReaders readers) {
    TableSegment segment;
    bool writable = access == SegmentAccess::CreateReadWrite;
    size_t made = std::max(madeBytes, minBytes);
    // Made for its owner alone when its group is to be another: the readers
    // get it once the group is theirs.
    int madeMode = readers.group == getegid() ? readers.mode : readers.mode & kOwnerBits;
    if (writable) segment.shmId = shmget(key, made, IPC_CREAT | IPC_EXCL | madeMode);
    if (segment.shmId < 0) {
        if (writable && errno != EEXIST) return failedAt(segment, SegmentStep::Create, errno);
        segment.existed = true;
        segment.shmId = shmget(key, 0, 0);
        if (segment.shmId < 0) return failedAt(segment, SegmentStep::Lookup, errno);
    }
    struct shmid_ds info;
    if (shmctl(segment.shmId, IPC_STAT, &info) != 0) {
        // Not even its owner bits let this user read it: not the writer's.
        SegmentStep step = writable && errno == EACCES ? SegmentStep::Untrusted : SegmentStep::Lookup;
        return failedAt(segment, step, errno);
    }
    segment.bytes = info.shm_segsz;
    segment.owner = info.shm_perm.uid;
    segment.creator = info.shm_perm.cuid;
    segment.mode = info.shm_perm.mode & kPermissionBits;
    if (writable && !couldHaveMade(segment, minBytes)) return failedAt(segment, SegmentStep::Untrusted, EPERM);
    // Records would be read and written past its end.
    if (segment.bytes < minBytes) return failedAt(segment, SegmentStep::Size, EINVAL);
    int error = writable ? setReaders(segment, info, readers) : 0;
    if (error != 0) return failedAt(segment, SegmentStep::SetReaders, error);
    void* base = shmat(segment.shmId, nullptr, writable ? 0 : SHM_RDONLY);
    if (base == reinterpret_cast<void*>(-1)) return failedAt(segment, SegmentStep::Attach, errno);
    segment.base = base;
    return segment;
}

int removeTableSegment(const TableSegment& segment) {
    return shmctl(segment.shmId, IPC_RMID, nullptr) == 0 ? 0 : errno;
}

bool tableSegmentExists(int key) { return tableSegmentId(key) >= 0 || errno != ENOENT; }

int tableSegmentId(int key) { return shmget(key, 0, 0); }

void closeTableSegment(TableSegment& segment) {
    if (segment.base != nullptr) shmdt(segment.base);
    segment.base = nullptr;
}
