// The state file's format, and reading, appending and rewriting it.
//
// A header of one 512-byte sector, then records of 256 bytes, two to a
// sector: a sector is written whole or not at all, so a crash never leaves a
// half-written header or record, and any checksum that does not match is
// damage, never the trace of a crash. A batch of records is appended and
// flushed before the header that counts it is rewritten and flushed: records
// beyond the header's count were never acknowledged, while a file with fewer
// whole records than it counts was cut short, wherever the cut fell.
#include "state_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

namespace {

const char kMark[8] = {'K', 'E', 'Y', 'R', 'E', 'G', 'S', 'T'};
const uint32_t kFormat = 1;
const size_t kHeaderBytes = 512;
const size_t kEntryBytes = 256;
const char kEntryMark[4] = {'K', 'R', 'E', 'C'};
// Where the fields lie; the checksum is the last four bytes of each block.
const size_t kFormatAt = 8, kCountAt = 16;
const size_t kRecordLenAt = 4, kSeqAt = 8, kRecordAt = 16;
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

void makeHeader(unsigned char (&header)[kHeaderBytes], unsigned long long count) {
    memset(header, 0, sizeof header);
    memcpy(header, kMark, sizeof kMark);
    setField<uint32_t>(header, kFormatAt, kFormat);
    setField<uint64_t>(header, kCountAt, count);
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

bool readAll(int fd, std::vector<unsigned char>& bytes) {
    struct stat st;
    if (fstat(fd, &st) != 0) return false;
    bytes.resize(static_cast<size_t>(st.st_size));
    size_t got = 0;
    while (got < bytes.size()) {
        ssize_t n = pread(fd, bytes.data() + got, bytes.size() - got, static_cast<off_t>(got));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        if (n == 0) break;
        got += static_cast<size_t>(n);
    }
    bytes.resize(got);
    return true;
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

// Writes a complete file of records to fd and flushes it.
bool writeWhole(int fd, const std::vector<shareMemoryItem>& records) {
    std::vector<unsigned char> bytes(kHeaderBytes + records.size() * kEntryBytes);
    unsigned char header[kHeaderBytes];
    makeHeader(header, records.size());
    memcpy(bytes.data(), header, kHeaderBytes);
    for (size_t i = 0; i < records.size(); i++) makeEntry(&bytes[kHeaderBytes + i * kEntryBytes], i, records[i]);
    return writeAt(fd, bytes.data(), bytes.size(), 0) && fsync(fd) == 0;
}

bool createStateFile(const std::string& path, StateFile& file, std::string& error) {
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0 || !writeWhole(fd, {}) || !flushDirectoryOf(path)) {
        error = std::string("cannot create it: ") + strerror(errno);
        if (fd >= 0) close(fd);
        return false;
    }
    file.fd = fd;
    file.count = 0;
    return true;
}

}  // namespace

bool openStateFile(const std::string& path, StateFile& file, std::vector<shareMemoryItem>& records,
                   std::string& error) {
    file.path = path;
    int fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0 && errno == ENOENT) return createStateFile(path, file, error);
    std::vector<unsigned char> bytes;
    if (fd < 0 || !readAll(fd, bytes)) {
        error = std::string(fd < 0 ? "cannot open it: " : "cannot read it: ") + strerror(errno);
        if (fd >= 0) close(fd);
        return false;
    }
    records.clear();
    if (!parseStateFile(bytes, records, error)) {
        close(fd);
        errno = 0;
        return false;
    }
    file.fd = fd;
    file.count = records.size();
    return true;
}

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
    if (!sealed(header, kHeaderBytes) || format != kFormat) {
        error = "its header is damaged (checksum mismatch)";
        return false;
    }
    unsigned long long count = fieldAt<uint64_t>(header, kCountAt);
    unsigned long long whole = (bytes.size() - kHeaderBytes) / kEntryBytes;
    if (whole < count) {
        error = "it was cut short: its header counts " + std::to_string(count) + " records, but only " +
                std::to_string(whole) + " are whole";
        return false;
    }
    // What follows the counted records was never acknowledged: left out.
    for (unsigned long long i = 0; i < count; i++) {
        const unsigned char* entry = &bytes[kHeaderBytes + i * kEntryBytes];
        std::string problem = entryProblem(entry, i);
        if (!problem.empty()) {
            error = "record " + std::to_string(i) + " (at byte " + std::to_string(kHeaderBytes + i * kEntryBytes) +
                    ") " + problem;
            return false;
        }
        shareMemoryItem record(-1);
        memcpy(&record, entry + kRecordAt, kRecordBytes);
        records.push_back(record);
    }
    return true;
}

bool appendRecords(StateFile& file, const std::vector<shareMemoryItem>& records) {
    std::vector<unsigned char> bytes(records.size() * kEntryBytes);
    for (size_t i = 0; i < records.size(); i++) makeEntry(&bytes[i * kEntryBytes], file.count + i, records[i]);
    unsigned char header[kHeaderBytes];
    makeHeader(header, file.count + records.size());
    off_t end = static_cast<off_t>(kHeaderBytes + file.count * kEntryBytes);
    if (!writeAt(file.fd, bytes.data(), bytes.size(), end) || fdatasync(file.fd) != 0 ||
        !writeAt(file.fd, header, sizeof header, 0) || fdatasync(file.fd) != 0)
        return false;
    file.count += records.size();
    return true;
}

bool rewriteStateFile(StateFile& file, const std::vector<shareMemoryItem>& records) {
    std::string fresh = file.path + ".new";
    int fd = open(fresh.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) return false;
    if (!writeWhole(fd, records) || rename(fresh.c_str(), file.path.c_str()) != 0) {
        int err = errno;
        close(fd);
        unlink(fresh.c_str());
        errno = err;
        return false;
    }
    // The new file is in place whatever follows; only its name may not be durable yet.
    closeStateFile(file);
    file.fd = fd;
    file.count = records.size();
    return flushDirectoryOf(file.path);
}

void closeStateFile(StateFile& file) {
    if (file.fd >= 0) close(file.fd);
    file.fd = -1;
}
