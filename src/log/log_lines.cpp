// Per-thread gathering of log lines, one buffer per destination. Touches
// descriptors 1 and 2 only.
#include "log/log_lines.h"

#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace {

// Room for the lines of a request whose plaintext fills a whole request
// (three lines show it) with plenty to spare.
const size_t kLogBytes = 16384;

void writeAll(int fd, const char* bytes, size_t size) {
    while (size > 0) {
        ssize_t n = write(fd, bytes, size);
        if (n < 0 && errno == EINTR) continue;
        // A log that cannot be written is no reason to stop serving.
        if (n <= 0) return;
        bytes += n;
        size -= static_cast<size_t>(n);
    }
}

// When the calling thread gathered its oldest line not yet written.
thread_local std::chrono::steady_clock::time_point oldestLine;

struct LogBuffer {
    explicit LogBuffer(int fd) : fd(fd) {}
    // A thread that ends without flushing still loses nothing.
    ~LogBuffer() { flush(); }

    const int fd;
    char data[kLogBytes];
    size_t used = 0;

    void flush() {
        writeAll(fd, data, used);
        used = 0;
    }

    void noteFirstLine();

    void append(const char* bytes, size_t size) {
        noteFirstLine();
        if (used + size > sizeof data) flush();
        if (size > sizeof data) return writeAll(fd, bytes, size);
        memcpy(data + used, bytes, size);
        used += size;
    }

    void appendFormatted(const char* format, va_list args) {
        noteFirstLine();
        va_list again;
        va_copy(again, args);
        size_t room = sizeof data - used;
        int n = vsnprintf(data + used, room, format, args);
        if (n >= 0 && static_cast<size_t>(n) < room) {
            used += static_cast<size_t>(n);
        } else if (n >= 0) {
            // Too long for what is left: formatted again, whole.
            std::string line(static_cast<size_t>(n) + 1, '\0');
            vsnprintf(&line[0], line.size(), format, again);
            append(line.data(), static_cast<size_t>(n));
        }
        va_end(again);
    }
};

thread_local LogBuffer output(STDOUT_FILENO);
thread_local LogBuffer errors(STDERR_FILENO);

void LogBuffer::noteFirstLine() {
    if (output.used == 0 && errors.used == 0) oldestLine = std::chrono::steady_clock::now();
}

}  // namespace

void logLine(const char* format, ...) {
    va_list args;
    va_start(args, format);
    output.appendFormatted(format, args);
    va_end(args);
}

void logErrorLine(const char* format, ...) {
    va_list args;
    va_start(args, format);
    errors.appendFormatted(format, args);
    va_end(args);
}

void logText(const char* prefix, const std::string& text) {
    output.append(prefix, strlen(prefix));
    output.append(text.data(), text.size());
    output.append("\n", 1);
}

void flushLog() {
    output.flush();
    errors.flush();
}

bool logPending() { return output.used > 0 || errors.used > 0; }

bool logOverdue() {
    return logPending() && std::chrono::steady_clock::now() - oldestLine >= std::chrono::milliseconds(kLogLagMillis);
}
