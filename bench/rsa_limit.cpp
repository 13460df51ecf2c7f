// How fast this machine does the server's one expensive step. Each thread
// parses its own copy of the key, as every server worker keeps its own.
#include "rsa_limit.h"

#include "protocol.h"
#include "requests.h"

#include <openssl/bn.h>
#include <time.h>

#include <algorithm>
#include <cstdio>
#include <thread>

namespace {

const double kSingleCoreSeconds = 0.7;
const double kAllCoresSeconds = 2.0;
const size_t kBlocksUsed = 256;

// Private-key operations on blocks for about `seconds`; a block that does not
// decrypt is said once and the time still counted.
Timing decryptFor(const std::string& privPath, const std::vector<std::string>& blocks, double seconds) {
    Timing t;
    RSA* key = readPrivateKey(privPath);
    if (key == nullptr) return t;
    unsigned char out[kRequestBytes];
    bool invalidShown = false;
    while (t.wallUs < seconds * 1e6) {
        const std::string& b = blocks[static_cast<size_t>(t.calls) % blocks.size()];
        int n = 0;
        timeCall(t, [&] {
            n = RSA_private_decrypt(static_cast<int>(b.size()), reinterpret_cast<const unsigned char*>(b.data()), out,
                                    key, RSA_PKCS1_PADDING);
        });
        if (n < 0 && !invalidShown) fprintf(stderr, "keyreg-bench: a test block did not decrypt\n");
        invalidShown = invalidShown || n < 0;
    }
    RSA_free(key);
    return t;
}

}  // namespace

double threadCpuMicros() {
    timespec ts;
    if (clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts) < 0) return 0;
    return static_cast<double>(ts.tv_sec) * 1e6 + static_cast<double>(ts.tv_nsec) / 1e3;
}

RsaLimit measureRsaLimit(const std::string& privPath, RSA* pub, const std::vector<std::string>& pool) {
    RsaLimit limit;
    RSA* key = readPrivateKey(privPath);
    if (key == nullptr) {
        fprintf(stderr, "keyreg-bench: cannot read the private key %s: RSA limit not measured\n", privPath.c_str());
        return limit;
    }
    if (BN_cmp(RSA_get0_n(key), RSA_get0_n(pub)) != 0)
        fprintf(stderr, "keyreg-bench: %s does not belong to the public key: the RSA limit means little\n", privPath.c_str());
    RSA_free(key);
    std::vector<std::string> blocks(pool.begin(), pool.begin() + static_cast<long>(std::min(pool.size(), kBlocksUsed)));
    Timing one = decryptFor(privPath, blocks, kSingleCoreSeconds);
    limit.opMicros = one.wall();
    limit.opCpuMicros = one.cpu();

    limit.threads = std::max(1u, std::thread::hardware_concurrency());
    std::vector<Timing> each(limit.threads);
    std::vector<std::thread> workers;
    for (unsigned t = 0; t < limit.threads; t++)
        workers.emplace_back([&, t] { each[t] = decryptFor(privPath, blocks, kAllCoresSeconds); });
    for (std::thread& w : workers) w.join();
    for (const Timing& t : each)
        if (t.wallUs > 0) limit.opsPerSecond += 1e6 / t.wall();
    return limit;
}
