// The requests the generator sends, each {"userid":..,"key":..} encrypted to
// the server's public key, and the reading of that key pair. Touches only the
// key files.
#ifndef KEYREG_BENCH_REQUESTS_H
#define KEYREG_BENCH_REQUESTS_H

#include <openssl/rsa.h>

#include <string>
#include <vector>

RSA* readPublicKey(const std::string& path);
RSA* readPrivateKey(const std::string& path);

// Whether each of count requests for userid fits in one block of key.
bool requestsFit(RSA* key, const std::string& userid, long count);

// count requests, each with a key of its own, encrypted on every core; empty
// when any of them failed.
std::vector<std::string> encryptRequests(RSA* key, const std::string& userid, long count);

#endif
