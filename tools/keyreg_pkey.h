// Owning pointers for the OpenSSL key objects the tool uses.
#ifndef KEYREG_TOOL_PKEY_H
#define KEYREG_TOOL_PKEY_H

#include <openssl/evp.h>

#include <memory>

struct PkeyFree {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct PkeyCtxFree {
    void operator()(EVP_PKEY_CTX* ctx) const { EVP_PKEY_CTX_free(ctx); }
};
using PkeyPtr = std::unique_ptr<EVP_PKEY, PkeyFree>;
using PkeyCtxPtr = std::unique_ptr<EVP_PKEY_CTX, PkeyCtxFree>;

#endif
