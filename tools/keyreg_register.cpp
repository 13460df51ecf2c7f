// keyreg register: one registration exchange with keyreg-server.
#include "keyreg_cli.h"
#include "keyreg_pkey.h"

#include "protocol.h"
#include "server/listen_address.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <nlohmann/json.hpp>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>

namespace {

const char kCommand[] = "register";
struct {
    std::string userid;
    std::string key;
    std::string host = "127.0.0.1";
    long port = kServerPort;
    std::string pubkey = "public.pem";
    long timeout = 10;
} args;

using Clock = std::chrono::steady_clock;

int millisecondsLeft(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

PkeyPtr readPublicKey(const std::string& path, std::string& error) {
    FILE* fp = fopen(path.c_str(), "r");
    if (fp == nullptr) {
        error = "cannot open public key file " + path + ": " + strerror(errno) +
                " (the server's public.pem is in its working directory; name it with --pubkey)";
        return nullptr;
    }
    PkeyPtr key(PEM_read_PUBKEY(fp, nullptr, nullptr, nullptr));
    fclose(fp);
    if (!key || EVP_PKEY_base_id(key.get()) != EVP_PKEY_RSA) {
        error = path + " holds no RSA public key (expected a PEM \"BEGIN PUBLIC KEY\" block as keyreg keygen writes)";
        return nullptr;
    }
    return key;
}

bool encryptRequest(EVP_PKEY* key, const std::string& plaintext, std::string& block) {
    PkeyCtxPtr ctx(EVP_PKEY_CTX_new(key, nullptr));
    block.assign(static_cast<size_t>(EVP_PKEY_size(key)), '\0');
    size_t outLen = block.size();
    bool ok = ctx && EVP_PKEY_encrypt_init(ctx.get()) == 1 &&
              EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) == 1 &&
              EVP_PKEY_encrypt(ctx.get(), reinterpret_cast<unsigned char*>(&block[0]), &outLen,
                               reinterpret_cast<const unsigned char*>(plaintext.data()), plaintext.size()) == 1;
    block.resize(ok ? outLen : 0);
    return ok;
}

// Waits for a non-blocking connect to finish; 0 or the errno of the failure.
int finishConnect(int fd, Clock::time_point deadline) {
    struct pollfd p = {fd, POLLOUT, 0};
    for (;;) {
        int r = poll(&p, 1, millisecondsLeft(deadline));
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) return errno;
        if (r == 0) return ETIMEDOUT;
        int soError = 0;
        socklen_t len = sizeof soError;
        if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &soError, &len) != 0) return errno;
        return soError;
    }
}

// Connects to the first address of host that answers; -1 with the reason.
int connectTo(const std::string& host, const std::string& port, Clock::time_point deadline, std::string& error) {
    struct addrinfo hints;
    memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    struct addrinfo* addrs = nullptr;
    int rc = getaddrinfo(host.c_str(), port.c_str(), &hints, &addrs);
    if (rc != 0) {
        error = "cannot resolve " + host + ": " + gai_strerror(rc);
        return -1;
    }
    int fd = -1;
    int lastErrno = 0;
    for (struct addrinfo* a = addrs; a != nullptr && fd < 0; a = a->ai_next) {
        fd = socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol);
        if (fd < 0) {
            lastErrno = errno;
            continue;
        }
        int err = connect(fd, a->ai_addr, a->ai_addrlen) == 0 ? 0 : errno;
        if (err == EINPROGRESS) err = finishConnect(fd, deadline);
        if (err != 0) {
            lastErrno = err;
            close(fd);
            fd = -1;
        }
    }
    freeaddrinfo(addrs);
    if (fd < 0)
        error = "cannot connect to " + host + ":" + port + ": " + strerror(lastErrno) + " (is keyreg-server running?)";
    return fd;
}

// The server reads one request per read, so the block goes out in one write.
bool sendBlock(int fd, const std::string& block, std::string& error) {
    ssize_t n;
    do {
        n = send(fd, block.data(), block.size(), MSG_NOSIGNAL);
    } while (n < 0 && errno == EINTR);
    if (n == static_cast<ssize_t>(block.size())) return true;
    error = n < 0 ? std::string("send failed: ") + strerror(errno) : "the request did not go out in one write";
    return false;
}

