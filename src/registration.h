// The registration exchange: what a decrypted request means (a decision with
// no socket and no table), and the reply that tells the client. Touches the
// allow list; the table and the socket only in processMes.
#ifndef KEYREG_REGISTRATION_H
#define KEYREG_REGISTRATION_H

#include "Util.h"
#include "connections.h"

enum class RegistrationOutcome {
    Allowed,     // an allowed user id with a key that fits: store the record
    Refused,     // the user id is not on the allow list
    Unreadable,  // not a JSON object with string members "userid" and "key"
    TooLong,     // an allowed user id, but a key longer than its field holds
    NoRoom,      // allowed, but every slot of the table holds another user id
};

struct RegistrationDecision {
    RegistrationOutcome outcome;
    shareMemoryItem record;  // what to store; meaningful only when Allowed
};

// Decides one request from its plaintext (len bytes; -1 when decryption
// failed). Writes the exchange's log lines; touches no socket and no table,
// so it never yields NoRoom: only storing the record can.
RegistrationDecision decideRegistration(const unsigned char* plain, int len);

// The reply text for an outcome: "ok" only for a stored record.
const char* replyText(RegistrationOutcome outcome);

// Writes the 100-byte reply; a reply that does not go out whole ends the
// connection (the task serving it closes it afterwards).
void sendReply(int fd, const char* text);

// Writes the reply for outcome to a connection whose reply was held, and
// releases the connection.
void answerHeldReply(const ReplyTicket& ticket, RegistrationOutcome outcome);

#endif
