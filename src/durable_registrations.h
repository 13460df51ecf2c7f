// Registrations that are durable before they are answered (--state FILE):
// the table rebuilt from the state file at start-up, then group commits on a
// thread of their own, which apply each batch to the table and answer it.
// Touches the state file, the table and the held replies of connections.
#ifndef KEYREG_DURABLE_REGISTRATIONS_H
#define KEYREG_DURABLE_REGISTRATIONS_H

#include "Util.h"
#include "connections.h"

#include <string>

// Exit statuses of a server that cannot start on its state file: the file's
// content cannot be trusted (systemd does not restart it for that), or the
// file cannot be read or written.
const int kExitStateUntrusted = 65;
const int kExitStateUnusable = 74;

// Loads path (or makes it), brings the table and the file in line, and starts
// committing. Ends the process, with a message naming the file on standard
// error, when the file cannot be used.
void startDurableRegistrationsOrExit(const std::string& path);

// True once started: allowed registrations then go through submitRegistration.
bool durableRegistrations();

// Queues an allowed registration; its reply goes out once it is in the file
// and flushed, or once that failed.
void submitRegistration(const shareMemoryItem& record, const ReplyTicket& ticket);

// Commits and answers what is queued, then stops. The caller makes sure that
// nothing is submitted any more.
void stopDurableRegistrations();

#endif
