// The server's log lines: standard output for progress, standard error for
// failures. Touches only the two standard streams.
#ifndef KEYREG_SERVER_LOG_H
#define KEYREG_SERVER_LOG_H

// One line on standard output, flushed at once.
void flushLine(const char* line);

#endif
