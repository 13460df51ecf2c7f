// keyreg decode: a message decoded by the message decoder's own code, with
// the key that the shared key table holds for its sender.
#include "keyreg_cli.h"

#include "keyreg/table.h"
#include "table/message_decode.h"

#include <nlohmann/json.hpp>

#include <cerrno>
#include <cstdio>

namespace {

const char kCommand[] = "decode";
struct {
    std::string json;
} args;

// One look-up, through the same view as the decoding: what is printed and
// the status always come from the same record.
int decode() {
    std::string error;
    TableView table;
    if (!openTable(table, error)) return fail(kCommand, error);
    DecodedMessage decoded;
    try {
        decoded = decodeMessage(table, args.json.c_str());
    } catch (const nlohmann::json::parse_error& e) {
        return fail(kCommand, std::string("not a JSON text: ") + e.what());
    } catch (const nlohmann::json::exception& e) {
        return fail(kCommand,
                    std::string("a message is a JSON object with the string members \"id\" and \"mes\": ") + e.what());
    }
    if (decoded.found == Lookup::Unfinished) return fail(kCommand, keyreg_strerror(EAGAIN));
    if (decoded.found == Lookup::Absent)
        return fail(kCommand,
                    "no key is registered for user id \"" + decoded.id + "\"; register one with keyreg register first",
                    kExitRefused);
    printf("%s\n", decoded.text.c_str());
    return kExitOk;
}

}  // namespace

Command addDecode(CLI::App& keyreg) {
    CLI::App* app = keyreg.add_subcommand(kCommand, "decode a JSON message with the key in the table");
    app->footer("Decodes a message {\"id\": USERID, \"mes\": ...} as keyreg encode makes it, with the key that the "
                "shared key table holds for USERID, and prints the text. Exit 1 when no key is registered for "
                "USERID; exit 2 when there is no table or JSON is not such a message. Needs only read access to the "
                "table, as keyreg table.");
    app->add_option("JSON", args.json, "the message")->required();
    return {app, decode};
}
