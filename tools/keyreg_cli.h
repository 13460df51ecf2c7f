// Pieces shared by the subcommands of the keyreg tool: exit statuses, how a
// subcommand declares its arguments and how errors are reported.
#ifndef KEYREG_TOOL_CLI_H
#define KEYREG_TOOL_CLI_H

#include <CLI/CLI.hpp>

#include <functional>
#include <string>

// 1 is kept for a request that the other side understood and refused, so a
// script can tell "try another id" from "fix your setup".
const int kExitOk = 0;
const int kExitRefused = 1;
const int kExitError = 2;

// A subcommand as main sees it: its arguments are declared on app (and bound
// to the subcommand's own variables), run does the work once they are parsed.
struct Command {
    CLI::App* app;
    std::function<int()> run;
};

Command addKeygen(CLI::App& keyreg);
Command addRegister(CLI::App& keyreg);
Command addTable(CLI::App& keyreg);
Command addEncode(CLI::App& keyreg);
Command addDecode(CLI::App& keyreg);

// --NAME VALUE taking a whole decimal number within [low, high]; the help
// text gets the range appended and shows the variable's initial value as the
// default, so neither is written twice.
CLI::Option* addWholeNumber(CLI::App* app, const std::string& name, long& value, long low, long high,
                            const std::string& typeName, const std::string& help);

// "keyreg <command>: <what>" on standard error; returns status for a one-line
// "return fail(...)".
int fail(const std::string& command, const std::string& what, int status = kExitError);

struct TableView;
// Opens the existing key table read-only; false with the reason in error.
// Never creates a segment: a tool that made an empty table would hide the
// fact that no server has stored anything.
bool openTable(TableView& view, std::string& error);

#endif
