// Timing probe for a padding oracle: over one connection it sends RSA blocks
// of three classes that the server must all refuse, times each round trip,
// and prints as a Markdown table how the bad-padding class and a control
// class differ from the valid-padding class (medians and 10th percentiles,
// each with a 95 % bootstrap interval).
// The rounds go in triples, one block of each class in random order. Other
// work on the machine shifts the whole distribution of round trips for
// seconds at a time; a quantile of a whole run then falls where the mixture
// of those states is thin, and wanders. So the classes are compared within
// strata of consecutive triples, where all three met the same state, and
// the median of those differences is reported; the bootstrap resamples
// triples within each stratum. A stratum as long as the run compares the
// quantiles of the whole run.
//   bad      padding wrong in one of four ways, a quarter each: type byte not
//            2, leading byte not 0, no zero separator, separator before the
//            eighth padding byte;
//   valid    good padding around 48 bytes that are no JSON;
//   control  the same kind as valid, other blocks: any difference it shows is
//            the measurement's own.
// The blocks are made here with OpenSSL and the public key; nothing of the
// server's code is used but the protocol's constants.
#include "protocol.h"

#include <CLI/CLI.hpp>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {

enum BlockClass { kBad, kValid, kControl, kClasses };
const char* const kClassNames[kClasses] = {"bad padding", "valid padding, no JSON", "control (valid, no JSON)"};
const size_t kMessageBytes = 48;
const size_t kPaddingMin = 8;
const int kBlocksPerClass = 64;
const int kResamples = 1000;
const double kLimitUs = 0.4;

struct Options {
    long rounds = 20000;
    long warmup = 1000;
    long stratum = 1000;  // triples
    int port = kServerPort;
    std::string pubkey = "public.pem";
    unsigned seed = 1;
    std::string samples;  // where to write every timed round, if anywhere
};

[[noreturn]] void dieWith(const char* what) {
    perror(what);
    exit(1);
}

unsigned char nonZero(std::mt19937& random) { return static_cast<unsigned char>(1 + random() % 255); }

// Padding for k bytes in PKCS #1 v1.5 form, then broken in the given way
// (0 to 3), with a random message.
std::vector<unsigned char> badBlock(int kind, size_t k, std::mt19937& random) {
    std::vector<unsigned char> em(k);
    for (unsigned char& b : em) b = nonZero(random);
    em[0] = 0;
    em[1] = 2;
    size_t separator = k - kMessageBytes - 1;
    if (kind == 0) em[1] = random() % 2 ? 1 : 3;
    if (kind == 1) em[0] = 1;
    if (kind == 3) separator = 2 + random() % kPaddingMin;
    if (kind != 2) em[separator] = 0;
    return em;
}

// 48 upper-case letters: no JSON value starts with one.
std::string noJson(std::mt19937& random) {
    std::string text(kMessageBytes, 'A');
    for (char& c : text) c = static_cast<char>('A' + random() % 26);
    return text;
}

std::vector<std::vector<unsigned char>> makeBlocks(RSA* key, std::mt19937& random) {
    size_t k = static_cast<size_t>(RSA_size(key));
    std::vector<std::vector<unsigned char>> blocks;
    for (int c = 0; c < kClasses; c++) {
        for (int i = 0; i < kBlocksPerClass; i++) {
            std::vector<unsigned char> block(k);
            int n;
            if (c == kBad) {
                std::vector<unsigned char> em = badBlock(i % 4, k, random);
                n = RSA_public_encrypt(static_cast<int>(k), em.data(), block.data(), key, RSA_NO_PADDING);
            } else {
                std::string text = noJson(random);
                const unsigned char* plain = reinterpret_cast<const unsigned char*>(text.data());
                n = RSA_public_encrypt(static_cast<int>(text.size()), plain, block.data(), key, RSA_PKCS1_PADDING);
            }
            if (n != static_cast<int>(k)) dieWith("RSA_public_encrypt");
            blocks.push_back(block);
        }
    }
    return blocks;
}

int connectOrDie(int port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int one = 1;
    if (fd < 0 || connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one) != 0)
        dieWith("connect");
    return fd;
}

double nowUs() {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<double>(t.tv_sec) * 1e6 + static_cast<double>(t.tv_nsec) / 1e3;
}

