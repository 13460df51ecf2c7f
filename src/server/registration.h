// The registration exchange: what a decrypted request means (a decision with
// no socket and no table), the allow list it is decided by, and the road of
// an allowed record into the table, at once or through the state file.
// Touches the allow list; the table, the state file and the reply only in
// registerRequest.
#ifndef KEYREG_REGISTRATION_H
#define KEYREG_REGISTRATION_H

#include "table/table_record.h"

#include <string>
#include <vector>

enum class RegistrationOutcome {
    Allowed,     // an allowed user id with a key that fits: store the record
    Refused,     // the user id is not on the allow list
    Unreadable,  // not a JSON object with string members "userid" and "key" without NULs
    TooLong,     // an allowed user id, but a key longer than its field holds
    NoRoom,      // allowed, but every slot of the table holds another user id
    NotStored,   // allowed, but the state file could not take it
};

struct RegistrationDecision {
    RegistrationOutcome outcome;
    shareMemoryItem record;  // what to store; meaningful only when Allowed
    // The first bytes of the request's "userid" when it has a string one,
    // whatever the outcome, for the audit line; useridLen is -1 when none.
    int useridLen;
    char userid[kMaxUseridBytes];
};

// Logs userid alone on its line and tells whether the allow list in use
// holds it.
bool isAllowed(const std::string& userid);

// Decides one request from its plaintext (len bytes; -1 when decryption
// failed). Writes the exchange's log lines; touches no socket and no table,
// so it never yields NoRoom: only storing the record can.
RegistrationDecision decideRegistration(const unsigned char* plain, int len);

// The reply text for an outcome: "ok" only for a stored record.
const char* replyText(RegistrationOutcome outcome);

// Decides one request read from the client on fd, stores an allowed record
// and answers: at once, or once the state file holds the record. Each
// outcome is counted, and told in an audit line once auditRequests ran.
void registerRequest(unsigned char* plain, int len, int fd);

// From now on one line per request on standard error (--audit), the
// request's whole road taken: peer, user id, outcome; never a key.
void auditRequests();

// Serves the counts of requests, connections, the table and the allow list
// on address (--metrics ADDRESS:PORT); false with the reason in error.
bool startRegistrationMetrics(const std::string& address, std::string& error);

// With a state file (--state FILE): the table brought in line with FILE,
// then every allowed record goes through it before its "ok". Ends the
// process, naming FILE, when it cannot be used.
void startDurableRegistrationsOrExit(const std::string& path);

// Answers what was handed to the state file, then stops using it. The
// caller makes sure that no request is served any more.
void stopDurableRegistrations();

#endif
