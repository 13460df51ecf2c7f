// The epoll load client: requests, connections, replies and their tally. Touches the public key and its sockets.
#ifndef KEYREG_BENCH_LOAD_CLIENT_H
#define KEYREG_BENCH_LOAD_CLIENT_H

#include "bench_options.h"

#include <string>
#include <vector>

struct Tally {
    long ok = 0;
    long wrong = 0;   // a full reply that is not "ok"
    long failed = 0;  // no full reply: closed, reset, short write or time-out
    long connectErrors = 0;
    std::vector<double> latencyUs;
    double elapsed = 0;  // clock start to the last reply
    long errors() const { return wrong + failed + connectErrors; }
};

// o.pool requests {"userid":..,"key":..}, each with a key of its own, encrypted
// to the public key o.pubkey; ends the process when they cannot be made.
std::vector<std::string> encryptRequests(const Options& o);

// Whether something listens at the target within o.wait seconds; says so when not.
bool serverListens(const Options& o);

// The load that o describes, cycling through the encrypted requests of pool.
Tally runLoad(const Options& o, const std::vector<std::string>& pool);

#endif
