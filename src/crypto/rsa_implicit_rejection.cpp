// Implicit rejection for RSA PKCS #1 v1.5: the raw private-key operation, the
// padding check in constant time, the synthetic message and the selection
// between the two. Touches only its arguments; OpenSSL's error queue is left
// alone on every path that a block can choose.
#include "crypto/rsa_implicit_rejection.h"

#include "protocol.h"

#include <openssl/bn.h>
#include <openssl/crypto.h>
#include <openssl/err.h>

#include <climits>
#include <cstdint>
#include <cstring>

namespace {

// A block, and so the modulus, fits into one request.
const int kMaxBlockBytes = kRequestBytes;
const size_t kHmacBlockBytes = 64;

// Masks are all ones for true and zero for false. The empty asm hides where a
// mask came from, so that the compiler cannot turn a selection back into a
// branch on the secret behind it.
unsigned opaque(unsigned x) {
    __asm__("" : "+r"(x));
    return x;
}
unsigned msbMask(unsigned x) { return 0u - (x >> (sizeof x * CHAR_BIT - 1)); }
unsigned zeroMask(unsigned x) { return msbMask(~x & (x - 1)); }
unsigned equalMask(unsigned a, unsigned b) { return zeroMask(a ^ b); }
unsigned lessMask(unsigned a, unsigned b) { return msbMask(a ^ ((a ^ b) | ((a - b) ^ b))); }
unsigned selectWord(unsigned mask, unsigned a, unsigned b) {
    mask = opaque(mask);
    return (mask & a) | (~mask & b);
}
unsigned char selectByte(unsigned mask, unsigned char a, unsigned char b) {
    return static_cast<unsigned char>(selectWord(mask, a, b));
}

// HMAC on the direct digest calls: no provider look-up, no allocation and
// nothing that can fail or leave an error behind. The key's two padded blocks
// are hashed once for all the messages under it.
struct HmacState {
    SHA256_CTX inner;
    SHA256_CTX outer;
};

void hmacInit(HmacState& state, const unsigned char* key, size_t keyLen) {
    unsigned char pad[kHmacBlockBytes];
    for (size_t i = 0; i < sizeof pad; i++) pad[i] = static_cast<unsigned char>((i < keyLen ? key[i] : 0) ^ 0x36);
    SHA256_Init(&state.inner);
    SHA256_Update(&state.inner, pad, sizeof pad);
    for (unsigned char& b : pad) b ^= 0x36 ^ 0x5c;
    SHA256_Init(&state.outer);
    SHA256_Update(&state.outer, pad, sizeof pad);
    OPENSSL_cleanse(pad, sizeof pad);
}

void hmacFinish(const HmacState& state, const unsigned char* data, size_t len, unsigned char* mac) {
    unsigned char inner[SHA256_DIGEST_LENGTH];
    SHA256_CTX ctx = state.inner;
    SHA256_Update(&ctx, data, len);
    SHA256_Final(inner, &ctx);
    ctx = state.outer;
    SHA256_Update(&ctx, inner, sizeof inner);
    SHA256_Final(mac, &ctx);
    OPENSSL_cleanse(inner, sizeof inner);
    OPENSSL_cleanse(&ctx, sizeof ctx);
}

// The counter-mode PRF of the CFRG guidance on PKCS #1 v1.5 decryption: block
// i of the output is HMAC(key, i || label || bits of output), the two numbers
// as two big-endian bytes each.
void prf(const HmacState& key, const char* label, unsigned char* out, size_t len) {
    unsigned char input[2 + 16 + 2];
    size_t labelLen = strlen(label);
    size_t bits = len * CHAR_BIT;
    memcpy(input + 2, label, labelLen);
    input[2 + labelLen] = static_cast<unsigned char>(bits >> 8);
    input[3 + labelLen] = static_cast<unsigned char>(bits);
    unsigned char block[SHA256_DIGEST_LENGTH];
    for (size_t i = 0, done = 0; done < len; i++, done += sizeof block) {
        input[0] = static_cast<unsigned char>(i >> 8);
        input[1] = static_cast<unsigned char>(i);
        hmacFinish(key, input, labelLen + 4, block);
        memcpy(out + done, block, len - done < sizeof block ? len - done : sizeof block);
    }
    OPENSSL_cleanse(block, sizeof block);
}

// A block longer than the modulus, or not below it as a number, holds no
// message. Both are public facts: such a block skips the private-key
// operation, and so OpenSSL never raises its error for it.
bool withinModulus(const RSA* key, const unsigned char* block, int len, int k) {
    if (len < k) return true;
    if (len > k) return false;
    unsigned char modulus[kMaxBlockBytes];
    BN_bn2binpad(RSA_get0_n(key), modulus, k);
    return memcmp(block, modulus, static_cast<size_t>(k)) < 0;
}

}  // namespace

bool deriveRejectionKey(const RSA* key, RejectionKey& secret) {
    OPENSSL_cleanse(&secret, sizeof secret);
    secret.ready = false;
    const BIGNUM* d = RSA_get0_d(key);
    int k = RSA_size(key);
    unsigned char exponent[kMaxBlockBytes];
    if (d == nullptr || k > kMaxBlockBytes || BN_bn2binpad(d, exponent, k) != k) return false;
    SHA256_CTX ctx;
    SHA256_Init(&ctx);
    SHA256_Update(&ctx, exponent, static_cast<size_t>(k));
    SHA256_Final(secret.bytes, &ctx);
    OPENSSL_cleanse(exponent, static_cast<size_t>(k));
    OPENSSL_cleanse(&ctx, sizeof ctx);
    secret.ready = true;
    return true;
}

