// Times one request's decryption as the server does it, SecretKeyUnion::rsaDecode,
// in three cases:
//   cached   - the same "private.pem" on every call, so the thread's parsed
//              key is reused after the file has been read and digested;
//   uncached - the file's bytes change before every call (a trailing newline
//              is added or taken away; the key stays the same), so every
//              call parses the PEM again, as it would without the cache;
//   bare     - RSA_private_decrypt alone with a key parsed once.
// Rewriting the file happens outside the timed calls. Both wall-clock and
// CPU time are shown. Everything runs in a fresh temporary folder with a
// fresh 2048-bit key pair.

#include "secretkey_union.h"

#include <openssl/bn.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

[[noreturn]] void fail(const char* what) {
    perror(what);
    exit(1);
}

RSA* makeKey() {
    RSA* key = RSA_new();
    BIGNUM* e = BN_new();
    if (key == nullptr || e == nullptr || !BN_set_word(e, RSA_F4) || !RSA_generate_key_ex(key, 2048, e, nullptr))
        fail("key generation");
    BN_free(e);
    return key;
}

std::string privatePem(RSA* key) {
    BIO* bio = BIO_new(BIO_s_mem());
    if (bio == nullptr || !PEM_write_bio_RSAPrivateKey(bio, key, nullptr, nullptr, 0, nullptr, nullptr)) fail("PEM");
    char* data = nullptr;
    long len = BIO_get_mem_data(bio, &data);
    std::string text(data, static_cast<size_t>(len));
    BIO_free(bio);
    return text;
}

void writeFile(const char* name, const std::string& text) {
    FILE* fp = fopen(name, "w");
    if (fp == nullptr) fail(name);
    if (fwrite(text.data(), 1, text.size(), fp) != text.size()) fail(name);
    if (fclose(fp) != 0) fail(name);
}

// rsaDecode logs a line per call; the log would otherwise be timed too.
class QuietStdout {
public:
    QuietStdout() {
        fflush(stdout);
        saved_ = dup(STDOUT_FILENO);
        int null = open("/dev/null", O_WRONLY);
        if (saved_ < 0 || null < 0 || dup2(null, STDOUT_FILENO) < 0) fail("redirecting stdout");
        close(null);
    }
    ~QuietStdout() {
        fflush(stdout);
        if (dup2(saved_, STDOUT_FILENO) < 0) fail("restoring stdout");
        close(saved_);
    }

private:
    int saved_ = -1;
};

struct Block {
    unsigned char bytes[1024];
    int len = 0;
};

// Wall-clock and CPU time of a series of calls. The CPU time of the calling
// thread stays put when other work on the machine takes the core away.
struct Timing {
    double wallUs = 0;
    double cpuUs = 0;
    int calls = 0;
    double wall() const { return wallUs / calls; }
    double cpu() const { return cpuUs / calls; }
};

double threadCpuMicros() {
    timespec ts;
    if (clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts) != 0) fail("clock_gettime");
    return static_cast<double>(ts.tv_sec) * 1e6 + static_cast<double>(ts.tv_nsec) / 1e3;
}

template <typename Call>
void timeCall(Timing& t, Call call) {
    Clock::time_point start = Clock::now();
    double cpuStart = threadCpuMicros();
    call();
    t.cpuUs += threadCpuMicros() - cpuStart;
    t.wallUs += std::chrono::duration<double, std::micro>(Clock::now() - start).count();
    t.calls++;
}

void printTiming(const char* what, const Timing& t) {
    printf("%-42s %8.1f us wall %8.1f us CPU per call\n", what, t.wall(), t.cpu());
}

}  // namespace

int main(int argc, char** argv) {
    int iterations = 500;
    if (argc == 3 && strcmp(argv[1], "--iterations") == 0) iterations = atoi(argv[2]);
    if (argc == 2 || argc > 3 || iterations < 5 || iterations > 100000) {
        fprintf(stderr, "usage: keyreg-key-cache-bench [--iterations N]   (default 500, from 5 to 100000)\n");
        return 2;
    }
    const char* tmp = getenv("TMPDIR");
    std::string dirName = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/keyreg-key-cache-XXXXXX";
    std::vector<char> dir(dirName.begin(), dirName.end());
    dir.push_back('\0');
    if (mkdtemp(dir.data()) == nullptr || chdir(dir.data()) != 0) fail("temporary folder");

    RSA* key = makeKey();
    const std::string pem = privatePem(key);
    const std::string plaintext = "{\"userid\":\"dorvanek\",\"key\":\"cache-bench\"}";
    Block block;
    block.len = RSA_public_encrypt(static_cast<int>(plaintext.size()), reinterpret_cast<const unsigned char*>(plaintext.data()),
                                   block.bytes, key, RSA_PKCS1_PADDING);
    if (block.len <= 0) fail("RSA_public_encrypt");
    const int plainLen = static_cast<int>(plaintext.size());

    // The three cases take turns, so that a burst of other work on the
    // machine does not land on one of them alone.
    const int kRounds = 5;
    int bad = 0;
    unsigned char plain[1024];
    auto decode = [&] {
        int len = block.len;
        if (SecretKeyUnion::getSingleTon()->rsaDecode(block.bytes, plain, len) != plainLen) bad++;
    };
    auto bareDecrypt = [&] {
        if (RSA_private_decrypt(block.len, block.bytes, plain, key, RSA_PKCS1_PADDING) != plainLen) bad++;
    };
    Timing cached, uncached, bare;
    {
        QuietStdout quiet;
        for (int round = 0; round < kRounds; round++) {
            int calls = iterations / kRounds + (round < iterations % kRounds ? 1 : 0);
            writeFile("private.pem", pem);
            decode();  // parses the key for this round, untimed
            for (int i = 0; i < calls; i++) timeCall(cached, decode);
            for (int i = 0; i < calls; i++) {
                writeFile("private.pem", i % 2 == 0 ? pem + "\n" : pem);
                timeCall(uncached, decode);
            }
            for (int i = 0; i < calls; i++) timeCall(bare, bareDecrypt);
        }
    }
    RSA_free(key);
    if (unlink("private.pem") != 0 || chdir("/") != 0 || rmdir(dir.data()) != 0) perror("removing the temporary folder");

    printTiming("rsaDecode, same key file (cache hit):", cached);
    printTiming("rsaDecode, key file changed (cache miss):", uncached);
    printTiming("RSA_private_decrypt alone:", bare);
    printf("%-42s %8.1f us CPU\n", "read + digest of the file on a hit:", cached.cpu() - bare.cpu());
    printf("%-42s %8.1f us CPU\n", "PEM parse saved by the cache:", uncached.cpu() - cached.cpu());
    printf("cached_us=%.1f uncached_us=%.1f bare_us=%.1f cached_cpu_us=%.1f uncached_cpu_us=%.1f bare_cpu_us=%.1f "
           "iterations=%d bad=%d\n",
           cached.wall(), uncached.wall(), bare.wall(), cached.cpu(), uncached.cpu(), bare.cpu(), iterations, bad);
    return bad == 0 ? 0 : 1;
}
