// The state file's format, and reading, appending and rewriting it.
//
// A header of one 512-byte sector, then entries of 256 bytes, two to a
// sector: a sector is written whole or not at all, so a crash never leaves a
// half-written header or entry, and any checksum that does not match is
// damage, never the trace of a crash. A rewrite writes the records it is
// given, then zeros for as many entries again as the log may take (its
// room), all flushed before the file is renamed into place; the header counts
// both. A commit writes its entries over the zeros after the last ones and
// flushes once: with the file's size and blocks unchanged, that flush carries
// no metadata, which on a virtual disk halves what it costs. The log ends at
// its first zero entry: whatever a crash left of a batch beyond it was never
// acknowledged. A file shorter than its header says was cut short, and any
// byte after its last whole entry that is not zero is damage: none of the
// server's own writes leaves one there.
//
// A file is made and replaced the same way: a new file, flushed, renamed
// over the old name, the directory flushed; a crash leaves either the old
// file (or none) or the new one whole. The lock that keeps a second server
// away is on a lock file beside it, which is never renamed or removed.
//
// Format 1, written by the first servers with --state, had no room: each
// commit rewrote the header's count, and entries beyond it were left out.
// It is still read; the server rewrites it in format 2 at start-up.
#include "state/state_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>

namespace {

const char kMark[8] = {'K', 'E', 'Y', 'R', 'E', 'G', 'S', 'T'};
const uint32_t kFormat = 2;
const uint32_t kFormatWithoutRoom = 1;
const size_t kHeaderBytes = 512;
const size_t kEntryBytes = 256;
const char kEntryMark[4] = {'K', 'R', 'E', 'C'};
// Where the fields lie; the checksum is the last four bytes of each block.
const size_t kFormatAt = 8, kCountAt = 16, kRoomAt = 24;
const size_t kRecordLenAt = 4, kSeqAt = 8, kRecordAt = 16;
// Far more than any server ever wrote (a full table and its log room are
// 288 KB): a larger file is refused before it is read into memory.
const off_t kLargestFile = 64 << 20;
static_assert(kRecordAt + kRecordBytes <= kEntryBytes - 4, "a record fits its entry");

uint32_t checksum(const unsigned char* block, size_t size) {
    return static_cast<uint32_t>(crc32(0L, block, static_cast<uInt>(size - 4)));
}

void seal(unsigned char* block, size_t size) {
    uint32_t sum = checksum(block, size);
    memcpy(block + size - 4, &sum, 4);
}

bool sealed(const unsigned char* block, size_t size) {
    uint32_t sum;
    memcpy(&sum, block + size - 4, 4);
    return sum == checksum(block, size);
}

template <typename T>
T fieldAt(const unsigned char* block, size_t at) {
    T value;
    memcpy(&value, block + at, sizeof value);
    return value;
}

template <typename T>
void setField(unsigned char* block, size_t at, T value) {
    memcpy(block + at, &value, sizeof value);
}

void makeHeader(unsigned char (&header)[kHeaderBytes], unsigned long long count, unsigned long long room) {
    memset(header, 0, sizeof header);
    memcpy(header, kMark, sizeof kMark);
    setField<uint32_t>(header, kFormatAt, kFormat);
    setField<uint64_t>(header, kCountAt, count);
    setField<uint64_t>(header, kRoomAt, room);
    seal(header, sizeof header);
}

void makeEntry(unsigned char* entry, unsigned long long seq, const shareMemoryItem& record) {
    memset(entry, 0, kEntryBytes);
    memcpy(entry, kEntryMark, sizeof kEntryMark);
    setField<uint32_t>(entry, kRecordLenAt, static_cast<uint32_t>(kRecordBytes));
    setField<uint64_t>(entry, kSeqAt, seq);
    memcpy(entry + kRecordAt, &record, kRecordBytes);
    seal(entry, kEntryBytes);
}

bool zeroEntry(const unsigned char* entry) {
    for (size_t i = 0; i < kEntryBytes; i++)
        if (entry[i] != 0) return false;
    return true;
}

off_t entryOffset(unsigned long long index) { return static_cast<off_t>(kHeaderBytes + index * kEntryBytes); }

std::string entryProblem(const unsigned char* entry, unsigned long long seq) {
    if (!sealed(entry, kEntryBytes)) return "is damaged (checksum mismatch)";
    if (memcmp(entry, kEntryMark, sizeof kEntryMark) != 0 || fieldAt<uint32_t>(entry, kRecordLenAt) != kRecordBytes)
        return "is no record of this format";
    if (fieldAt<uint64_t>(entry, kSeqAt) != seq) return "is out of place";
    return "";
}

bool writeAt(int fd, const unsigned char* bytes, size_t size, off_t at) {
    while (size > 0) {
        ssize_t n = pwrite(fd, bytes, size, at);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        bytes += n;
        size -= static_cast<size_t>(n);
        at += n;
    }
    return true;
}

// 0, or the exit status that what it met calls for, with the reason.
int readAll(int fd, std::vector<unsigned char>& bytes, std::string& error) {
    struct stat st;
    if (fstat(fd, &st) != 0) {
        error = std::string("cannot read it: ") + strerror(errno);
        return kExitStateUnusable;
    }
    if (st.st_size > kLargestFile) {
        error = "it is " + std::to_string(st.st_size) + " bytes, more than a state file ever holds (" +
                std::to_string(kLargestFile) + "): it is damaged, or no keyreg state file";
        return kExitStateUntrusted;
    }
    bytes.resize(static_cast<size_t>(st.st_size));
    size_t got = 0;
    while (got < bytes.size()) {
        ssize_t n = pread(fd, bytes.data() + got, bytes.size() - got, static_cast<off_t>(got));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            error = std::string("cannot read it: ") + strerror(errno);
            return kExitStateUnusable;
        }
        if (n == 0) break;
        got += static_cast<size_t>(n);
    }
    bytes.resize(got);
    return 0;
}

