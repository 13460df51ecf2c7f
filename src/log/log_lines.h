// Lines for standard output, gathered per thread and written with one system
// call: the lines of one task cost one write, and lines of two threads never
// mix. Touches standard output's descriptor only, never stdio's buffer.
#ifndef KEYREG_LOG_LINES_H
#define KEYREG_LOG_LINES_H

#include <string>

// One line, the format's own newline included.
void logLine(const char* format, ...) __attribute__((format(printf, 1, 2)));

// prefix, the bytes of text as they are (NULs too), and a newline.
void logText(const char* prefix, const std::string& text);

// Writes what the calling thread has gathered.
void flushLog();

// True while the calling thread holds lines not yet written. A thread that
// waits for work waits at most kLogLagMillis then, and writes them if nothing
// came: under a steady load lines go out in large writes, and none lags
// behind for long.
bool logPending();
const int kLogLagMillis = 50;

#endif
