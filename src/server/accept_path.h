// Accepting clients: the whole backlog on every edge of the listening
// socket, shedding at the descriptor limit, and the retry timer for a
// connection that could be neither accepted nor shed. Touches the listening
// socket, the spare descriptor and the timer; hands each client to
// connections.
#ifndef KEYREG_ACCEPT_PATH_H
#define KEYREG_ACCEPT_PATH_H

// Makes the retry timer and watches it under the listening socket's own
// event word, so that its expiry starts an accept round. Without it (the
// failure is logged) a full backlog may wait for the next client's edge.
void watchAcceptRetryTimer(int epollFd, int listenFd);

// One accept round: every pending connection is accepted and watched, or
// shed when no descriptor is left.
void acceptClients(int listenFd, int epollFd);

#endif
