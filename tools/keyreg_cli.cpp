#include "keyreg_cli.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>

std::string CommandLine::value(const std::string& option, const std::string& fallback) const {
    auto found = values.find(option);
    return found == values.end() ? fallback : found->second;
}

namespace {

bool isOption(const std::string& arg) { return arg.size() > 1 && arg[0] == '-'; }

}  // namespace

bool parseCommandLine(const std::vector<std::string>& args, const std::set<std::string>& valueOptions,
                      const std::set<std::string>& flagOptions, CommandLine& out, std::string& error) {
    bool optionsEnded = false;
    for (size_t i = 0; i < args.size(); i++) {
        const std::string& arg = args[i];
        if (optionsEnded || !isOption(arg)) {
            out.positionals.push_back(arg);
            continue;
        }
        if (arg == "--") {
            optionsEnded = true;
            continue;
        }
        if (arg == "--help" || arg == "-h") {
            out.help = true;
            continue;
        }
        std::string name = arg;
        std::string inlineValue;
        bool hasInlineValue = false;
        size_t eq = arg.find('=');
        if (eq != std::string::npos) {
            name = arg.substr(0, eq);
            inlineValue = arg.substr(eq + 1);
            hasInlineValue = true;
        }
        if (flagOptions.count(name) != 0 && !hasInlineValue) {
            out.flags.insert(name);
        } else if (valueOptions.count(name) != 0) {
            if (hasInlineValue) {
                out.values[name] = inlineValue;
            } else if (i + 1 < args.size()) {
                out.values[name] = args[++i];
            } else {
                error = name + " needs a value";
                return false;
            }
        } else {
            error = "unknown option " + arg;
            return false;
        }
    }
    return true;
}

bool parseIntInRange(const std::string& text, long low, long high, long& out) {
    if (text.empty()) return false;
    char* end = nullptr;
    errno = 0;
    long value = strtol(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || value < low || value > high) return false;
    out = value;
    return true;
}

int fail(const std::string& command, const std::string& what, int status) {
    fprintf(stderr, "keyreg %s: %s\n", command.c_str(), what.c_str());
    return status;
}

int usageError(const std::string& command, const std::string& synopsis, const std::string& what) {
    fprintf(stderr, "keyreg %s: %s\nusage: %s\nTry 'keyreg %s --help' for more.\n", command.c_str(), what.c_str(),
            synopsis.c_str(), command.c_str());
    return kExitError;
}

int startCommand(const CommandInfo& command, const std::vector<std::string>& args, CommandLine& cl) {
    std::string error;
    if (!parseCommandLine(args, command.valueOptions, command.flagOptions, cl, error))
        return usageError(command.name, command.synopsis, error);
    if (cl.help) {
        fputs(command.help, stdout);
        return kExitOk;
    }
    if (cl.positionals.size() == command.positionals) return -1;
    if (command.positionals == 0) return usageError(command.name, command.synopsis, "unexpected argument " + cl.positionals[0]);
    return usageError(command.name, command.synopsis, command.positionalsWanted);
}
