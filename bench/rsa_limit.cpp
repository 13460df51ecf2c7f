// How fast this machine does the server's one expensive step, read from the private key file.
#include "rsa_limit.h"

#include "protocol.h"

#include <openssl/err.h>
#include <openssl/pem.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <thread>

namespace {

const double kSingleCoreSeconds = 0.7;
const double kAllCoresSeconds = 2.0;
const size_t kBlocksUsed = 256;
// A sample of a few operations every 100 ms costs the server about 2 % of one
// core. Its first operation warms the caches and is not counted, so that a
// sample times what back-to-back operations cost, as the server's do.
const auto kSampleInterval = std::chrono::milliseconds(100);
const int kOpsPerSample = 3;

int noPassphrase(char*, int, int, void*) { return 0; }

RSA* readPrivateKey(const std::string& path) {
    FILE* fp = fopen(path.c_str(), "r");
    if (fp == nullptr) return nullptr;
    RSA* key = PEM_read_RSAPrivateKey(fp, nullptr, noPassphrase, nullptr);
    fclose(fp);
    ERR_clear_error();
    return key;
}

double threadCpuMicros() {
    timespec ts;
    if (clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts) < 0) return 0;
    return static_cast<double>(ts.tv_sec) * 1e6 + static_cast<double>(ts.tv_nsec) / 1e3;
}

// Private-key operations on blocks for about `seconds`. Each thread parses its
// own copy of the key, as every server worker keeps its own.
Timing decryptFor(const std::string& privPath, const std::vector<std::string>& blocks, double seconds) {
    Timing t;
    RSA* key = readPrivateKey(privPath);
    unsigned char out[kRequestBytes];
    int invalid = 0;
    while (key != nullptr && t.wallUs < seconds * 1e6) {
        const std::string& b = blocks[static_cast<size_t>(t.calls) % blocks.size()];
        timeCall(t, [&] {
            invalid += RSA_private_decrypt(static_cast<int>(b.size()), reinterpret_cast<const unsigned char*>(b.data()),
                                           out, key, RSA_PKCS1_PADDING) < 0;
        });
    }
    if (invalid > 0) fprintf(stderr, "keyreg-bench: %d test blocks did not decrypt: is %s the server's key?\n", invalid,
                             privPath.c_str());
    RSA_free(key);
    return t;
}

}  // namespace

void timeCall(Timing& t, const std::function<void()>& call) {
    std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();
    double cpuStart = threadCpuMicros();
    call();
    t.cpuUs += threadCpuMicros() - cpuStart;
    t.wallUs += std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count();
    t.calls++;
}

OpSampler::OpSampler(const std::string& privPath, const std::vector<std::string>& requests) {
    std::vector<std::string> blocks(requests.begin(), requests.begin() + std::min(requests.size(), kBlocksUsed));
    thread_ = std::thread([this, privPath, blocks] {
        RSA* key = readPrivateKey(privPath);
        unsigned char out[kRequestBytes];
        for (size_t i = 0; key != nullptr && !stopping_; std::this_thread::sleep_for(kSampleInterval)) {
            Timing warmUp;
            for (int op = 0; op < kOpsPerSample; op++, i++) {
                const std::string& b = blocks[i % blocks.size()];
                timeCall(op == 0 ? warmUp : timing_, [&] {
                    RSA_private_decrypt(static_cast<int>(b.size()), reinterpret_cast<const unsigned char*>(b.data()),
                                        out, key, RSA_PKCS1_PADDING);
                });
            }
        }
        RSA_free(key);
    });
}

OpSampler::~OpSampler() { stop(); }

Timing OpSampler::stop() {
    stopping_ = true;
    if (thread_.joinable()) thread_.join();
    return timing_;
}

RsaLimit measureRsaLimit(const std::string& privPath, const std::vector<std::string>& requests) {
    RsaLimit limit;
    std::vector<std::string> blocks(requests.begin(), requests.begin() + std::min(requests.size(), kBlocksUsed));
    Timing one = decryptFor(privPath, blocks, kSingleCoreSeconds);
    if (one.calls == 0) {
        fprintf(stderr, "keyreg-bench: cannot read the private key %s: RSA limit not measured\n", privPath.c_str());
        return limit;
    }
    limit.opMicros = one.wall();
    limit.opCpuMicros = one.cpu();

    limit.threads = std::max(1u, std::thread::hardware_concurrency());
    std::vector<Timing> each(limit.threads);
    std::vector<std::thread> workers;
    for (unsigned t = 0; t < limit.threads; t++)
        workers.emplace_back([&, t] { each[t] = decryptFor(privPath, blocks, kAllCoresSeconds); });
    for (std::thread& w : workers) w.join();
    for (const Timing& t : each)
        if (t.calls > 0) limit.opsPerSecond += 1e6 / t.wall();
    return limit;
}
