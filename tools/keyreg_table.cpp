// keyreg table: the shared key table as any other process on the host sees
// it. The segment is only ever attached read-only here: the tool must never
// create, reset or change the server's table.
#include "keyreg_cli.h"

#include "table_reader.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

const char kCommand[] = "table";
struct {
    bool showKeys = false;
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

void printRecords(const TableView& table, bool showKeys) {
    printf("%4s  %4s  %-20s  %6s  %s\n", "slot", "id", "userid", "keylen", "key");
    size_t used = 0;
    for (int i = 0; i < table.slots; i++) {
        const shareMemoryItem& item = table.items[i];
        if (!holdsRecord(item)) continue;
        used++;
        size_t keyLen = strnlen(item.key, sizeof item.key);
        std::string key = showKeys ? printable(item.key, sizeof item.key) : std::string(keyLen, '*');
        printf("%4d  %4d  %-20s  %6zu  %s\n", i, item.id, printable(item.userid, sizeof item.userid).c_str(), keyLen,
               key.c_str());
    }
    printf("%zu of %d slots in use\n", used, table.slots);
}

int listTable() {
    std::string error;
    TableView table;
    if (!openTable(table, error)) return fail(kCommand, error);
    printRecords(table, args.showKeys);
    closeTableView(table);
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
                ") that keyreg-server fills: slot, record id, user id and key length. The table is read, never "
                "changed. Exit 2 when there is no table (the server makes it with its first registration).");
    app->add_flag("--show-keys", args.showKeys, "show the keys instead of masking them");
    return {app, listTable};
}