void hmacSha256(const unsigned char* key, size_t keyLen, const unsigned char* data, size_t len, unsigned char* mac) {
    HmacState state;
    hmacInit(state, key, keyLen);
    hmacFinish(state, data, len, mac);
    OPENSSL_cleanse(&state, sizeof state);
}

unsigned pkcs1Type2Check(const unsigned char* em, int k, int& start) {
    start = k;
    if (k < kPkcs1PaddingBytes) return 0;
    unsigned good = zeroMask(em[0]) & equalMask(em[1], 2);
    unsigned seen = 0;  // a zero byte from index 2 on
    unsigned separator = 0;
    for (int i = 2; i < k; i++) {
        unsigned zero = zeroMask(em[i]);
        separator = selectWord(~seen & zero, static_cast<unsigned>(i), separator);
        seen |= zero;
    }
    good &= seen & ~lessMask(separator, kPkcs1PaddingBytes - 1);
    start = static_cast<int>(separator) + 1;
    return good;
}

// The length is drawn from 64 pseudo-random bits by multiply-shift,
// (draw * (k - 10)) >> 64: uniform over 0 to k - 11 but for a bias below
// k / 2^64, in one multiplication, whose time does not depend on its operands
// as a division's may. The message bytes and the length come from the same
// key-derivation key, HMAC(secret, block), under two labels.
int syntheticMessage(const RejectionKey& secret, const unsigned char* block, size_t len, int k, unsigned char* out) {
    HmacState keyed;
    unsigned char derivationKey[SHA256_DIGEST_LENGTH];
    hmacInit(keyed, secret.bytes, sizeof secret.bytes);
    hmacFinish(keyed, block, len, derivationKey);
    hmacInit(keyed, derivationKey, sizeof derivationKey);
    prf(keyed, "message", out, static_cast<size_t>(k));
    unsigned char drawBytes[8];
    prf(keyed, "length", drawBytes, sizeof drawBytes);
    uint64_t draw = 0;
    for (unsigned char b : drawBytes) draw = draw << 8 | b;
    unsigned range = static_cast<unsigned>(k - kPkcs1PaddingBytes + 1);
    int length = static_cast<int>((static_cast<unsigned __int128>(draw) * range) >> 64);
    OPENSSL_cleanse(&keyed, sizeof keyed);
    OPENSSL_cleanse(derivationKey, sizeof derivationKey);
    OPENSSL_cleanse(drawBytes, sizeof drawBytes);
    return length;
}

// Both messages end at em's last byte, so only where the message starts is
// selected. The message is then moved to em + 11 in passes of 1, 2, 4, ...
// bytes, each pass taken or not by a mask, so that every pass reads and
// writes the same bytes wherever the message starts; the copy out reads
// every position too.
int selectMessage(unsigned char* em, int k, const unsigned char* synthetic, int syntheticLen, unsigned char* out,
                  unsigned& good) {
    int start = 0;
    good = pkcs1Type2Check(em, k, start);
    if (k < kPkcs1PaddingBytes) return 0;
    for (int i = 0; i < k; i++) em[i] = selectByte(good, em[i], synthetic[i]);
    unsigned from = selectWord(good, static_cast<unsigned>(start), static_cast<unsigned>(k - syntheticLen));
    unsigned length = static_cast<unsigned>(k) - from;
    unsigned shift = from - kPkcs1PaddingBytes;
    for (int step = 1; step < k - kPkcs1PaddingBytes; step <<= 1) {
        unsigned take = ~zeroMask(shift & static_cast<unsigned>(step));
        for (int i = kPkcs1PaddingBytes; i < k - step; i++) em[i] = selectByte(take, em[i + step], em[i]);
    }
    for (int i = 0; i < k - kPkcs1PaddingBytes; i++)
        out[i] = selectByte(lessMask(static_cast<unsigned>(i), length), em[kPkcs1PaddingBytes + i], out[i]);
    return static_cast<int>(length);
}

int decryptWithImplicitRejection(RSA* key, const RejectionKey& secret, const unsigned char* block, int len,
                                 unsigned char* out, unsigned& good) {
    good = 0;
    int k = RSA_size(key);
    if (k < kPkcs1PaddingBytes || k > kMaxBlockBytes || !secret.ready || len < 0) return -1;
    // Zeros, which no check passes, for a block that holds no message.
    unsigned char em[kMaxBlockBytes] = {0};
    if (withinModulus(key, block, len, k) && RSA_private_decrypt(len, block, em, key, RSA_NO_PADDING) != k) {
        // Only a failure of the library itself (memory) gets here, whatever the block.
        ERR_clear_error();
        memset(em, 0, sizeof em);
    }
    unsigned char synthetic[kMaxBlockBytes];
    int syntheticLen = syntheticMessage(secret, block, static_cast<size_t>(len), k, synthetic);
    int length = selectMessage(em, k, synthetic, syntheticLen, out, good);
    OPENSSL_cleanse(em, sizeof em);
    OPENSSL_cleanse(synthetic, sizeof synthetic);
    return length;
}
