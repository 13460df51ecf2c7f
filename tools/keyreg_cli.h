// Pieces shared by the subcommands of the keyreg tool: exit statuses, a small
// option parser and the way errors are reported.
#ifndef KEYREG_TOOL_CLI_H
#define KEYREG_TOOL_CLI_H

#include <cstddef>
#include <map>
#include <set>
#include <string>
#include <vector>

// 1 is kept for a request that the other side understood and refused, so a
// script can tell "try another id" from "fix your setup".
const int kExitOk = 0;
const int kExitRefused = 1;
const int kExitError = 2;

// A key or user id must leave room for the NUL in its 100-byte field.
const size_t kMaxFieldText = 99;

struct CommandLine {
    std::vector<std::string> positionals;
    std::map<std::string, std::string> values;
    std::set<std::string> flags;
    bool help = false;

    bool has(const std::string& flag) const { return flags.count(flag) != 0; }
    std::string value(const std::string& option, const std::string& fallback) const;
};

// Options in valueOptions take a value ("--port 8800" or "--port=8800"),
// those in flagOptions take none. "--" ends the options, so a message may
// itself start with "--". False, with the reason, on anything unknown.
bool parseCommandLine(const std::vector<std::string>& args, const std::set<std::string>& valueOptions,
                      const std::set<std::string>& flagOptions, CommandLine& out, std::string& error);

// Parses a whole decimal number within [low, high].
bool parseIntInRange(const std::string& text, long low, long high, long& out);

// "keyreg <command>: <what>" on standard error; returns status for a one-line
// "return fail(...)".
int fail(const std::string& command, const std::string& what, int status = kExitError);

// A usage error: the reason, the synopsis and where to read more.
int usageError(const std::string& command, const std::string& synopsis, const std::string& what);

// What a subcommand accepts: its options, its positional arguments and the
// texts shown for --help and for a usage error.
struct CommandInfo {
    const char* name;
    const char* synopsis;
    const char* help;
    std::set<std::string> valueOptions;
    std::set<std::string> flagOptions;
    size_t positionals;
    const char* positionalsWanted;  // the usage error when their number is wrong
};

// Parses a subcommand's arguments into cl. Returns -1 when the command is
// to go on, or the exit status to end with (help shown, or a usage error).
int startCommand(const CommandInfo& command, const std::vector<std::string>& args, CommandLine& cl);

// The identifier of the existing key table, or -1 with the reason in error.
// Never creates a segment: a tool that made an empty table would hide the
// fact that no server has stored anything.
int existingTableId(std::string& error);

int runKeygen(const std::vector<std::string>& args);
int runRegister(const std::vector<std::string>& args);
int runTable(const std::vector<std::string>& args);
int runEncode(const std::vector<std::string>& args);
int runDecode(const std::vector<std::string>& args);

#endif
