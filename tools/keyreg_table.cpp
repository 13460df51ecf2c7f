// keyreg table: the shared key table as any other process on the host sees
// it. The segment is only ever attached read-only here: the tool must never
// create, reset or change the server's table.
#include "keyreg_cli.h"

#include "keyreg/table.h"
#include "table/table_reader.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <nlohmann/json.hpp>
#include <vector>

namespace {

const char kCommand[] = "table";
struct {
    bool showKeys = false;
    bool json = false;
} args;

// User ids and keys are whatever clients sent: keep control bytes off the terminal.
std::string printable(const char* field, size_t size) {
    std::string out;
    for (size_t i = 0; i < size && field[i] != '\0'; i++) {
        unsigned char c = static_cast<unsigned char>(field[i]);
        if (c >= 0x20 && c != 0x7f) {
            out += static_cast<char>(c);
        } else {
            char hex[5];
            snprintf(hex, sizeof hex, "\\x%02x", c);
            out += hex;
        }
    }
    return out;
}

struct Listed {
    std::vector<shareMemoryItem> records = std::vector<shareMemoryItem>(kTableSlots, shareMemoryItem(-1));
    std::vector<int> slots = std::vector<int>(kTableSlots);
    size_t count = 0;
};

// The key as shown on a terminal, or as many asterisks as it has bytes.
std::string keyText(const shareMemoryItem& item, bool showKeys) {
    size_t keyLen = strnlen(item.key, sizeof item.key);
    return showKeys ? printable(item.key, sizeof item.key) : std::string(keyLen, '*');
}

void printRecords(const Listed& listed, bool showKeys) {
    printf("%4s  %4s  %-20s  %6s  %s\n", "slot", "id", "userid", "keylen", "key");
    for (size_t i = 0; i < listed.count; i++) {
        const shareMemoryItem& item = listed.records[i];
        printf("%4d  %4d  %-20s  %6zu  %s\n", listed.slots[i], item.id,
               printable(item.userid, sizeof item.userid).c_str(), strnlen(item.key, sizeof item.key),
               keyText(item, showKeys).c_str());
    }
    printf("%zu of %d slots in use\n", listed.count, kTableSlots);
}

// The texts as they are, for programs; bytes that are no UTF-8 (JSON cannot
// carry them) become U+FFFD.
void printJson(const Listed& listed, bool showKeys) {
    nlohmann::json records = nlohmann::json::array();
    for (size_t i = 0; i < listed.count; i++) {
        const shareMemoryItem& item = listed.records[i];
        std::string key = showKeys ? std::string(item.key, strnlen(item.key, sizeof item.key)) : keyText(item, false);
        records.push_back({{"slot", listed.slots[i]},
                           {"id", item.id},
                           {"useridLen", item.useridLen},
                           {"userid", std::string(item.userid, strnlen(item.userid, sizeof item.userid))},
                           {"keyLen", item.keyLen},
                           {"key", key}});
    }
    nlohmann::json table = {{"slots", kTableSlots}, {"records", records}};
    printf("%s\n", table.dump(2, ' ', false, nlohmann::json::error_handler_t::replace).c_str());
}

int listTable() {
    std::string error;
    TableView table;
    if (!openTable(table, error)) return fail(kCommand, error);
    Listed listed;
    int count = listRecords(table, listed.records.data(), listed.slots.data(), kTableSlots);
    closeTableView(table);
    if (count < 0) return fail(kCommand, keyreg_strerror(EAGAIN));
    listed.count = static_cast<size_t>(count);
    if (args.json)
        printJson(listed, args.showKeys);
    else
        printRecords(listed, args.showKeys);
    return kExitOk;
}

}  // namespace

bool openTable(TableView& view, std::string& error) {
    int err = openTableView(view);
    if (err == 0) return true;
    std::string ipcKey = "IPC key " + std::to_string(kTableIpcKey);
    if (err == ENOENT)
        error = "no key table: there is no shared-memory segment with " + ipcKey +
                " here. keyreg-server makes it when it stores its first key: start the server and register a key "
                "first.";
    else if (view.segment.failed == SegmentStep::Size)
        error = "the segment with " + ipcKey + " is " + std::to_string(view.segment.bytes) +
                " bytes, too small for the key table; it was not made by keyreg-server";
    else
        error = "cannot read the key table (" + ipcKey + "): " + strerror(err);
    return false;
}
Command addTable(CLI::App& keyreg) {
    CLI::App* app = keyreg.add_subcommand(kCommand, "list the records of the shared key table");
    app->footer("Lists the occupied slots of the shared key table (System V shared memory, IPC key " +
                std::to_string(kTableIpcKey) +
                ") that keyreg-server fills: slot, record id, user id and key length, each record whole. The table "
                "is read, never changed. --json prints {\"slots\": N, \"records\": [{\"slot\", \"id\", "
                "\"useridLen\", \"userid\", \"keyLen\", \"key\"}, ...]}. Exit 2 when there is no table (the "
                "server makes it with its first registration).");
    app->add_flag("--show-keys", args.showKeys, "show the keys instead of masking them");
    app->add_flag("--json", args.json, "print the records as one JSON object, for scripts");
    return {app, listTable};
}
