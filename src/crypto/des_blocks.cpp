// DES blocks under a text's key, with OpenSSL; touches only its buffers.
#include "crypto/des_blocks.h"

#include <openssl/crypto.h>
#include <openssl/des.h>

#include <cstring>

namespace {

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

// The final block is filled up with zero bytes, so a decoder that decodes
// whole blocks finds the text ended by a NUL.
void desEncodeBytes(const unsigned char* in, unsigned char* out, const char* keyText, int len) {
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

void desDecodeBytes(const unsigned char* in, unsigned char* out, const char* keyText, int len) {
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