// Reads the fixed-size reply; returns how many bytes came before the deadline,
// the end of the stream or an error.
size_t readReply(int fd, char (&reply)[kReplySize], Clock::time_point deadline) {
    size_t got = 0;
    while (got < sizeof reply) {
        struct pollfd p = {fd, POLLIN, 0};
        int r = poll(&p, 1, millisecondsLeft(deadline));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) break;
        ssize_t n = recv(fd, reply + got, sizeof reply - got, 0);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (n <= 0) break;
        got += static_cast<size_t>(n);
    }
    return got;
}

int reportReply(const char (&reply)[kReplySize]) {
    std::string text(reply, strnlen(reply, sizeof reply));
    if (text == kReplyOk) {
        puts(kReplyOk);
        return kExitOk;
    }
    if (text == kReplyFailed) {
        puts(kReplyFailed);
        fflush(stdout);
        fprintf(stderr,
                "keyreg register: the server refused the request: the user id is not on its allow list, "
                "or --pubkey is not the public key of this server\n");
        return kExitRefused;
    }
    return fail(kCommand, "unexpected reply from the server: \"" + text + "\"");
}

int exchange(const std::string& host, const std::string& port, int timeoutSeconds, const std::string& block) {
    Clock::time_point deadline = Clock::now() + std::chrono::seconds(timeoutSeconds);
    std::string error;
    int fd = connectTo(host, port, deadline, error);
    if (fd < 0) return fail(kCommand, error);
    if (!sendBlock(fd, block, error)) {
        close(fd);
        return fail(kCommand, error + " (to " + host + ":" + port + ")");
    }
    char reply[kReplySize] = {0};
    size_t got = readReply(fd, reply, deadline);
    close(fd);
    if (got < sizeof reply)
        return fail(kCommand, "no complete reply from " + host + ":" + port + " within " +
                                  std::to_string(timeoutSeconds) + " s (got " + std::to_string(got) + " of " +
                                  std::to_string(kReplySize) + " bytes)");
    return reportReply(reply);
}

int registerKey() {
    const std::string& userid = args.userid;
    const std::string& key = args.key;
    const size_t limit = kMaxKeyBytes;
    if (userid.size() > limit || key.size() > limit)
        return fail(kCommand, std::string(userid.size() > limit ? "the user id" : "the key") + " is longer than " +
                                  std::to_string(limit) + " bytes; the key table cannot hold it. Use a shorter one.");
    std::string error;
    PkeyPtr publicKey = readPublicKey(args.pubkey, error);
    if (!publicKey) return fail(kCommand, error);
    std::string request;
    try {
        request = nlohmann::json{{"userid", userid}, {"key", key}}.dump();
    } catch (const nlohmann::json::exception&) {
        return fail(kCommand, "the user id and the key must be valid UTF-8 text");
    }
    std::string block;
    if (!encryptRequest(publicKey.get(), request, block))
        return fail(kCommand, "the request does not fit in one RSA block of this key; use a shorter user id or key");
    std::string host, port;
    if (!splitHostPort(args.host, host, port))
        return fail(kCommand, "--host " + args.host + " is no HOST, [IPV6-ADDRESS], or either with :PORT");
    if (port.empty()) port = std::to_string(args.port);
    return exchange(host, port, static_cast<int>(args.timeout), block);
}

}  // namespace

Command addRegister(CLI::App& keyreg) {
    CLI::App* app = keyreg.add_subcommand(kCommand, "register KEY for USERID with a running server");
    app->footer("Sends {\"userid\":..,\"key\":..} encrypted with the server's public key and prints the server's "
                "reply: \"" + std::string(kReplyOk) + "\" when the key is stored in the shared key table (exit 0), \"" +
                kReplyFailed + "\" when the server refused it: the id is not on its allow list, or the request could not be read with the "
                "server's key (exit 1). Exit 2 on usage, key-file or connection errors.");
    const std::string limit = std::to_string(kMaxKeyBytes);
    app->add_option("USERID", args.userid, "the user id, at most " + limit + " bytes")->required();
    app->add_option("KEY", args.key, "the key, at most " + limit + " bytes")->required();
    app->add_option("--host", args.host,
                    "server name or address, an IPv6 address in brackets, either with an optional :PORT that "
                    "takes the place of --port")
        ->type_name("H")
        ->capture_default_str();
    addWholeNumber(app, "--port", args.port, 1, 65535, "P", "server port");
    app->add_option("--pubkey", args.pubkey, "the server's public key")->type_name("FILE")->capture_default_str();
    addWholeNumber(app, "--timeout", args.timeout, 1, 3600, "S", "seconds allowed for connecting and for the reply");
    return {app, registerKey};
}
