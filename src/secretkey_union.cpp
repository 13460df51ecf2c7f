#include "secretkey_union.h"

#include <openssl/crypto.h>
#include <openssl/des.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <openssl/sha.h>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace {

const char kSecretKeyText[] = "kR7#vq2Lm";
static_assert(sizeof(kSecretKeyText) == 10, "the key text is 9 characters and a NUL");

// Callers hand rsaDecode buffers of 1024 bytes; a larger modulus would
// decrypt past them.
const int kMaxModulusBytes = 1024;

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
void digestOf(const unsigned char* bytes, size_t len, unsigned char* digest) {
    SHA256_CTX ctx;
    SHA256_Init(&ctx);
    SHA256_Update(&ctx, bytes, len);
    SHA256_Final(digest, &ctx);
}

// Parsing a PEM key costs more than the RSA operation itself, so each thread
// keeps the key it parsed last, together with a digest of the file's bytes:
// the file is still read on every call, and a changed file is parsed anew.
// Only the digest is kept, never a second copy of the key text.
struct ParsedKeyCache {
    unsigned char digest[SHA256_DIGEST_LENGTH];
    size_t fileLen = 0;
    RSA* key = nullptr;

    ~ParsedKeyCache() { forget(); }

    void forget() {
        RSA_free(key);
        key = nullptr;
        fileLen = 0;
    }

    // The parsed key for these file bytes, or null when they hold none.
    RSA* keyFor(const unsigned char* bytes, size_t len, PemReader reader) {
        unsigned char newDigest[SHA256_DIGEST_LENGTH];
        digestOf(bytes, len, newDigest);
        if (key != nullptr && len == fileLen && memcmp(newDigest, digest, sizeof digest) == 0) return key;
        forget();
        key = parseKey(bytes, len, reader);
        if (key != nullptr) {
            memcpy(digest, newDigest, sizeof digest);
            fileLen = len;
        }
        return key;
    }
};

thread_local ParsedKeyCache publicKeyCache;
thread_local ParsedKeyCache privateKeyCache;

// The key of a file as the cache holds it. False when the file cannot be
// opened.
bool loadKey(const char* name, ParsedKeyCache& cache, PemReader reader, RSA*& key) {
    KeyFileBytes bytes;
    if (!readKeyFile(name, bytes)) return false;
    key = cache.keyFor(bytes.data, bytes.len, reader);
    return true;
}

void desKeySchedule(const char* keyText, DES_key_schedule& schedule) {
    DES_cblock key;
    DES_string_to_key(keyText, &key);
    DES_set_key_unchecked(&key, &schedule);
    OPENSSL_cleanse(&key, sizeof key);
}

void desBlock(const unsigned char* in, unsigned char* out, DES_key_schedule& schedule, int direction) {
    DES_cblock input;
    DES_cblock output;
    memcpy(input, in, 8);
    DES_ecb_encrypt(&input, &output, &schedule, direction);
    memcpy(out, output, 8);
}

}  // namespace

SecretKeyUnion::SecretKeyUnion() { memcpy(secretKey, kSecretKeyText, sizeof secretKey); }

SecretKeyUnion* SecretKeyUnion::getSingleTon() {
    static SecretKeyUnion secretkeyunion;
    return &secretkeyunion;
}

char* SecretKeyUnion::getSecretKey() { return secretKey; }

void SecretKeyUnion::forgetThreadKeys() {
    publicKeyCache.forget();
    privateKeyCache.forget();
}

int SecretKeyUnion::rsaEncode(const unsigned char* in, unsigned char* out, int& len) {
    RSA* key = nullptr;
    if (!loadKey("public.pem", publicKeyCache, PEM_read_bio_RSA_PUBKEY, key)) {
        perror("no public.pem\n");
        return -1;
    }
    if (key == nullptr) {
        perror("read public.pem failed\n");
        return -1;
    }
    len = RSA_public_encrypt(len, in, out, key, RSA_PKCS1_PADDING);
    return len;
}

int SecretKeyUnion::rsaDecode(const unsigned char* in, unsigned char* out, int& len) {
    RSA* key = nullptr;
    if (!loadKey("private.pem", privateKeyCache, PEM_read_bio_RSAPrivateKey, key)) {
        int err = errno;
        perror("no private.pem\n");
        // Running out of descriptors is no missing key: this request fails,
        // and the server serves again once descriptors are free.
        if (err == EMFILE || err == ENFILE || err == ENOMEM) return -1;
        exit(-1);
    }
    if (key == nullptr) {
        perror("read private.pem failed\n");
        exit(-1);
    }
    printf("len:%d\n", len);
    if (RSA_size(key) > kMaxModulusBytes) {
        fprintf(stderr, "private.pem: a modulus of %d bytes is larger than the %d bytes a request may hold\n",
                RSA_size(key), kMaxModulusBytes);
        return -1;
    }
    return RSA_private_decrypt(len, in, out, key, RSA_PKCS1_PADDING);
}

// The final block is filled up with zero bytes, so a decoder that decodes
// whole blocks finds the text ended by a NUL.
void SecretKeyUnion::desEncode(unsigned char* in, unsigned char* out, const char* keyText, int len) {
    DES_key_schedule schedule;
    desKeySchedule(keyText, schedule);
    int whole = len / 8 * 8;
    for (int off = 0; off < whole; off += 8) desBlock(in + off, out + off, schedule, DES_ENCRYPT);
    unsigned char last[8] = {0};
    // An empty plaintext may come without a buffer at all.
    if (len > whole) memcpy(last, in + whole, static_cast<size_t>(len - whole));
    desBlock(last, out + whole, schedule, DES_ENCRYPT);
    OPENSSL_cleanse(&schedule, sizeof schedule);
}

void SecretKeyUnion::desDecode(unsigned char* in, unsigned char* out, const char* keyText, int len) {
    DES_key_schedule schedule;
    desKeySchedule(keyText, schedule);
    int whole = len / 8 * 8;
    for (int off = 0; off < whole; off += 8) desBlock(in + off, out + off, schedule, DES_DECRYPT);
    if (len > whole) {
        unsigned char last[8];
        desBlock(in + whole, last, schedule, DES_DECRYPT);
        memcpy(out + whole, last, static_cast<size_t>(len - whole));
    }
    OPENSSL_cleanse(&schedule, sizeof schedule);
}

std::string SecretKeyUnion::getShaValue(char* data, int len) {
    unsigned char digest[SHA256_DIGEST_LENGTH];
    digestOf(reinterpret_cast<const unsigned char*>(data), static_cast<size_t>(len), digest);
    char text[2 * SHA256_DIGEST_LENGTH + 1] = {0};
    for (int i = 0; i < SHA256_DIGEST_LENGTH; i++) snprintf(text + 2 * i, 3, "%02x", digest[i]);
    return std::string(text);
}

std::string SecretKeyUnion::getRandString(int n) {
    static const char punctuation[] = "~!@#$%^&*()-+{}[]";
    srand(static_cast<unsigned>(time(nullptr)));
    std::string result;
    for (int i = 1; i < n; i++) {
        int cls = rand() % 4;
        int draw = rand();
        switch (cls) {
            case 0: result += static_cast<char>('0' + draw % 10); break;
            case 1: result += static_cast<char>('A' + draw % 26); break;
            case 2: result += static_cast<char>('a' + draw % 26); break;
            default: result += punctuation[draw % 17]; break;
        }
    }
    return result;
}
