// keyreg decode: a message decoded by the message decoder itself, with the
// key that the shared key table holds for its sender.
#include "keyreg_cli.h"

#include "keyreg/table.h"
#include "table_reader.h"

#include <nlohmann/json.hpp>

#include <cerrno>
#include <cstdio>
#include <memory>

namespace {

const char kCommand[] = "decode";
struct {
    std::string json;
} args;

Lookup lookUp(const TableView& table, const std::string& userid) {
    shareMemoryItem record(-1);
    return findRecord(table, userid, record);
}

int decode() {
    std::string error;
    TableView table;
    if (!openTable(table, error)) return fail(kCommand, error);

    std::unique_ptr<Message> message(MessageFactory::createMessage(MessageFactory::MESSAGE_CODE));
    std::vector<char> text(args.json.begin(), args.json.end());
    text.push_back('\0');
    std::string userid;
    try {
        message->deCodeMes(text.data(), static_cast<int>(text.size() - 1));
        userid = nlohmann::json::parse(text.data())["id"].get<std::string>();
    } catch (const nlohmann::json::parse_error& e) {
        return fail(kCommand, std::string("not a JSON text: ") + e.what());
    } catch (const nlohmann::json::exception& e) {
        return fail(kCommand,
                    std::string("a message is a JSON object with the string members \"id\" and \"mes\": ") + e.what());
    }
    Lookup found = lookUp(table, userid);
    if (found == Lookup::Unfinished) return fail(kCommand, keyreg_strerror(EAGAIN));
    if (found == Lookup::Absent)
        return fail(kCommand,
                    "no key is registered for user id \"" + userid + "\"; register one with keyreg register first",
                    kExitRefused);
    printf("%s\n", message->mesText.c_str());
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
