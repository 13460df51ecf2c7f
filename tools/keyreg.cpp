// keyreg: the client-side companion of keyreg-server. Makes the server's key
// pair, registers keys, shows the shared key table and encodes and decodes
// the DES-protected messages that the table's keys protect.
#include "keyreg_cli.h"

#include <csignal>
#include <cstdio>
#include <cstring>

namespace {

const char kUsage[] =
    "usage: keyreg <command> [arguments]\n"
    "\n"
    "commands:\n"
    "  keygen [--bits N] [--dir D] [--force]    make the server's private.pem and public.pem\n"
    "  register USERID KEY [--host H] [--port P] [--pubkey FILE] [--timeout SECONDS]\n"
    "                                           register KEY for USERID with a running server\n"
    "  table [--show-keys]                      list the records of the shared key table\n"
    "  encode USERID KEY MESSAGE                print MESSAGE as a JSON message protected by KEY\n"
    "  decode JSON                              decode a JSON message with the key in the table\n"
    "\n"
    "exit status: 0 done, 1 refused by the server or no key for that user id,\n"
    "2 usage, connection, file or table errors.\n"
    "Each command has its own --help.\n";

struct Command {
    const char* name;
    int (*run)(const std::vector<std::string>&);
};

const Command kCommands[] = {
    {"keygen", runKeygen}, {"register", runRegister}, {"table", runTable},
    {"encode", runEncode}, {"decode", runDecode},
};

}  // namespace

int main(int argc, char** argv) {
    // A server that closes the connection early must give an error message,
    // not a silent death.
    signal(SIGPIPE, SIG_IGN);
    if (argc < 2) {
        fputs(kUsage, stderr);
        return kExitError;
    }
    std::string name = argv[1];
    if (name == "--help" || name == "-h" || name == "help") {
        fputs(kUsage, stdout);
        return kExitOk;
    }
    std::vector<std::string> args(argv + 2, argv + argc);
    for (const Command& command : kCommands) {
        if (name == command.name) return command.run(args);
    }
    fprintf(stderr, "keyreg: unknown command '%s'\n\n%s", name.c_str(), kUsage);
    return kExitError;
}
