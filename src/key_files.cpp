// The key files and the parsed keys that each thread keeps of them.
#include "key_files.h"

#include <openssl/crypto.h>
#include <openssl/pem.h>
#include <openssl/sha.h>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

// The first read buffer; a larger file (text may stand before the key
// block) grows it.
const size_t kKeyFileChunk = 4096;

// An encrypted key file must never make a worker wait for a pass phrase on
// the terminal: supplying none makes such a file simply unreadable.
int noPassphrase(char*, int, int, void*) { return 0; }

// The bytes of a key file, on the heap whatever the file's size, and wiped
// before the memory is given back, also after a read that failed part-way
// and when the buffer grows.
struct KeyFileBytes {
    unsigned char* data = nullptr;
    size_t len = 0;
    size_t capacity = 0;

    ~KeyFileBytes() { wipe(); }

    void wipe() {
        OPENSSL_clear_free(data, capacity);
        data = nullptr;
        len = capacity = 0;
    }

    bool makeRoom() {
        if (len < capacity) return true;
        size_t grown = capacity == 0 ? kKeyFileChunk : 2 * capacity;
        void* moved = OPENSSL_clear_realloc(data, capacity, grown);
        if (moved == nullptr) return false;
        data = static_cast<unsigned char*>(moved);
        capacity = grown;
        return true;
    }
};

// Reads a whole key file; false when it cannot be opened. A file that cannot
// be read to its end reads as empty, which holds no key.
// Plain descriptor calls: a stdio stream would cost an allocation and two
// more system calls on every request.
bool readKeyFile(const char* name, KeyFileBytes& bytes) {
    int fd = open(name, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    for (;;) {
        if (!bytes.makeRoom()) {
            bytes.wipe();
            break;
        }
        ssize_t n = read(fd, bytes.data + bytes.len, bytes.capacity - bytes.len);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) bytes.wipe();
        if (n <= 0) break;
        bytes.len += static_cast<size_t>(n);
    }
    close(fd);
    return true;
}

typedef RSA* (*PemReader)(BIO*, RSA**, pem_password_cb*, void*);

RSA* parseKey(const unsigned char* bytes, size_t len, PemReader reader) {
    BIO* bio = BIO_new_mem_buf(bytes, static_cast<int>(len));
    if (bio == nullptr) return nullptr;
    RSA* key = reader(bio, nullptr, noPassphrase, nullptr);
    BIO_free(bio);
    return key;
}

// The one-shot digest call looks the algorithm up in the provider store on
// every call; the direct calls do not.
}  // namespace

void sha256Digest(const unsigned char* bytes, size_t len, unsigned char* digest) {
    SHA256_CTX ctx;
    SHA256_Init(&ctx);
    SHA256_Update(&ctx, bytes, len);
    SHA256_Final(digest, &ctx);
}

namespace {

// Parsing a PEM key costs more than the RSA operation itself, so each thread
// keeps the key it parsed last, together with a digest of the file's bytes:
// the file is still read on every call, and a changed file is parsed anew.
// Only the digest is kept, never a second copy of the key text.
struct ParsedKeyCache {
    unsigned char digest[SHA256_DIGEST_LENGTH];
    size_t fileLen = 0;
    RSA* key = nullptr;
    // Derived from a private key as it is parsed; a public key leaves it not ready.
    RejectionKey rejection;

    ~ParsedKeyCache() { forget(); }

    void forget() {
        RSA_free(key);
        key = nullptr;
        fileLen = 0;
        OPENSSL_cleanse(&rejection, sizeof rejection);
    }

    // The parsed key for these file bytes, or null when they hold none.
    RSA* keyFor(const unsigned char* bytes, size_t len, PemReader reader) {
        unsigned char newDigest[SHA256_DIGEST_LENGTH];
        sha256Digest(bytes, len, newDigest);
        if (key != nullptr && len == fileLen && memcmp(newDigest, digest, sizeof digest) == 0) return key;
        forget();
        key = parseKey(bytes, len, reader);
        if (key != nullptr) {
            memcpy(digest, newDigest, sizeof digest);
            fileLen = len;
            deriveRejectionKey(key, rejection);
        }
        return key;
    }
};

thread_local ParsedKeyCache publicKeyCache;
thread_local ParsedKeyCache privateKeyCache;

}  // namespace

bool currentKey(KeyFile which, RSA*& key) {
    bool isPrivate = which == KeyFile::Private;
    KeyFileBytes bytes;
    if (!readKeyFile(isPrivate ? "private.pem" : "public.pem", bytes)) return false;
    key = isPrivate ? privateKeyCache.keyFor(bytes.data, bytes.len, PEM_read_bio_RSAPrivateKey)
                    : publicKeyCache.keyFor(bytes.data, bytes.len, PEM_read_bio_RSA_PUBKEY);
    return true;
}

const RejectionKey& currentRejectionKey() { return privateKeyCache.rejection; }

void forgetThreadKeyFiles() {
    publicKeyCache.forget();
    privateKeyCache.forget();
}
