// Readline over a stream in arbitrary chunks, against what it promises: per
// call a line with its newline, or maxlen when the buffer fills first
// (maxlen - 1 bytes stored), or what is left (0 at the end); always
// NUL-terminated; nothing lost between calls. Input: the buffer sizes of
// alternate calls (1..256, 2..256), then chunks, each a length byte (1..100)
// and its bytes, each one record of a sequenced-packet socket, so that each
// refill of Readline's read-ahead buffer gets exactly one chunk.
#include "fuzz_support.h"
#include "wrap.h"

#include <sys/socket.h>

#include <algorithm>
#include <cstring>
#include <vector>

namespace {

const char kTarget[] = "fuzz_readline";

// The reading end of a socket holding the chunks (at most 64, well within its
// buffers), then ending; stream gets their bytes in order.
int feed(const uint8_t* data, size_t size, std::string& stream) {
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) != 0) fuzzFailure(kTarget, "socketpair failed");
    for (size_t pos = 2, chunks = 0; pos + 1 < size && chunks < 64; chunks++) {
        size_t take = std::min<size_t>(data[pos] % 100 + 1, size - pos - 1);
        if (send(pair[1], data + pos + 1, take, MSG_DONTWAIT) != static_cast<ssize_t>(take))
            fuzzFailure(kTarget, "could not queue a chunk");
        stream.append(reinterpret_cast<const char*>(data + pos + 1), take);
        pos += take + 1;
    }
    close(pair[1]);
    return pair[0];
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
    for (size_t call = 0; call < 2 * stream.size() + 4; call++) {
        size_t room = maxlen[call % 2], stored = 0;
        bool newline = false;
        while (!newline && stored < room - 1 && pos + stored < stream.size()) newline = stream[pos + stored++] == '\n';
        ssize_t want = static_cast<ssize_t>(!newline && stored == room - 1 ? room : stored);
        std::vector<char> buf(room);  // exactly maxlen: a write past it is caught
        if (Readline(fd, buf.data(), room) != want) fuzzFailure(kTarget, "wrong result");
        if (memcmp(buf.data(), stream.data() + pos, stored) != 0 || buf[stored] != '\0')
            fuzzFailure(kTarget, "wrong bytes stored, or no NUL after them");
        pos += stored;
        if ((ended = want == 0)) break;
    }
    if (!ended || pos != stream.size()) fuzzFailure(kTarget, "bytes were lost, or the end never reported");
    close(fd);
    return 0;
}
