/* keyreg/table.h: reading the key table of keyreg-server from any process on
 * the host, in C or C++ (link with -lkeyreg, or pkg-config keyreg).
 *
 * The table is System V shared memory (IPC key 291) that the server writes
 * and every user whom the segment's mode lets read may read: every local
 * user (mode 0755), or only the server's own user and the members of one
 * group when the server runs with --readers GROUP (mode 0750); others get
 * EACCES. It is attached read-only here, so nothing a reader does can change
 * it or hold up the server. Every record comes out whole: never mixed from
 * two registrations, and a record that exists is found even while the
 * server replaces it.
 *
 * A handle follows a table made anew (ipcrm -M 291 and a server that made
 * another one): a look-up asks which segment holds the key when 100 ms or
 * more have passed since the handle last asked, and reads the new one from
 * then on. So any look-up made 100 ms after the new table appeared reads it,
 * and a look-up pays that system call at most once in 100 ms. While no table
 * can be attached in its place, look-ups fail as keyreg_table_open would
 * (ENOENT, or EACCES when the new one is not readable for this user).
 *
 * A segment made by a server older than 1.2 lacks what tells a whole record
 * from a half-written one; there a record counts as whole when two copies in
 * a row agree, which makes a torn record rare but not impossible. That server
 * says so on its standard error; made anew by a newer server, the segment
 * gives whole records again.
 *
 * Functions that fail return NULL or -1 and set errno; keyreg_strerror tells
 * what it means here. None of them exits, prints or throws. One table may be
 * used by several threads at once: they share a lock of the handle's own,
 * held for a look at the clock and, once in 100 ms, for the system call,
 * never while records are copied; the server never takes it. Close it once
 * no thread uses it any more.
 */
#ifndef KEYREG_TABLE_H
#define KEYREG_TABLE_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(__GNUC__)
#define KEYREG_API __attribute__((visibility("default")))
#else
#define KEYREG_API
#endif

/* The number of slots: a list never holds more records. */
#define KEYREG_TABLE_SLOTS 100

typedef struct keyreg_record { /* the 212-byte record, same layout as in the segment */
    int32_t id;                /* -1 in an empty slot; records of the server carry 0 */
    int32_t useridLen;
    char userid[100];          /* NUL-terminated, at most 99 bytes */
    int32_t keyLen;
    char key[100];             /* NUL-terminated, at most 99 bytes */
} keyreg_record;

typedef struct keyreg_table keyreg_table;

/* Attaches the table read-only. NULL with errno set: ENOENT no table yet (the
 * server makes it with its first registration), EACCES not readable for this
 * user (not in the server's --readers group), EINVAL a segment of the wrong
 * size. */
KEYREG_API keyreg_table *keyreg_table_open(void);

/* Copies the record of userid (the whole text, case-sensitive) into out.
 * 1 found, 0 none, -1 error: EAGAIN when a slot stayed half written for a
 * second (its writer died mid-write; restarting the server repairs it) and
 * no other slot holds userid; the errno of keyreg_table_open when the table
 * was removed and none that it could open took its place (see above). */
KEYREG_API int keyreg_table_get(keyreg_table *t, const char *userid, keyreg_record *out);

/* Copies every occupied record, each whole, in slot order into out, at most
 * capacity of them (KEYREG_TABLE_SLOTS always suffices); slots, unless NULL,
 * gets each record's slot number. The number copied, or -1 with errno as
 * for keyreg_table_get. */
KEYREG_API int keyreg_table_list(keyreg_table *t, keyreg_record *out, int *slots, int capacity);

/* Decodes a message {"id": USERID, "mes": ...} as keyreg encode makes it,
 * with the key that the table holds for USERID, into text: the decoded
 * bytes up to their first NUL, NUL-terminated (size strlen(message) always
 * suffices). 1 decoded, 0 no key for USERID (text untouched), -1 error:
 * EBADMSG not such a message, ERANGE text too small, or as for
 * keyreg_table_get. */
KEYREG_API int keyreg_table_decode(keyreg_table *t, const char *message, char *text, size_t size);

/* What an errno value set by these functions means, in words. */
KEYREG_API const char *keyreg_strerror(int errnum);

/* Detaches the table; NULL is ignored. */
KEYREG_API void keyreg_table_close(keyreg_table *t);

#ifdef __cplusplus
}
#endif

#endif
