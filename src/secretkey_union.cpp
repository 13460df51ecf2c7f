// The crypto service: RSA with the key files (decryption with implicit
// rejection), DES under a text's key, SHA-256 as hex text, random strings.
// Touches the key files through key_files.
#include "secretkey_union.h"

#include "key_files.h"
#include "protocol.h"
#include "rsa_implicit_rejection.h"

#include <openssl/crypto.h>
#include <openssl/des.h>
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

// The calling thread's private key for decrypting a block of len bytes, after
// the "len:" line; null when this request fails whatever its block. Ends the
// process when private.pem is missing or holds no key.
RSA* decryptionKeyOrDie(int len) {
    RSA* key = nullptr;
    if (!currentKey(KeyFile::Private, key)) {
        int err = errno;
        perror("no private.pem\n");
        // Running out of descriptors is no missing key: this request fails,
        // and the server serves again once descriptors are free.
        if (err == EMFILE || err == ENFILE || err == ENOMEM) return nullptr;
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

void SecretKeyUnion::forgetThreadKeys() { forgetThreadKeyFiles(); }

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
    RSA* key = decryptionKeyOrDie(len);
    if (key == nullptr) return -1;
    unsigned char message[kMaxModulusBytes];
    unsigned good = 0;
    int n = decryptWithImplicitRejection(key, currentRejectionKey(), in, len, message, good);
    if (good != 0) memcpy(out, message, static_cast<size_t>(n));
    OPENSSL_cleanse(message, sizeof message);
    return good != 0 ? n : -1;
}

int SecretKeyUnion::rsaDecodeImplicit(const unsigned char* in, unsigned char* out, int& len) {
    RSA* key = decryptionKeyOrDie(len);
    if (key == nullptr) return -1;
    unsigned good = 0;
    return decryptWithImplicitRejection(key, currentRejectionKey(), in, len, out, good);
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
