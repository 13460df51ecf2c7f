// Lines for standard output and, for the audit, standard error, gathered per
// thread and destination and written with one system call each: the lines
// of one task cost one write per destination, and lines of two threads
// never mix. Touches descriptors 1 and 2 only, never stdio's buffers.
#ifndef KEYREG_LOG_LINES_H
#define KEYREG_LOG_LINES_H

#include <string>

// One line for standard output, the format's own newline included.
void logLine(const char* format, ...) __attribute__((format(printf, 1, 2)));

// The same for standard error: what the journal keeps, so never a key.
void logErrorLine(const char* format, ...) __attribute__((format(printf, 1, 2)));

// prefix, the bytes of text as they are (NULs too), and a newline, for
// standard output.
void logText(const char* prefix, const std::string& text);

// Writes what the calling thread has gathered, for both destinations.
void flushLog();

// True while the calling thread holds lines not yet written. A thread that
// waits for work waits at most kLogLagMillis then, and writes them if nothing
// came; one that keeps busy writes them once the oldest has waited that long
// (logOverdue). Under load lines go out in large writes, and none lags
// behind for long.
bool logPending();
bool logOverdue();
const int kLogLagMillis = 50;

#endif
