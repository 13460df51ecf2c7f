// keyreg: the client-side companion of keyreg-server. Makes the server's key
// pair, registers keys, shows the shared key table and encodes and decodes
// the DES-protected messages that the table's keys protect.
#include "keyreg_cli.h"

#include <csignal>
#include <cstdio>
#include <sstream>
#include <vector>

namespace {

// "keyreg" or "keyreg COMMAND": how the user names app.
std::string commandPath(const CLI::App* app) {
    std::string parent = app->get_parent() != nullptr ? commandPath(app->get_parent()) + " " : "";
    return parent + app->get_name();
}

// The synopsis, made from the declared arguments: positionals first, then
// every option but --help in brackets, as the commands were always written.
std::string synopsis(const CLI::App* app) {
    std::string out = commandPath(app);
    for (const CLI::Option* opt : app->get_options([](const CLI::Option* o) { return o->get_positional(); }))
        out += " " + opt->get_name(true, false);
    for (const CLI::Option* opt : app->get_options([app](const CLI::Option* o) {
             return o->nonpositional() && o != app->get_help_ptr();
         })) {
        out += " [" + opt->get_name(false, false);
        if (!opt->get_type_name().empty()) out += " " + opt->get_type_name();
        out += "]";
    }
    if (!app->get_subcommands([](const CLI::App* sub) { return !sub->get_group().empty(); }).empty())
        out += " COMMAND [ARGUMENTS]";
    return out;
}

const size_t kWidth = 79;
const size_t kColumn = 20;

// The words of text in lines of at most kWidth columns, each line starting at
// column indent (the caller has put the first there); a line break in text
// ends a paragraph.
std::string fill(const std::string& text, size_t indent) {
    std::string out;
    std::istringstream paragraphs(text);
    std::string paragraph;
    for (bool first = true; std::getline(paragraphs, paragraph); first = false) {
        if (!first) out += "\n" + std::string(paragraph.empty() ? 0 : indent, ' ');
        std::istringstream words(paragraph);
        std::string word;
        size_t column = indent;
        bool lineEmpty = true;
        while (words >> word) {
            if (!lineEmpty && column + 1 + word.size() > kWidth) {
                out += "\n" + std::string(indent, ' ');
                column = indent;
                lineEmpty = true;
            }
            if (!lineEmpty) {
                out += ' ';
                column++;
            }
            out += word;
            column += word.size();
            lineEmpty = false;
        }
    }
    return out;
}

// CLI11's layout in the order of other command-line tools (usage line first),
// with the synopsis above as the usage line, defaults at the end of the
// option's text and long texts filled to the terminal's usual width.
class Formatter : public CLI::Formatter {
public:
    Formatter() {
        label("Positionals", "Arguments");
        column_width(kColumn);
    }
    std::string make_help(const CLI::App* app, std::string name, CLI::AppFormatMode mode) const override {
        return make_usage(app, name) + "\n" + make_description(app) + make_positionals(app) + make_groups(app, mode) +
               make_subcommands(app, mode) + "\n" + make_footer(app);
    }
    std::string make_usage(const CLI::App* app, std::string) const override {
        return "Usage: " + synopsis(app) + "\n";
    }
    std::string make_description(const CLI::App* app) const override {
        return fill(app->get_description(), 0) + "\n";
    }
    std::string make_footer(const CLI::App* app) const override {
        return app->get_footer().empty() ? "" : fill(app->get_footer(), 0) + "\n";
    }
    std::string make_option(const CLI::Option* opt, bool positional) const override {
        return entry(make_option_name(opt, positional) + make_option_opts(opt), make_option_desc(opt));
    }
    std::string make_subcommand(const CLI::App* sub) const override {
        return entry(sub->get_name(), sub->get_description());
    }
    std::string make_option_opts(const CLI::Option* opt) const override {
        return opt->nonpositional() && !opt->get_type_name().empty() ? " " + opt->get_type_name() : "";
    }
    std::string make_option_desc(const CLI::Option* opt) const override {
        std::string fallback = opt->get_default_str();
        return opt->get_description() + (fallback.empty() ? "" : " (default: " + fallback + ")");
    }

private:
    // "  NAME   text", the text starting in column kColumn (on the next line
    // when NAME is longer) and continuing there.
    static std::string entry(const std::string& name, const std::string& text) {
        std::string left = "  " + name;
        left += left.size() + 2 <= kColumn ? std::string(kColumn - left.size(), ' ')
                                           : "\n" + std::string(kColumn, ' ');
        return left + fill(text, kColumn) + "\n";
    }
};

// The deepest subcommand that was recognised before the error.
const CLI::App* failingCommand(const CLI::App& keyreg) {
    const CLI::App* app = &keyreg;
    while (!app->get_subcommands().empty()) app = app->get_subcommands().front();
    return app;
}

int usageError(const CLI::App* app, const std::string& what) {
    std::string path = commandPath(app);
    fprintf(stderr, "%s: %s\nusage: %s\nTry '%s --help' for more.\n", path.c_str(), what.c_str(),
            synopsis(app).c_str(), path.c_str());
    return kExitError;
}

}  // namespace

int main(int argc, char** argv) {
    // A server that closes the connection early must give an error message,
    // not a silent death.
    signal(SIGPIPE, SIG_IGN);

    CLI::App keyreg{"Makes the key pair of keyreg-server, registers keys with it, lists its shared key table, "
                    "and encodes and decodes the DES-protected messages that the table's keys protect.",
                    "keyreg"};
    keyreg.formatter(std::make_shared<Formatter>());
    keyreg.set_version_flag("--version", std::string("keyreg ") + KEYREG_VERSION, "print the version and exit");
    keyreg.set_help_flag("-h,--help", "print this help and exit");
    keyreg.require_subcommand(0, 1);
    std::vector<Command> commands = {addKeygen(keyreg), addRegister(keyreg), addTable(keyreg), addEncode(keyreg),
                                     addDecode(keyreg)};
    for (const Command& command : commands) command.app->group("Commands");
    // Set after the subcommands, which would otherwise inherit it.
    keyreg.footer(
        "Exit status: 0 done; 1 refused by the server, or no key for that user id; 2 usage, connection, file or "
        "table errors.\n\nEach command has its own --help: keyreg COMMAND --help.");
    // Older scripts ask with "keyreg help"; it is not listed.
    CLI::App* help = keyreg.add_subcommand("help", "")->group("");

    try {
        keyreg.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        if (e.get_exit_code() == static_cast<int>(CLI::ExitCodes::Success)) return keyreg.exit(e);
        return usageError(failingCommand(keyreg), e.what());
    }
    if (help->parsed()) {
        // App::help would describe the selected subcommand, "help" itself.
        fputs(keyreg.get_formatter()->make_help(&keyreg, "", CLI::AppFormatMode::Normal).c_str(), stdout);
        return kExitOk;
    }
    for (const Command& command : commands)
        if (command.app->parsed()) return command.run();
    std::string names;
    for (const Command& command : commands) names += (names.empty() ? "" : ", ") + command.app->get_name();
    return usageError(&keyreg, "give a command: " + names);
}
