// The generator's requests and key files. It encrypts with OpenSSL directly,
// never with the server's code, so that a fault there cannot hide itself.
#include "requests.h"

#include <nlohmann/json.hpp>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <thread>

namespace {

// PKCS #1 v1.5 takes 11 bytes of every block for its padding.
const size_t kPaddingBytes = 11;

int noPassphrase(char*, int, int, void*) { return 0; }

// No two plaintexts are alike: the key names this process and the request.
std::string requestText(const std::string& userid, long index) {
    nlohmann::json request{{"userid", userid}, {"key", "bench-" + std::to_string(getpid()) + "-" + std::to_string(index)}};
    return request.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

}  // namespace

RSA* readPublicKey(const std::string& path) {
    FILE* fp = fopen(path.c_str(), "r");
    if (fp == nullptr) return nullptr;
    RSA* key = PEM_read_RSA_PUBKEY(fp, nullptr, noPassphrase, nullptr);
    if (key == nullptr) {  // also take the PKCS #1 "RSA PUBLIC KEY" form
        rewind(fp);
        key = PEM_read_RSAPublicKey(fp, nullptr, noPassphrase, nullptr);
    }
    fclose(fp);
    ERR_clear_error();
    return key;
}

RSA* readPrivateKey(const std::string& path) {
    FILE* fp = fopen(path.c_str(), "r");
    if (fp == nullptr) return nullptr;
    RSA* key = PEM_read_RSAPrivateKey(fp, nullptr, noPassphrase, nullptr);
    fclose(fp);
    ERR_clear_error();
    return key;
}

bool requestsFit(RSA* key, const std::string& userid, long count) {
    return requestText(userid, count).size() + kPaddingBytes <= static_cast<size_t>(RSA_size(key));
}

std::vector<std::string> encryptRequests(RSA* key, const std::string& userid, long count) {
    std::vector<std::string> pool(static_cast<size_t>(count));
    unsigned threads = std::max(1u, std::thread::hardware_concurrency());
    std::atomic<bool> failed{false};
    std::vector<std::thread> workers;
    for (unsigned t = 0; t < threads; t++) {
        workers.emplace_back([&, t] {
            std::vector<unsigned char> block(static_cast<size_t>(RSA_size(key)));
            for (size_t i = t; i < pool.size(); i += threads) {
                std::string text = requestText(userid, static_cast<long>(i));
                int n = RSA_public_encrypt(static_cast<int>(text.size()), reinterpret_cast<const unsigned char*>(text.data()),
                                           block.data(), key, RSA_PKCS1_PADDING);
                if (n <= 0) failed = true;
                else pool[i].assign(reinterpret_cast<const char*>(block.data()), static_cast<size_t>(n));
            }
        });
    }
    for (std::thread& w : workers) w.join();
    if (failed) pool.clear();
    return pool;
}
