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

// The reading end of a socket that holds the input's chunks (at most 64, far
// below what the socket buffers hold) and then ends; all their bytes in order.
int feed(const uint8_t* data, size_t size, std::string& stream) {
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) != 0) fuzzFailure(kTarget, "socketpair failed");
    for (size_t pos = 2, chunks = 0; pos < size && chunks < 64; chunks++) {
        size_t take = std::min<size_t>(data[pos] % 100 + 1, size - pos - 1);
        pos++;
        if (take == 0) break;
        if (send(pair[1], data + pos, take, MSG_DONTWAIT | MSG_NOSIGNAL) != static_cast<ssize_t>(take))
            fuzzFailure(kTarget, "could not queue a chunk");
        stream.append(reinterpret_cast<const char*>(data + pos), take);
        pos += take;
    }
    close(pair[1]);
    return pair[0];
}

// One call with buffer size maxlen at position pos of the stream, checked
// against what it must do; true at the end of the stream.
bool checkCall(int fd, const std::string& stream, size_t& pos, size_t maxlen) {
    size_t stored = 0;
    bool newline = false;
    while (!newline && stored < maxlen - 1 && pos + stored < stream.size()) newline = stream[pos + stored++] == '\n';
    ssize_t want = static_cast<ssize_t>(!newline && stored == maxlen - 1 ? maxlen : stored);

    std::vector<char> buf(maxlen);  // exactly maxlen: a write past it is caught
    ssize_t got = Readline(fd, buf.data(), maxlen);
    if (got != want) {
        fprintf(stderr, "%s: maxlen %zu at byte %zu of %zu: returned %zd, expected %zd\n", kTarget, maxlen, pos,
                stream.size(), got, want);
        fuzzFailure(kTarget, "wrong result");
    }
    if (memcmp(buf.data(), stream.data() + pos, stored) != 0) fuzzFailure(kTarget, "wrong bytes stored");
    if (buf[stored] != '\0') fuzzFailure(kTarget, "the line is not NUL-terminated");
    pos += stored;
    return got == 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    size_t maxlen[2] = {size > 0 ? data[0] % 256u + 1 : 100, size > 1 ? data[1] % 255u + 2 : 100};
    std::string stream;
    int fd = feed(data, size, stream);
    size_t pos = 0;
    bool ended = false;
    // Every second call has room for a byte at least, so the stream ends
    // within twice its length in calls.
    for (size_t call = 0; !ended && call < 2 * stream.size() + 4; call++)
        ended = checkCall(fd, stream, pos, maxlen[call % 2]);
    if (!ended) fuzzFailure(kTarget, "the end of the stream was never reported");
    if (pos != stream.size()) fuzzFailure(kTarget, "bytes were lost");
    // The read-ahead buffer belongs to the whole process: leave nothing in it.
    char buf[256];
    for (int i = 0; i < 1000 && Readline(fd, buf, sizeof buf) > 0; i++) {
    }
    close(fd);
    return 0;
}
