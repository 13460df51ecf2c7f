// keyreg keygen: the server's RSA key pair, "private.pem" and "public.pem".
#include "keyreg_cli.h"
#include "keyreg_pkey.h"

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

namespace {

const char kCommand[] = "keygen";
const long kMinBits = 1024;
// The server reads a request of at most 1024 bytes, one RSA block.
const long kMaxBits = 8192;

struct {
    long bits = 2048;
    std::string dir = ".";
    bool force = false;
} args;

PkeyPtr generateRsaKey(int bits) {
    PkeyCtxPtr ctx(EVP_PKEY_CTX_new_id(EVP_PKEY_RSA, nullptr));
    EVP_PKEY* key = nullptr;
    if (!ctx || EVP_PKEY_keygen_init(ctx.get()) != 1 || EVP_PKEY_CTX_set_rsa_keygen_bits(ctx.get(), bits) != 1 ||
        EVP_PKEY_keygen(ctx.get(), &key) != 1)
        return nullptr;
    return PkeyPtr(key);
}

bool fileExists(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

// A missing directory is made (one level); anything else in the way is an error.
bool ensureDirectory(const std::string& dir, std::string& error) {
    struct stat st;
    if (stat(dir.c_str(), &st) == 0) {
        if (S_ISDIR(st.st_mode)) return true;
        error = dir + " exists and is not a directory";
        return false;
    }
    if (errno == ENOENT && mkdir(dir.c_str(), 0700) == 0) return true;
    error = "cannot use directory " + dir + ": " + strerror(errno);
    return false;
}

typedef bool (*PemWriter)(FILE*, EVP_PKEY*);

bool writePrivatePem(FILE* fp, EVP_PKEY* key) {
    return PEM_write_PrivateKey(fp, key, nullptr, nullptr, 0, nullptr, nullptr) == 1;
}

bool writePublicPem(FILE* fp, EVP_PKEY* key) { return PEM_write_PUBKEY(fp, key) == 1; }

// Writes a PEM file under a temporary name next to its final place, so that a
// failure half-way never leaves a truncated key under the real name.
bool writeTempFile(const std::string& finalPath, mode_t mode, PemWriter writer, EVP_PKEY* key, std::string& tempPath,
                   std::string& error) {
    std::string slash = finalPath.substr(0, finalPath.rfind('/') + 1);
    std::string pattern = slash + ".keygen-XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    int fd = mkstemp(name.data());  // created with mode 0600
    if (fd < 0) {
        error = "cannot create a file in " + slash + ": " + strerror(errno);
        return false;
    }
    tempPath = name.data();
    FILE* fp = fdopen(fd, "w");
    if (fp == nullptr) {
        error = "fdopen: " + std::string(strerror(errno));
        close(fd);
        unlink(tempPath.c_str());
        return false;
    }
    errno = 0;
    bool ok = fchmod(fd, mode) == 0 && writer(fp, key) && fflush(fp) == 0 && fsync(fd) == 0;
    int savedErrno = errno;
    if (fclose(fp) != 0) ok = false;
    if (!ok) {
        error = "cannot write " + finalPath + (savedErrno != 0 ? std::string(": ") + strerror(savedErrno) : "");
        unlink(tempPath.c_str());
    }
    return ok;
}

// Without force, link() refuses to replace a file that appeared meanwhile.
bool installFile(const std::string& tempPath, const std::string& finalPath, bool force, std::string& error) {
    int rc = force ? rename(tempPath.c_str(), finalPath.c_str()) : link(tempPath.c_str(), finalPath.c_str());
    int savedErrno = errno;
    if (!force || rc != 0) unlink(tempPath.c_str());
    if (rc == 0) return true;
    error = "cannot create " + finalPath + ": " + strerror(savedErrno);
    return false;
}

struct KeyFile {
    std::string path;
    mode_t mode;
    PemWriter writer;
    std::string tempPath;
};

bool writeKeyFiles(KeyFile (&files)[2], EVP_PKEY* key, bool force, std::string& error) {
    for (KeyFile& file : files) {
        if (!writeTempFile(file.path, file.mode, file.writer, key, file.tempPath, error)) {
            for (KeyFile& other : files)
                if (!other.tempPath.empty() && &other != &file) unlink(other.tempPath.c_str());
            return false;
        }
    }
    bool ok = true;
    for (KeyFile& file : files) {
        if (ok) {
            ok = installFile(file.tempPath, file.path, force, error);
        } else {
            unlink(file.tempPath.c_str());
        }
    }
    return ok;
}

int keygen() {
    std::string error;
    const long bits = args.bits;
    const std::string& dir = args.dir;
    const bool force = args.force;
    KeyFile files[2] = {{dir + "/private.pem", 0600, writePrivatePem, ""}, {dir + "/public.pem", 0644, writePublicPem, ""}};
    if (!force) {
        for (const KeyFile& file : files) {
            if (fileExists(file.path))
                return fail(kCommand, file.path +
                                          " already exists; keygen never replaces a key pair. Add --force to make a "
                                          "new one (every client then needs the new public.pem).");
        }
    }
    if (!ensureDirectory(dir, error)) return fail(kCommand, error);

    PkeyPtr key = generateRsaKey(static_cast<int>(bits));
    if (!key) return fail(kCommand, "OpenSSL could not generate a " + std::to_string(bits) + "-bit RSA key");
    if (!writeKeyFiles(files, key.get(), force, error)) return fail(kCommand, error);
    printf("wrote %s (mode 0600) and %s: a %ld-bit RSA key pair\n", files[0].path.c_str(), files[1].path.c_str(),
           bits);
    return kExitOk;
}

}  // namespace

Command addKeygen(CLI::App& keyreg) {
    CLI::App* app = keyreg.add_subcommand(kCommand, "make the server's key pair, private.pem and public.pem");
    app->footer(
        "Makes a new RSA key pair for keyreg-server: D/private.pem (PKCS #8, mode 0600) and D/public.pem "
        "(SubjectPublicKeyInfo). The server reads private.pem from its working directory; clients encrypt their "
        "requests with public.pem; 1024-bit keys cannot carry requests with the longest user ids and keys. Exit 2 "
        "when the files exist (without --force) or cannot be written.");
    addWholeNumber(app, "--bits", args.bits, kMinBits, kMaxBits, "N", "key size in bits");
    app->add_option("--dir", args.dir, "where to write the files; made, mode 0700, when it does not exist")
        ->type_name("D")
        ->capture_default_str()
        ->check([](const std::string& dir) { return dir.empty() ? "needs a directory name" : ""; });
    app->add_flag("--force", args.force, "replace an existing key pair; clients then need the new public.pem");
    return {app, keygen};
}
