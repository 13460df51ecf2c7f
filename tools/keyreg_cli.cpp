#include "keyreg_cli.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>

CLI::Option* addWholeNumber(CLI::App* app, const std::string& name, long& value, long low, long high,
                            const std::string& typeName, const std::string& help) {
    std::string range = std::to_string(low) + " to " + std::to_string(high);
    // Checked on the text, before CLI11 converts it, so that "", "12x" and
    // out-of-range numbers all get the same message.
    auto check = [low, high, range](const std::string& text) -> std::string {
        char* end = nullptr;
        errno = 0;
        long n = strtol(text.c_str(), &end, 10);
        if (text.empty() || *end != '\0' || errno != 0 || n < low || n > high)
            return "takes a whole number from " + range + ", not '" + text + "'";
        return "";
    };
    return app->add_option(name, value, help + ", " + range)->type_name(typeName)->capture_default_str()->check(check);
}

int fail(const std::string& command, const std::string& what, int status) {
    fprintf(stderr, "keyreg %s: %s\n", command.c_str(), what.c_str());
    return status;
}
