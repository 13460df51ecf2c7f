// Readline over a stream that arrives in arbitrary chunks, checked against
// what it promises: per call, a line with its newline (the byte count), or
// maxlen when the buffer fills first (maxlen - 1 bytes stored), or the bytes
// left before the end of the stream (0 at the end); always NUL-terminated;
// whatever a call did not take is handed out by the next one.
//
// Input: two bytes that give the buffer sizes of alternate calls (1..256 and
// 2..256), then chunks, each a length byte (1..100) and that many bytes. Each
// chunk is one record of a sequenced-packet socket, so each refill of
// Readline's read-ahead buffer (100 bytes) gets exactly one chunk.
#include "wrap.h"
#include "fuzz_support.h"

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

const char kTarget[] = "fuzz_readline";
const size_t kMaxChunks = 64;    // far below what the socket buffers hold
const size_t kMaxChunkBytes = 100;

struct Stream {
    size_t maxlen[2];
    std::vector<std::string> chunks;
    std::string bytes;  // all chunks, in order
};

Stream parseInput(const uint8_t* data, size_t size) {
    Stream s;
    s.maxlen[0] = size > 0 ? data[0] % 256u + 1 : 100;
    s.maxlen[1] = size > 1 ? data[1] % 255u + 2 : 100;
    size_t pos = 2;
    while (pos < size && s.chunks.size() < kMaxChunks) {
        size_t want = data[pos] % kMaxChunkBytes + 1;
        pos++;
        size_t take = std::min(want, size - pos);
        if (take == 0) break;
        s.chunks.emplace_back(reinterpret_cast<const char*>(data + pos), take);
        s.bytes += s.chunks.back();
        pos += take;
    }
    return s;
}

// The reading end of a socket that holds the chunks and then ends.
int feed(const Stream& s) {
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) != 0) fuzzFailure(kTarget, "socketpair failed");
    for (const std::string& chunk : s.chunks) {
        ssize_t n = send(pair[1], chunk.data(), chunk.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n != static_cast<ssize_t>(chunk.size())) fuzzFailure(kTarget, "could not queue a chunk");
    }
    close(pair[1]);
    return pair[0];
}

struct Expected {
    ssize_t result;
    size_t stored;
};

// What one call with buffer size maxlen must do at position pos of the stream.
Expected expectedCall(const std::string& stream, size_t pos, size_t maxlen) {
    size_t stored = 0;
    while (stored < maxlen - 1 && pos + stored < stream.size()) {
        stored++;
        if (stream[pos + stored - 1] == '\n') return {static_cast<ssize_t>(stored), stored};
    }
    if (stored == maxlen - 1) return {static_cast<ssize_t>(maxlen), stored};
    return {static_cast<ssize_t>(stored), stored};
}

void checkCall(int fd, const std::string& stream, size_t& pos, size_t maxlen, bool& ended) {
    std::vector<char> buf(maxlen);  // exactly maxlen: a write past it is caught
    ssize_t got = Readline(fd, buf.data(), maxlen);
    Expected want = expectedCall(stream, pos, maxlen);
    if (got != want.result) {
        fprintf(stderr, "%s: maxlen %zu at byte %zu of %zu: returned %zd, expected %zd\n", kTarget, maxlen, pos,
                stream.size(), got, want.result);
        fuzzFailure(kTarget, "wrong result");
    }
    if (memcmp(buf.data(), stream.data() + pos, want.stored) != 0) fuzzFailure(kTarget, "wrong bytes stored");
    if (buf[want.stored] != '\0') fuzzFailure(kTarget, "the line is not NUL-terminated");
    pos += want.stored;
    ended = got == 0;
}

// The read-ahead buffer belongs to the whole process: leave nothing in it for
// the next input.
void drain(int fd) {
    char buf[256];
    for (int i = 0; i < 1000 && Readline(fd, buf, sizeof buf) > 0; i++) {
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Stream s = parseInput(data, size);
    int fd = feed(s);
    size_t pos = 0;
    bool ended = false;
    // Every second call has room for a byte at least, so the stream ends
    // within twice its length in calls.
    size_t limit = 2 * s.bytes.size() + 4;
    for (size_t call = 0; !ended && call < limit; call++) checkCall(fd, s.bytes, pos, s.maxlen[call % 2], ended);
    if (!ended) fuzzFailure(kTarget, "the end of the stream was never reported");
    if (pos != s.bytes.size()) fuzzFailure(kTarget, "bytes were lost");
    drain(fd);
    close(fd);
    return 0;
}
