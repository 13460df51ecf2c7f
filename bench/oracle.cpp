// A padding oracle in the server's timing would tell a block of wrong padding
// from one of right padding. Over one connection this sends blocks of three
// classes that the server must all refuse, in triples of one each in random
// order, and times every round trip: bad padding (type byte not 2, leading
// byte not 0, no zero separator, or one before the eighth padding byte, a
// quarter each); valid padding around 48 bytes that are no JSON; and a
// control of the same kind as valid, whose difference is the measurement's
// own. Other work on the machine shifts all round trips for seconds at a time,
// so the classes are compared within strata of consecutive triples, which met
// the same state of the host, and the median over the strata is reported.
#include "bench.h"

#include "protocol.h"

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <random>

namespace {

using Clock = std::chrono::steady_clock;
using Block = std::vector<unsigned char>;

enum BlockClass { kBad, kValid, kControl, kClasses };
const size_t kMessageBytes = 48;
const size_t kPaddingMin = 8;
const int kBlocksPerClass = 64;
const long kWarmUpTriples = 300;
const size_t kStratumTriples = 1000;
const timeval kReplyTimeout = {10, 0};

// Block i of class c, encrypted to the key; empty when it cannot be.
Block makeBlock(RSA* key, int c, int i, std::mt19937& random) {
    size_t k = static_cast<size_t>(RSA_size(key));
    Block block(k), em(k);
    std::string text(kMessageBytes, 'A');
    for (char& letter : text) letter = static_cast<char>('A' + random() % 26);  // no JSON starts so
    for (unsigned char& b : em) b = static_cast<unsigned char>(1 + random() % 255);
    int broken = i % 4, n;
    em[0] = broken == 1 ? 1 : 0;
    em[1] = broken == 0 ? 3 : 2;
    if (broken != 2) em[broken == 3 ? 2 + random() % kPaddingMin : k - kMessageBytes - 1] = 0;
    if (c == kBad) n = RSA_public_encrypt(static_cast<int>(k), em.data(), block.data(), key, RSA_NO_PADDING);
    else n = RSA_public_encrypt(static_cast<int>(text.size()), reinterpret_cast<const unsigned char*>(text.data()),
                                block.data(), key, RSA_PKCS1_PADDING);
    if (n != static_cast<int>(k)) block.clear();
    return block;
}

// One request and its whole reply: the round trip in µs, or -1 when the
// exchange failed or the block was not refused.
double roundTrip(int fd, const Block& block) {
    char reply[kReplySize];
    Clock::time_point start = Clock::now();
    if (send(fd, block.data(), block.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(block.size())) return -1;
    for (size_t got = 0; got < sizeof reply;) {
        ssize_t n = recv(fd, reply + got, sizeof reply - got, 0);
        if (n <= 0) return -1;
        got += static_cast<size_t>(n);
    }
    double took = std::chrono::duration<double, std::micro>(Clock::now() - start).count();
    return memcmp(reply, kReplyFailed, sizeof kReplyFailed) == 0 ? took : -1;
}

// Triples in random order until the time is up, after some untimed ones;
// false when a round trip failed.
bool timeRounds(int fd, double seconds, std::vector<Block> (&blocks)[kClasses], std::vector<double> (&times)[kClasses],
                std::mt19937& random) {
    int order[kClasses] = {kBad, kValid, kControl};
    Clock::time_point end = Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    for (long triple = -kWarmUpTriples; triple < 0 || Clock::now() < end; triple++) {
        std::shuffle(order, order + kClasses, random);
        for (int c : order) {
            double took = roundTrip(fd, blocks[c][random() % kBlocksPerClass]);
            if (took < 0) return false;
            if (triple >= 0) times[c].push_back(took);
        }
    }
    return true;
}

// The difference of the medians of classes a and b within each stratum of
// consecutive triples, and the median of those differences over the strata.
double stratifiedDifference(const std::vector<double>& a, const std::vector<double>& b) {
    std::vector<double> differences;
    size_t strata = std::max<size_t>(1, a.size() / kStratumTriples);
    for (size_t s = 0; s < strata; s++) {
        long from = static_cast<long>(s * kStratumTriples);
        long to = s + 1 == strata ? static_cast<long>(a.size()) : from + static_cast<long>(kStratumTriples);
        differences.push_back(median({a.begin() + from, a.begin() + to}) - median({b.begin() + from, b.begin() + to}));
    }
    return median(differences);
}

}  // namespace

void printOracleHeader() {
    printf("| Run | Triples | Bad padding µs | Valid padding µs | Control µs | Bad − valid µs | Control − valid µs |\n"
           "|---|---:|---:|---:|---:|---:|---:|\n");
}

int runOracle(const Options& o) {
    std::mt19937 random(1);
    std::vector<Block> blocks[kClasses];
    RSA* key = readKey(o.pubkey, false);
    for (int c = 0; key != nullptr && c < kClasses; c++)
        for (int i = 0; i < kBlocksPerClass; i++) blocks[c].push_back(makeBlock(key, c, i, random));
    RSA_free(key);
    if (key == nullptr || blocks[kBad].back().empty() || blocks[kValid].back().empty()) {
        fprintf(stderr, "keyreg-bench: cannot make blocks with the RSA public key %s\n", o.pubkey.c_str());
        return kExitUsage;
    }
    int fd = serverListens() ? connectToServer() : -1;
    std::vector<double> times[kClasses];
    bool timed = fd >= 0 && setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &kReplyTimeout, sizeof kReplyTimeout) == 0 &&
                 timeRounds(fd, o.seconds, blocks, times, random);
    if (fd >= 0) close(fd);
    if (!timed) {
        fprintf(stderr, "keyreg-bench: a round trip failed, or a block was not refused\n");
        return kExitErrors;
    }
    printf("| %s | %zu | %.2f | %.2f | %.2f | %+.2f | %+.2f |\n", o.label.c_str(), times[kBad].size(),
           median(times[kBad]), median(times[kValid]), median(times[kControl]),
           stratifiedDifference(times[kBad], times[kValid]), stratifiedDifference(times[kControl], times[kValid]));
    return kExitClean;
}
