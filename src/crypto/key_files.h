// The RSA keys of the key files in the working directory, parsed once and
// kept per thread until the file changes, with the implicit-rejection secret
// of the private key. Touches the key files and the calling thread's parsed
// keys.
#ifndef KEYREG_KEY_FILES_H
#define KEYREG_KEY_FILES_H

#include "crypto/rsa_implicit_rejection.h"

#include <openssl/rsa.h>

#include <cstddef>
#include <string>

enum class KeyFile { Public, Private };

// The key that the file holds now, as this thread keeps it parsed: false when
// the file cannot be opened (errno tells why); otherwise key is the parsed
// key, or null when the file holds none. The key stays the thread's.
bool currentKey(KeyFile which, RSA*& key);

// The implicit-rejection secret of the private key that currentKey last gave
// this thread; derived once per parse, wiped with the key.
const RejectionKey& currentRejectionKey();

// Frees the calling thread's parsed keys.
void forgetThreadKeyFiles();

// What the key files hold, read as the server reads them and kept by
// nobody: "" when private.pem holds a usable key (of bits bits) and
// public.pem, where there is one (publicFound), is its public half; else
// what is wrong. privateUsable tells which of the two failed.
std::string keyFilesProblem(int& bits, bool& publicFound, bool& privateUsable);

// SHA-256 of bytes into digest (32 bytes).
void sha256Digest(const unsigned char* bytes, size_t len, unsigned char* digest);

#endif
