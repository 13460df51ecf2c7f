// The key files and the parsed keys that each thread keeps of them. Touches
// "private.pem" and "public.pem" of the working directory, read only.
#include "crypto/key_files.h"

#include <openssl/crypto.h>
#include <openssl/pem.h>
#include <openssl/sha.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>

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

// File times tick coarsely (a clock tick, seconds on some file systems): a
// file read this soon after its last change may change again without
// showing it, so its bytes are compared until a read comes later than that.
const long long kTimeStampSlackNanos = 2000000000LL;

long long nanos(const struct timespec& t) { return t.tv_sec * 1000000000LL + t.tv_nsec; }

// What tells a file's version without reading it.
struct FileVersion {
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = -1;
    long long changed = 0;   // ctime
    long long modified = 0;  // mtime

    static FileVersion of(const struct stat& st) {
        return {st.st_dev, st.st_ino, st.st_size, nanos(st.st_ctim), nanos(st.st_mtim)};
    }
    bool operator==(const FileVersion& o) const {
        return device == o.device && inode == o.inode && size == o.size && changed == o.changed &&
               modified == o.modified;
    }
};

// Parsing a PEM key costs more than the RSA operation itself, so each thread
// keeps the key it parsed last. A call looks at the file's metadata only; it
// reads the file and compares a digest of its bytes only when the metadata
// changed or cannot tell yet, and parses it only when the bytes changed.
// Only the digest is kept, never a second copy of the key text.
struct ParsedKeyCache {
    unsigned char digest[SHA256_DIGEST_LENGTH];
    size_t fileLen = 0;
    RSA* key = nullptr;
    FileVersion version;
    bool bytesMustBeCompared = true;
    // Derived from a private key as it is parsed; a public key leaves it not ready.
    RejectionKey rejection;

    ~ParsedKeyCache() { forget(); }

    void forget() {
        RSA_free(key);
        key = nullptr;
        fileLen = 0;
        bytesMustBeCompared = true;
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

    // The key of the file name; false when it cannot be opened (errno set).
    bool keyOfFile(const char* name, PemReader reader, RSA*& out) {
        struct stat st;
        if (stat(name, &st) != 0) return false;
        FileVersion now = FileVersion::of(st);
        if (key != nullptr && now == version && !bytesMustBeCompared) {
            out = key;
            return true;
        }
        struct timespec readAt;
        clock_gettime(CLOCK_REALTIME, &readAt);
        KeyFileBytes bytes;
        if (!readKeyFile(name, bytes)) return false;
        out = keyFor(bytes.data, bytes.len, reader);
        version = now;
        bytesMustBeCompared = nanos(readAt) - now.changed <= kTimeStampSlackNanos;
        return true;
    }
};

thread_local ParsedKeyCache publicKeyCache;
thread_local ParsedKeyCache privateKeyCache;

}  // namespace

bool currentKey(KeyFile which, RSA*& key) {
    return which == KeyFile::Private ? privateKeyCache.keyOfFile("private.pem", PEM_read_bio_RSAPrivateKey, key)
                                     : publicKeyCache.keyOfFile("public.pem", PEM_read_bio_RSA_PUBKEY, key);
}

const RejectionKey& currentRejectionKey() { return privateKeyCache.rejection; }

namespace {

// The key a file holds as a new object of its own; null (errno set) when it
// cannot be opened, or holds none.
RSA* readKey(const char* name, PemReader reader, bool& opened) {
    KeyFileBytes bytes;
    opened = readKeyFile(name, bytes);
    return opened ? parseKey(bytes.data, bytes.len, reader) : nullptr;
}

bool samePublicKey(const RSA* a, const RSA* b) {
    return BN_cmp(RSA_get0_n(a), RSA_get0_n(b)) == 0 && BN_cmp(RSA_get0_e(a), RSA_get0_e(b)) == 0;
}

}  // namespace

std::string keyFilesProblem(int& bits, bool& publicFound, bool& privateUsable) {
    bool opened = false;
    RSA* key = readKey("private.pem", PEM_read_bio_RSAPrivateKey, opened);
    privateUsable = key != nullptr;
    std::string problem;
    if (!opened) problem = std::string("private.pem cannot be read: ") + strerror(errno);
    else if (key == nullptr) problem = "private.pem holds no RSA private key";
    RSA* pub = key ? readKey("public.pem", PEM_read_bio_RSA_PUBKEY, publicFound) : nullptr;
    if (key != nullptr && publicFound && (pub == nullptr || !samePublicKey(key, pub)))
        problem = "public.pem is not the public half of private.pem: clients would encrypt for another key";
    bits = key ? RSA_bits(key) : 0;
    RSA_free(key);
    RSA_free(pub);
    return problem;
}

void forgetThreadKeyFiles() {
    publicKeyCache.forget();
    privateKeyCache.forget();
}
