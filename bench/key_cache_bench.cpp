// keyreg-key-cache-bench: the server's rsaDecode with and without its key cache. Touches a fresh temporary folder.
// Three cases: "cached", the same private.pem on every call, so the thread's
// parsed key is reused while the file's metadata is unchanged; "uncached", the
// file's bytes changed (not the key) before every call, untimed, so that every
// call parses the PEM again; "bare", RSA_private_decrypt with a key parsed once.
#include "protocol.h"
#include "rsa_limit.h"
#include "secretkey_union.h"

#include <CLI/CLI.hpp>
#include <fcntl.h>
#include <openssl/bn.h>
#include <openssl/pem.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

namespace {

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
    if (fp == nullptr || fwrite(text.data(), 1, text.size(), fp) != text.size() || fclose(fp) != 0) fail(name);
}

// rsaDecode logs a line per call; the log would otherwise be timed too.
// Returns the descriptor that restores standard output.
int quietStdout() {
    fflush(stdout);
    int saved = dup(STDOUT_FILENO);
    int null = open("/dev/null", O_WRONLY);
    if (saved < 0 || null < 0 || dup2(null, STDOUT_FILENO) < 0) fail("redirecting stdout");
    close(null);
    return saved;
}

void restoreStdout(int saved) {
    fflush(stdout);
    if (dup2(saved, STDOUT_FILENO) < 0) fail("restoring stdout");
    close(saved);
}

void printTiming(const char* what, const Timing& t) {
    printf("%-42s %8.1f us wall %8.1f us CPU per call\n", what, t.wall(), t.cpu());
}

}  // namespace

int main(int argc, char** argv) {
    long iterations = 500;
    CLI::App app{"Times the server's decryption of one request with and without its parsed-key cache.",
                 "keyreg-key-cache-bench"};
    app.add_option("--iterations", iterations, "timed calls of each case")
        ->type_name("N")->capture_default_str()->check(CLI::Range(5L, 100000L));
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        return app.exit(e) == 0 ? 0 : 2;
    }
    const char* tmp = getenv("TMPDIR");
    std::string dir = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/keyreg-key-cache-XXXXXX";
    if (mkdtemp(&dir[0]) == nullptr || chdir(dir.c_str()) != 0) fail("temporary folder");

    RSA* key = makeKey();
    const std::string pem = privatePem(key);
    const std::string plaintext = "{\"userid\":\"dorvanek\",\"key\":\"cache-bench\"}";
    const int plainLen = static_cast<int>(plaintext.size());
    unsigned char block[kRequestBytes], plain[kRequestBytes];
    const int blockLen = RSA_public_encrypt(plainLen, reinterpret_cast<const unsigned char*>(plaintext.data()), block,
                                            key, RSA_PKCS1_PADDING);
    if (blockLen <= 0) fail("RSA_public_encrypt");

    int bad = 0;
    auto decode = [&] {
        int len = blockLen;
        bad += SecretKeyUnion::getSingleTon()->rsaDecode(block, plain, len) != plainLen;
    };
    auto bareDecrypt = [&] { bad += RSA_private_decrypt(blockLen, block, plain, key, RSA_PKCS1_PADDING) != plainLen; };
    // The three cases take turns, so that a burst of other work on the
    // machine does not land on one of them alone.
    const long kRounds = 5;
    Timing cached, uncached, bare;
    int saved = quietStdout();
    for (long round = 0; round < kRounds; round++) {
        long calls = iterations / kRounds + (round < iterations % kRounds ? 1 : 0);
        writeFile("private.pem", pem);
        decode();  // parses the key for this round, untimed
        for (long i = 0; i < calls; i++) timeCall(cached, decode);
        for (long i = 0; i < calls; i++) {
            writeFile("private.pem", i % 2 == 0 ? pem + "\n" : pem);
            timeCall(uncached, decode);
        }
        for (long i = 0; i < calls; i++) timeCall(bare, bareDecrypt);
    }
    restoreStdout(saved);
    RSA_free(key);
    if (unlink("private.pem") != 0 || chdir("/") != 0 || rmdir(dir.c_str()) != 0)
        perror("removing the temporary folder");

    printTiming("rsaDecode, same key file (cache hit):", cached);
    printTiming("rsaDecode, key file changed (cache miss):", uncached);
    printTiming("RSA_private_decrypt alone:", bare);
    printf("%-42s %8.1f us CPU\n", "rsaDecode beyond the operation, on a hit:", cached.cpu() - bare.cpu());
    printf("%-42s %8.1f us CPU\n", "PEM parse saved by the cache:", uncached.cpu() - cached.cpu());
    printf("cached_us=%.1f uncached_us=%.1f bare_us=%.1f cached_cpu_us=%.1f uncached_cpu_us=%.1f bare_cpu_us=%.1f "
           "iterations=%ld bad=%d\n",
           cached.wall(), uncached.wall(), bare.wall(), cached.cpu(), uncached.cpu(), bare.cpu(), iterations, bad);
    return bad == 0 ? 0 : 1;
}
