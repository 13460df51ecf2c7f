// keyreg table: the shared key table as any other process on the host sees
// it. The segment is only ever attached read-only here: the tool must never
// create, reset or change the server's table.
#include "keyreg_cli.h"

#include "Util.h"

#include <sys/ipc.h>
#include <sys/shm.h>

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

void printRecords(const shareMemoryItem* items, size_t count, bool showKeys) {
    printf("%4s  %4s  %-20s  %6s  %s\n", "slot", "id", "userid", "keylen", "key");
    size_t used = 0;
    for (size_t i = 0; i < count; i++) {
        const shareMemoryItem& item = items[i];
        // A reader cannot mark never-written slots empty, so it skips them.
        if (item.id == -1 || neverWritten(item)) continue;
        used++;
        size_t keyLen = strnlen(item.key, sizeof item.key);
        std::string key = showKeys ? printable(item.key, sizeof item.key) : std::string(keyLen, '*');
        printf("%4zu  %4d  %-20s  %6zu  %s\n", i, item.id, printable(item.userid, sizeof item.userid).c_str(), keyLen,
               key.c_str());
    }
    printf("%zu of %zu slots in use\n", used, count);
}

int listTable() {
    std::string error;
    int id = existingTableId(error);
    if (id < 0) return fail(kCommand, error);
    struct shmid_ds info;
    if (shmctl(id, IPC_STAT, &info) != 0)
        return fail(kCommand, std::string("cannot inspect the key table: ") + strerror(errno));
    void* addr = shmat(id, nullptr, SHM_RDONLY);
    if (addr == reinterpret_cast<void*>(-1))
        return fail(kCommand, std::string("cannot attach the key table: ") + strerror(errno));
    size_t count = info.shm_segsz / sizeof(shareMemoryItem);
    printRecords(static_cast<const shareMemoryItem*>(addr), count, args.showKeys);
    if (shmdt(addr) != 0) return fail(kCommand, std::string("shmdt: ") + strerror(errno));
    return kExitOk;
}

}  // namespace

int existingTableId(std::string& error) {
    int id = shmget(kTableIpcKey, 0, 0);
    if (id >= 0) return id;
    std::string ipcKey = "IPC key " + std::to_string(kTableIpcKey);
    if (errno == ENOENT)
        error = "no key table: there is no shared-memory segment with " + ipcKey +
                " here. keyreg-server makes it when it stores its first key: start the server and register a key "
                "first.";
    else
        error = "cannot look up the key table (" + ipcKey + "): " + strerror(errno);
    return -1;
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
