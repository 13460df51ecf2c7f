// The facts that every side of keyreg agrees on: the server, the tools, the
// readers of the table, the benchmark and the tests. Plain constants only;
// this header includes nothing of the project.
#ifndef KEYREG_PROTOCOL_H
#define KEYREG_PROTOCOL_H

#include <cstddef>

// The registration exchange on TCP.
const int kServerPort = 8800;
// One read takes one request: an RSA block, at most 1024 bytes (8192 bits).
const int kRequestBytes = 1024;
// Every request gets one reply of exactly this size, the text padded with NULs.
const int kReplySize = 100;
const char kReplyOk[] = "ok";
const char kReplyFailed[] = "communicate failed";

// The shared key table: records of 212 bytes, back to back from the start of
// the System V segment with this IPC key. A user id and a key each keep a
// terminating NUL in their 100-byte fields.
const int kTableIpcKey = 291;
const int kTableSlots = 100;
const size_t kRecordBytes = 212;
const int kMaxUseridBytes = 99;
const int kMaxKeyBytes = 99;
const size_t kTableRecordsBytes = kTableSlots * kRecordBytes;
// After the records, a segment made by this version holds one 64-bit
// sequence number per slot, odd while the server writes that slot's record
// (a seqlock), so that readers can tell a whole record from a half-written
// one. Segments of older servers end with the records.
const size_t kSequenceBytes = 8;
const size_t kTableBytes = kTableRecordsBytes + kTableSlots * kSequenceBytes;
// Owner read-write, everybody else read-only.
const int kTableMode = 0755;

#endif
