// The constant-time padding check and message selection against OpenSSL's
// own verdict. Input: one byte that picks the synthetic message's length,
// then a decrypted block of any size up to a request's. The check must agree
// with RSA_padding_check_PKCS1_type_2 on every block, and on the message's
// start; the selection must give exactly OpenSSL's message for a good block
// and the synthetic one for any other, and leave the bytes after it alone.
#include "fuzz_support.h"
#include "crypto/rsa_implicit_rejection.h"

#include <openssl/err.h>

#include <cstring>
#include <vector>

namespace {

const char kTarget[] = "fuzz_padding_check";
const unsigned char kUntouched = 0xa5;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2 || size > 1 + static_cast<size_t>(kRequestBytes)) return 0;
    int k = static_cast<int>(size - 1);
    std::vector<unsigned char> em(data + 1, data + size);
    unsigned char reference[kRequestBytes];
    int expected = RSA_padding_check_PKCS1_type_2(reference, k, em.data(), k, k);
    ERR_clear_error();  // OpenSSL leaves its verdict on the queue
    int start = -1;
    unsigned good = pkcs1Type2Check(em.data(), k, start);
    if (good != 0u && good != ~0u) fuzzFailure(kTarget, "the check's mask is neither all ones nor zero");
    if ((good != 0) != (expected >= 0)) fuzzFailure(kTarget, "the check's verdict differs from OpenSSL's");
    if (good != 0 && k - start != expected) fuzzFailure(kTarget, "the message starts elsewhere than OpenSSL's");
    if (k < kPkcs1PaddingBytes) return 0;

    unsigned char synthetic[kRequestBytes];
    for (int i = 0; i < k; i++) synthetic[i] = static_cast<unsigned char>(i * 7 + 3);
    int syntheticLen = data[0] % (k - kPkcs1PaddingBytes + 1);
    unsigned char out[kRequestBytes];
    memset(out, kUntouched, sizeof out);
    unsigned selected = 0;
    int n = selectMessage(em.data(), k, synthetic, syntheticLen, out, selected);
    const unsigned char* want = good != 0 ? reference : synthetic + k - syntheticLen;
    if (selected != good) fuzzFailure(kTarget, "the selection's verdict differs from the check's");
    if (n != (good != 0 ? expected : syntheticLen) || memcmp(out, want, static_cast<size_t>(n)) != 0)
        fuzzFailure(kTarget, "not the message that the verdict calls for");
    for (size_t i = static_cast<size_t>(n); i < sizeof out; i++)
        if (out[i] != kUntouched) fuzzFailure(kTarget, "a byte after the message was written");
    return 0;
}