// One request and its whole reply; the round trip in µs. Every block here
// must be refused.
double roundTrip(int fd, const std::vector<unsigned char>& block) {
    char reply[kReplySize];
    double start = nowUs();
    if (send(fd, block.data(), block.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(block.size())) dieWith("send");
    for (size_t got = 0; got < sizeof reply;) {
        ssize_t n = recv(fd, reply + got, sizeof reply - got, 0);
        if (n <= 0) dieWith("recv");
        got += static_cast<size_t>(n);
    }
    double took = nowUs() - start;
    if (memcmp(reply, kReplyFailed, sizeof kReplyFailed) != 0) {
        fprintf(stderr, "a block was not refused\n");
        exit(1);
    }
    return took;
}

double quantile(std::vector<double>& values, double q) {
    auto at = values.begin() + static_cast<long>(q * static_cast<double>(values.size() - 1));
    std::nth_element(values.begin(), at, values.end());
    return *at;
}

struct Interval {
    double estimate, low, high;
};

// The difference of a quantile between classes a and b within each stratum
// of consecutive triples (a[t] and b[t] were timed in triple t), and the
// median of those differences over the strata: a stratum that a burst of
// other work took over moves it little. With the 2.5th and 97.5th
// percentiles of that median over bootstrap resamples of the triples, each
// stratum resampled on its own.
Interval quantileDifference(const std::vector<double>& a, const std::vector<double>& b, double q, long stratum,
                            std::mt19937& random) {
    size_t n = a.size(), width = static_cast<size_t>(stratum);
    size_t strata = std::max<size_t>(1, n / width);
    auto medianDifference = [&](bool resample) {
        std::vector<double> diffs, ra, rb;
        for (size_t s = 0; s < strata; s++) {
            size_t from = s * width, to = s + 1 == strata ? n : from + width;
            ra.assign(a.begin() + static_cast<long>(from), a.begin() + static_cast<long>(to));
            rb.assign(b.begin() + static_cast<long>(from), b.begin() + static_cast<long>(to));
            for (size_t i = 0; resample && i < ra.size(); i++) {
                size_t t = from + random() % (to - from);
                ra[i] = a[t];
                rb[i] = b[t];
            }
            diffs.push_back(quantile(ra, q) - quantile(rb, q));
        }
        return quantile(diffs, 0.5);
    };
    std::vector<double> resampled;
    for (int r = 0; r < kResamples; r++) resampled.push_back(medianDifference(true));
    Interval result = {medianDifference(false), quantile(resampled, 0.025), quantile(resampled, 0.975)};
    return result;
}

void printReport(std::vector<std::vector<double>>& times, long stratum, std::mt19937& random) {
    printf("| Class | Rounds | Median µs | 10th percentile µs |\n|---|---:|---:|---:|\n");
    for (int c = 0; c < kClasses; c++) {
        std::vector<double> copy = times[c];
        printf("| %s | %zu | %.2f | %.2f |\n", kClassNames[c], copy.size(), quantile(copy, 0.5), quantile(copy, 0.1));
    }
    printf("\nDifferences within strata of %ld triples, median over the strata:\n\n", stratum);
    printf("| Against valid padding | Statistic | Difference µs | 95 %% interval µs | Within ±%.1f µs |\n", kLimitUs);
    printf("|---|---|---:|---|---|\n");
    for (int c : {kBad, kControl}) {
        for (double q : {0.5, 0.1}) {
            Interval d = quantileDifference(times[c], times[kValid], q, stratum, random);
            bool within = d.low >= -kLimitUs && d.high <= kLimitUs;
            printf("| %s | %s | %+.2f | [%+.2f, %+.2f] | %s |\n", kClassNames[c], q == 0.5 ? "median" : "10th percentile",
                   d.estimate, d.low, d.high, within ? "yes" : "**no**");
        }
    }
}

void writeSamples(const std::string& path, const std::vector<std::vector<double>>& times) {
    FILE* out = fopen(path.c_str(), "w");
    if (out == nullptr) dieWith(path.c_str());
    for (int c = 0; c < kClasses; c++)
        for (size_t t = 0; t < times[c].size(); t++) fprintf(out, "%d %zu %.3f\n", c, t, times[c][t]);
    if (fclose(out) != 0) dieWith(path.c_str());
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    CLI::App app{"Times refused requests of three classes over one connection to the registration server."};
    app.add_option("--rounds", options.rounds, "timed requests, in triples of the three classes in random order")
        ->capture_default_str()
        ->check(CLI::Range(300L, 10000000L));
    app.add_option("--warmup", options.warmup, "untimed requests first")
        ->capture_default_str()
        ->check(CLI::NonNegativeNumber);
    app.add_option("--stratum", options.stratum, "triples in a stretch of time within which the classes are compared")
        ->capture_default_str()->check(CLI::PositiveNumber);
    app.add_option("--port", options.port, "the server's port on 127.0.0.1")->capture_default_str();
    app.add_option("--pubkey", options.pubkey, "the server's public key")->capture_default_str();
    app.add_option("--seed", options.seed, "seed of the blocks, the order and the resamples")->capture_default_str();
    app.add_option("--samples", options.samples, "also write every timed round to this file (class, triple, µs)");
    CLI11_PARSE(app, argc, argv);

    FILE* pem = fopen(options.pubkey.c_str(), "r");
    RSA* key = pem != nullptr ? PEM_read_RSA_PUBKEY(pem, nullptr, nullptr, nullptr) : nullptr;
    if (key == nullptr) dieWith(options.pubkey.c_str());
    fclose(pem);
    std::mt19937 random(options.seed);
    std::vector<std::vector<unsigned char>> blocks = makeBlocks(key, random);
    RSA_free(key);

    int fd = connectOrDie(options.port);
    std::vector<std::vector<double>> times(kClasses);
    int order[kClasses] = {kBad, kValid, kControl};
    for (long triple = -options.warmup / kClasses; triple < options.rounds / kClasses; triple++) {
        std::shuffle(order, order + kClasses, random);
        for (int c : order) {
            double took = roundTrip(fd, blocks[static_cast<size_t>(c * kBlocksPerClass) + random() % kBlocksPerClass]);
            if (triple >= 0) times[static_cast<size_t>(c)].push_back(took);
        }
    }
    close(fd);
    if (!options.samples.empty()) writeSamples(options.samples, times);
    printReport(times, options.stratum, random);
    return 0;
}
