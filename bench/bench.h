// What the parts of keyreg-bench share: the options of a run, the load client
// (load.cpp) and the padding-oracle probe (oracle.cpp).
#ifndef KEYREG_BENCH_H
#define KEYREG_BENCH_H

#include <openssl/rsa.h>

#include <string>
#include <vector>

const int kExitClean = 0;
const int kExitErrors = 1;
const int kExitUsage = 2;

struct Options {
    long connections = 1;
    long requests = 0;  // per connection; 0 when the run is timed instead
    double seconds = 0;
    std::string pubkey = "public.pem";
    std::string userid = "dorvanek";
    long serverPid = 0;  // 0: no server process to watch
    std::string label;
    bool header = false;
    double idle = 0;                   // above 0: send nothing, watch the server
    std::vector<std::string> compare;  // two server commands, started here in turn
    int runs = 3;
    bool oracle = false;
};

struct Tally {
    long ok = 0;
    long errors = 0;  // wrong replies, lost requests and connection errors
    std::vector<double> latencyUs;
    double elapsed = 0;  // clock start to the last reply
};

RSA* readKey(const std::string& path, bool isPrivate);  // null when it cannot be read
// Requests {"userid":..,"key":..} of keys all different, encrypted to the
// public key with OpenSSL; false when they cannot be.
bool encryptRequests(const Options& o, long count, std::vector<std::string>& pool);
// Whether something listens on the server's port within half a minute.
bool serverListens();
int connectToServer();  // a connected socket without Nagle's delay, or -1
Tally runLoad(const Options& o, const std::vector<std::string>& pool);

void printOracleHeader();
int runOracle(const Options& o);

double median(std::vector<double> values);

#endif
