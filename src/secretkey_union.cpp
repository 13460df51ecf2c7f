// The crypto service: RSA with the key files (decryption with implicit
// rejection), DES under a text's key (the blocks in des_blocks), SHA-256 as
// hex text, random strings. Touches the key files through key_files.
#include "secretkey_union.h"

#include "crypto/des_blocks.h"
#include "crypto/key_files.h"
#include "crypto/rsa_implicit_rejection.h"
#include "log/log_lines.h"
#include "protocol.h"

#include <openssl/crypto.h>
#include <openssl/rsa.h>
#include <openssl/sha.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace {

const char kSecretKeyText[] = "kR7#vq2Lm";
static_assert(sizeof(kSecretKeyText) == 10, "the key text is 9 characters and a NUL");

// Callers hand rsaDecode buffers of the request's size; a larger modulus
// would decrypt past them.
const int kMaxModulusBytes = kRequestBytes;

// The calling thread's private key; null with errno set, said as rsaDecode
// says it, when there is none (ENOKEY for a file that holds no key).
RSA* privateKey() {
    RSA* key = nullptr;
    if (!currentKey(KeyFile::Private, key)) {
        int err = errno;
        perror("no private.pem\n");
        errno = err;
        return nullptr;
    }
    if (key == nullptr) {
        perror("read private.pem failed\n");
        errno = ENOKEY;
    }
    return key;
}

// Running out of descriptors or memory is no missing key: the request
// fails, and the server serves again once they are free.
bool keyMissing(int err) { return err != EMFILE && err != ENFILE && err != ENOMEM; }

// The calling thread's private key for decrypting a block of len bytes, after
// the "len:" line; null when this request fails whatever its block, with
// missing set when that is for want of a key.
RSA* decryptionKey(int len, bool& missing) {
    RSA* key = privateKey();
    missing = key == nullptr && keyMissing(errno);
    if (key == nullptr) return nullptr;
    logLine("len:%d\n", len);
    if (RSA_size(key) > kMaxModulusBytes) {
        fprintf(stderr, "private.pem: a modulus of %d bytes is larger than the %d bytes a request may hold\n",
                RSA_size(key), kMaxModulusBytes);
        return nullptr;
    }
    if (!currentRejectionKey().ready) {
        fprintf(stderr, "private.pem: the key has no usable private exponent\n");
        return nullptr;
    }
    return key;
}

}  // namespace

SecretKeyUnion::SecretKeyUnion() { memcpy(secretKey, kSecretKeyText, sizeof secretKey); }

SecretKeyUnion* SecretKeyUnion::getSingleTon() {
    static SecretKeyUnion secretkeyunion;
    return &secretkeyunion;
}

char* SecretKeyUnion::getSecretKey() { return secretKey; }

// The library's own per-thread state would otherwise be freed by a
// destructor at thread exit, which may run while the process exits and the
// library's exit handlers free the locks that it takes.
void SecretKeyUnion::forgetThreadKeys() {
    forgetThreadKeyFiles();
    OPENSSL_thread_stop();
}

int SecretKeyUnion::rsaEncode(const unsigned char* in, unsigned char* out, int& len) {
    RSA* key = nullptr;
    if (!currentKey(KeyFile::Public, key)) {
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
    bool missing = false;
    RSA* key = decryptionKey(len, missing);
    if (missing) exit(-1);
    if (key == nullptr) return -1;
    unsigned char message[kMaxModulusBytes];
    unsigned good = 0;
    int n = decryptWithImplicitRejection(key, currentRejectionKey(), in, len, message, good);
    if (good != 0) memcpy(out, message, static_cast<size_t>(n));
    OPENSSL_cleanse(message, sizeof message);
    return good != 0 ? n : -1;
}

int SecretKeyUnion::rsaDecodeImplicit(const unsigned char* in, unsigned char* out, int& len) {
    bool missing = false;
    RSA* key = decryptionKey(len, missing);
    if (key == nullptr) return -1;
    unsigned good = 0;
    return decryptWithImplicitRejection(key, currentRejectionKey(), in, len, out, good);
}

int SecretKeyUnion::rsaBlockBytes() {
    RSA* key = privateKey();
    return key == nullptr ? -1 : RSA_size(key);
}

void SecretKeyUnion::desEncode(unsigned char* in, unsigned char* out, const char* keyText, int len) {
    desEncodeBytes(in, out, keyText, len);
}

void SecretKeyUnion::desDecode(unsigned char* in, unsigned char* out, const char* keyText, int len) {
    desDecodeBytes(in, out, keyText, len);
}

std::string SecretKeyUnion::getShaValue(char* data, int len) {
    unsigned char digest[SHA256_DIGEST_LENGTH];
    sha256Digest(reinterpret_cast<const unsigned char*>(data), static_cast<size_t>(len), digest);
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
