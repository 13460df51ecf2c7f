// The configuration check: the allow list, the readers' group, the key files
// and the state file.
#include "server/configuration_check.h"

#include "Util.h"
#include "crypto/key_files.h"
#include "server/allow_list.h"
#include "state/state_file.h"

#include <cstdio>

namespace {

// The first failure's status stands: it is the one a start would meet first.
struct Verdict {
    int status = 0;
    void found(const std::string& what) { printf("keyreg-server: %s\n", what.c_str()); }
    void wrong(const std::string& what, int failure) {
        fprintf(stderr, "keyreg-server: %s\n", what.c_str());
        if (status == 0) status = failure;
    }
};

void checkAllowList(const ServerOptions& options, Verdict& verdict) {
    std::string error;
    if (options.allowList.empty())
        verdict.found("allow list: the " + std::to_string(allowListSize()) + " built-in user ids");
    else if (useAllowListFile(options.allowList, error))
        verdict.found("allow list " + options.allowList + ": " + std::to_string(allowListSize()) + " user ids");
    else
        verdict.wrong(error, kExitConfig);
}

// Without a usable private.pem the first request would end the server; a
// public.pem of another key fails every client, which no start would say.
void checkKeyFiles(Verdict& verdict) {
    int bits = 0;
    bool publicFound = false, privateUsable = false;
    std::string problem = keyFilesProblem(bits, publicFound, privateUsable);
    if (!problem.empty()) return verdict.wrong(problem, privateUsable ? kExitConfig : 255);
    verdict.found("private.pem: a " + std::to_string(bits) + "-bit RSA key; public.pem: " +
                  (publicFound ? "its public half" : "none here (clients need the public key)"));
}

void checkReaders(const ServerOptions& options, Verdict& verdict) {
    gid_t gid = 0;
    if (options.readers.empty())
        verdict.found("table readers: every local user (mode 0755)");
    else if (groupIdOf(options.readers, gid))
        verdict.found("table readers: group " + options.readers + " (gid " + std::to_string(gid) + "), mode 0750");
    else
        verdict.wrong("--readers " + options.readers + ": no such group", kExitReadersGroup);
}

void checkStateFile(const ServerOptions& options, Verdict& verdict) {
    if (options.state.empty()) return verdict.found("state file: none (--state not given)");
    StateCheck state = examineStateFile(options.state);
    if (state.status != 0) return verdict.wrong(options.state + ": " + state.problem, state.status);
    verdict.found("state file " + options.state + (state.exists ? ": undamaged, held by no server" : ": none yet, made at the start"));
}

}  // namespace

int checkConfiguration(const ServerOptions& options) {
    Verdict verdict;
    checkAllowList(options, verdict);
    checkReaders(options, verdict);
    checkKeyFiles(verdict);
    checkStateFile(options, verdict);
    if (verdict.status == 0) verdict.found("the configuration is fine");
    return verdict.status;
}
