// Per-thread gathering of standard output lines. Touches descriptor 1 only.
#include "log/log_lines.h"

#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace {

// Room for the lines of a request whose plaintext fills a whole request
// (three lines show it) with plenty to spare.
const size_t kLogBytes = 16384;

void writeAll(const char* bytes, size_t size) {
    while (size > 0) {
        ssize_t n = write(STDOUT_FILENO, bytes, size);
        if (n < 0 && errno == EINTR) continue;
        // A log that cannot be written is no reason to stop serving.
        if (n <= 0) return;
        bytes += n;
        size -= static_cast<size_t>(n);
    }
}

struct LogBuffer {
    char data[kLogBytes];
    size_t used = 0;

    // A thread that ends without flushing still loses nothing.
    ~LogBuffer() { flush(); }

    void flush() {
        writeAll(data, used);
        used = 0;
    }

    void append(const char* bytes, size_t size) {
        if (used + size > sizeof data) flush();
        if (size > sizeof data) return writeAll(bytes, size);
        memcpy(data + used, bytes, size);
        used += size;
    }
};

thread_local LogBuffer buffer;

}  // namespace

void logLine(const char* format, ...) {
    va_list args;
    va_start(args, format);
    size_t room = sizeof buffer.data - buffer.used;
    int n = vsnprintf(buffer.data + buffer.used, room, format, args);
    va_end(args);
    if (n < 0) return;
    if (static_cast<size_t>(n) < room) {
        buffer.used += static_cast<size_t>(n);
        return;
    }
    // Too long for what is left: formatted again, whole.
    std::string line(static_cast<size_t>(n) + 1, '\0');
    va_start(args, format);
    vsnprintf(&line[0], line.size(), format, args);
    va_end(args);
    buffer.append(line.data(), static_cast<size_t>(n));
}

void logText(const char* prefix, const std::string& text) {
    buffer.append(prefix, strlen(prefix));
    buffer.append(text.data(), text.size());
    buffer.append("\n", 1);
}

void flushLog() { buffer.flush(); }

bool logPending() { return buffer.used > 0; }