std::string directoryOf(const std::string& path) {
    size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// A new or renamed name is durable only once its directory is.
bool flushDirectoryOf(const std::string& path) {
    int dir = open(directoryOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0) return false;
    bool flushed = fsync(dir) == 0;
    int err = errno;
    close(dir);
    errno = err;
    return flushed;
}

// Writes a complete file of records and room after them to fd, flushed.
bool writeWhole(int fd, const std::vector<shareMemoryItem>& records, StateFile& file) {
    unsigned long long room = records.size() + kStateLogRoom;
    std::vector<unsigned char> bytes(entryOffset(room), 0);
    unsigned char header[kHeaderBytes];
    makeHeader(header, records.size(), room);
    memcpy(bytes.data(), header, kHeaderBytes);
    for (size_t i = 0; i < records.size(); i++) makeEntry(&bytes[entryOffset(i)], i, records[i]);
    if (!writeAt(fd, bytes.data(), bytes.size(), 0) || fsync(fd) != 0) return false;
    file.count = records.size();
    file.room = room;
    return true;
}

struct flock writeLockOfWholeFile() {
    struct flock lock = {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    return lock;
}

// The pid of the process whose lock keeps fd's file from being locked: -1
// when none does, 0 when it cannot be known (another pid namespace).
long lockHolder(int fd) {
    struct flock lock = writeLockOfWholeFile();
    return fcntl(fd, F_GETLK, &lock) == 0 && lock.l_type != F_UNLCK ? lock.l_pid : -1;
}

std::string heldBy(long holder) {
    return "another keyreg-server" + (holder > 0 ? " (pid " + std::to_string(holder) + ")" : std::string()) +
           " holds it: one server per state file";
}

std::string lockFailure(const std::string& lockPath, int err) {
    return "cannot open or lock its lock file " + lockPath + ": " + strerror(err);
}

// A record lock lasts as long as the process keeps the descriptor open.
int lockStateFile(StateFile& file, std::string& error) {
    std::string lockPath = file.path + ".lock";
    int fd = open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    struct flock lock = writeLockOfWholeFile();
    if (fd >= 0 && fcntl(fd, F_SETLK, &lock) == 0) {
        file.lockFd = fd;
        return 0;
    }
    int err = errno;
    bool held = fd >= 0 && (err == EACCES || err == EAGAIN);
    error = held ? heldBy(lockHolder(fd)) : lockFailure(lockPath, err);
    if (fd >= 0) close(fd);
    return held ? kExitStateHeld : kExitStateUnusable;
}

// The records of path, none when it does not exist: 0, or an exit status.
int readStateRecords(const std::string& path, std::vector<shareMemoryItem>& records, bool& exists,
                     std::string& error) {
    records.clear();
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    exists = fd >= 0 || errno != ENOENT;
    if (!exists) return 0;
    if (fd < 0) {
        error = std::string("cannot open it: ") + strerror(errno);
        return kExitStateUnusable;
    }
    std::vector<unsigned char> bytes;
    int status = readAll(fd, bytes, error);
    close(fd);
    if (status == 0 && !parseStateFile(bytes, records, error)) status = kExitStateUntrusted;
    return status;
}

}  // namespace

int openStateFile(const std::string& path, StateFile& file, std::vector<shareMemoryItem>& records,
                  std::string& error) {
    file.path = path;
    int status = lockStateFile(file, error);
    bool exists;
    if (status == 0) status = readStateRecords(path, records, exists, error);
    // Only read: a rewrite comes before any append, so that nothing a crash
    // left beyond the log's end can ever join it.
    file.count = records.size();
    return status;
}

StateCheck examineStateFile(const std::string& path) {
    StateCheck check;
    std::string lockPath = path + ".lock";
    int fd = open(lockPath.c_str(), O_RDONLY | O_CLOEXEC);
    long holder = fd >= 0 ? lockHolder(fd) : -1;
    // A start makes a missing lock file, unless its directory is missing too.
    if (fd < 0 && (errno != ENOENT || access(directoryOf(path).c_str(), F_OK) != 0)) {
        check.status = kExitStateUnusable;
        check.problem = lockFailure(lockPath, errno);
    } else if (holder >= 0) {
        check.status = kExitStateHeld;
        check.problem = heldBy(holder);
        check.holder = holder;
    }
    if (fd >= 0) close(fd);
    std::vector<shareMemoryItem> records;
    std::string problem;
    int status = readStateRecords(path, records, check.exists, problem);
    if (check.status == 0) {
        check.status = status;
        check.problem = problem;
    }
    return check;
}

namespace {

// The records of the entries before last. Those the header counts must all
// be whole; the log after them runs up to its first zero entry. Beyond that,
// an entry is zeros or what a crash left of an unacknowledged batch, which
// is left out; but an entry that is neither is damage.
bool parseEntries(const std::vector<unsigned char>& bytes, unsigned long long count, unsigned long long last,
                  std::vector<shareMemoryItem>& records, std::string& error) {
    bool ended = false;
    for (unsigned long long i = 0; i < last; i++) {
        const unsigned char* entry = &bytes[entryOffset(i)];
        if (i >= count && zeroEntry(entry)) {
            ended = true;
            continue;
        }
        std::string problem = entryProblem(entry, i);
        if (!problem.empty()) {
            error = "entry " + std::to_string(i) + " (at byte " + std::to_string(entryOffset(i)) + ") " + problem;
            return false;
        }
        if (ended) continue;
        shareMemoryItem record(-1);
        memcpy(&record, entry + kRecordAt, kRecordBytes);
        records.push_back(record);
    }
    return true;
}

}  // namespace

bool parseStateFile(const std::vector<unsigned char>& bytes, std::vector<shareMemoryItem>& records,
                    std::string& error) {
    if (bytes.size() < kHeaderBytes) {
        error = "it is " + std::to_string(bytes.size()) + " bytes, too short for its " +
                std::to_string(kHeaderBytes) + "-byte header: it was cut short, or it is no keyreg state file";
        return false;
    }
    const unsigned char* header = bytes.data();
    if (memcmp(header, kMark, sizeof kMark) != 0) {
        error = "it is no keyreg state file (it does not begin with the mark KEYREGST)";
        return false;
    }
    uint32_t format = fieldAt<uint32_t>(header, kFormatAt);
    if (format > kFormat) {
        error = "it is in format " + std::to_string(format) + ", written by a newer keyreg-server; this one reads format " +
                std::to_string(kFormat);
        return false;
    }
    if (!sealed(header, kHeaderBytes) || format < kFormatWithoutRoom) {
        error = "its header is damaged (checksum mismatch)";
        return false;
    }
    unsigned long long count = fieldAt<uint64_t>(header, kCountAt);
    unsigned long long room = format == kFormatWithoutRoom ? 0 : fieldAt<uint64_t>(header, kRoomAt);
    unsigned long long whole = (bytes.size() - kHeaderBytes) / kEntryBytes;
    if (whole < count || whole < room) {
        error = "it was cut short: its header counts " + std::to_string(std::max(count, room)) + " entries, but only " +
                std::to_string(whole) + " are whole";
        return false;
    }
    // A file of this format never changes its size once renamed into place.
    auto stray = std::find_if(bytes.begin() + entryOffset(whole), bytes.end(), [](unsigned char b) { return b != 0; });
    if (format == kFormat && stray != bytes.end()) {
        error = "it has bytes after its last whole entry that are not zeros (at byte " +
                std::to_string(stray - bytes.begin()) + ")";
        return false;
    }
    // In format 1, what follows the counted entries was never acknowledged.
    return parseEntries(bytes, count, format == kFormatWithoutRoom ? count : whole, records, error);
}

bool appendRecords(StateFile& file, const std::vector<shareMemoryItem>& records) {
    if (file.count + records.size() > file.room) {
        errno = ENOSPC;
        return false;
    }
    std::vector<unsigned char> bytes(records.size() * kEntryBytes);
    for (size_t i = 0; i < records.size(); i++) makeEntry(&bytes[i * kEntryBytes], file.count + i, records[i]);
    if (!writeAt(file.fd, bytes.data(), bytes.size(), entryOffset(file.count)) || fdatasync(file.fd) != 0) return false;
    file.count += records.size();
    return true;
}

bool voidFailedAppend(StateFile& file) {
    unsigned char zeros[kEntryBytes] = {};
    return file.fd >= 0 && file.count < file.room && writeAt(file.fd, zeros, sizeof zeros, entryOffset(file.count)) &&
           fdatasync(file.fd) == 0;
}

bool rewriteStateFile(StateFile& file, const std::vector<shareMemoryItem>& records) {
    std::string fresh = file.path + ".new";
    int fd = open(fresh.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    StateFile written;
    if (fd < 0) return false;
    if (!writeWhole(fd, records, written) || rename(fresh.c_str(), file.path.c_str()) != 0) {
        int err = errno;
        close(fd);
        unlink(fresh.c_str());
        errno = err;
        return false;
    }
    // The new file is in place whatever follows; only its name may not be durable yet.
    if (file.fd >= 0) close(file.fd);
    file.fd = fd;
    file.count = written.count;
    file.room = written.room;
    return flushDirectoryOf(file.path);
}

void closeStateFile(StateFile& file) {
    for (int* fd : {&file.fd, &file.lockFd}) {
        if (*fd >= 0) close(*fd);
        *fd = -1;
    }
}
