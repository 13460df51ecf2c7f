// RSA PKCS #1 v1.5 decryption with implicit rejection: the raw private-key
// operation, a padding check in constant time, and a synthetic message,
// derived from the key and the block, that stands in for the plaintext of a
// block whose padding is bad. Touches only its arguments.
#ifndef KEYREG_RSA_IMPLICIT_REJECTION_H
#define KEYREG_RSA_IMPLICIT_REJECTION_H

#include <openssl/rsa.h>
#include <openssl/sha.h>

#include <cstddef>

// 00 02, at least eight non-zero padding bytes, the zero separator.
const int kPkcs1PaddingBytes = 11;

// The secret that synthetic messages are derived from, one per private key.
struct RejectionKey {
    unsigned char bytes[SHA256_DIGEST_LENGTH];
    bool ready = false;
};

// SHA-256 over the private exponent, big-endian, padded to the modulus
// length. False (and not ready) for a key without one, or one whose
// exponent or modulus is larger than the largest block a request holds.
bool deriveRejectionKey(const RSA* key, RejectionKey& secret);

// HMAC-SHA-256 (RFC 2104) with a key of at most 64 bytes.
void hmacSha256(const unsigned char* key, size_t keyLen, const unsigned char* data, size_t len,
                unsigned char* mac);

// All ones when em (k bytes) is a well-formed encryption block (type 2), zero
// otherwise; start is where its message begins, meaningful only when good.
// No branch and no memory access depends on em's bytes.
unsigned pkcs1Type2Check(const unsigned char* em, int k, int& start);

// The synthetic message of a block for a modulus of k bytes: fills out with k
// bytes and returns the message's length, from 0 to k - 11; the message is the
// last that many bytes. The same secret and block always give the same one.
int syntheticMessage(const RejectionKey& secret, const unsigned char* block, size_t len, int k, unsigned char* out);

// The message that leaves a decryption: em's (k bytes, overwritten) when its
// padding is good, else the synthetic one (k bytes, as syntheticMessage gives
// it). Written to out, which has room for k - 11 bytes; the bytes after the
// message keep their values. Returns its length; good is the check's mask.
// Time and memory accesses are the same whichever message it is.
int selectMessage(unsigned char* em, int k, const unsigned char* synthetic, int syntheticLen, unsigned char* out,
                  unsigned& good);

// Decrypts a block of len bytes with key (modulus of k bytes at most the size
// of a request, secret ready): writes to out (room for k - 11 bytes) its
// message, or the synthetic one when the block is no valid encryption under
// the key, and returns that message's length; good tells which. Only public
// facts (the block's length and its value against the modulus) choose a
// different road.
int decryptWithImplicitRejection(RSA* key, const RejectionKey& secret, const unsigned char* block, int len,
                                 unsigned char* out, unsigned& good);

#endif
