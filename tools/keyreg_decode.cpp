// keyreg decode: a message decoded by the message decoder itself, with the
// key that the shared key table holds for its sender.
#include "keyreg_cli.h"

#include "Util.h"

#include <fcntl.h>
#include <nlohmann/json.hpp>
#include <sys/shm.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

namespace {

const char kCommand[] = "decode";
struct {
    std::string json;
} args;

// The decoder's table class attaches read-write and ends the process when it
// cannot or when the segment is too small: find out here, and say why.
bool tableIsUsable(int id, std::string& error) {
    struct shmid_ds info;
    if (shmctl(id, IPC_STAT, &info) != 0) {
        error = std::string("cannot inspect the key table: ") + strerror(errno);
        return false;
    }
    if (info.shm_segsz < kTableSlots * sizeof(shareMemoryItem)) {
        error = "the segment with IPC key " + std::to_string(kTableIpcKey) + " is " + std::to_string(info.shm_segsz) +
                " bytes, too small for the key table; it was not made by keyreg-server";
        return false;
    }
    void* addr = shmat(id, nullptr, 0);
    if (addr == reinterpret_cast<void*>(-1)) {
        error = std::string("cannot attach the key table for reading and writing: ") + strerror(errno) +
                " (decode as the user that runs keyreg-server)";
        return false;
    }
    shmdt(addr);
    return true;
}

// The table class announces an existing segment on standard output, which
// would end up in front of the decoded text.
bool attachTableQuietly(std::string& error) {
    fflush(stdout);
    int saved = dup(STDOUT_FILENO);
    int devnull = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (saved < 0 || devnull < 0 || dup2(devnull, STDOUT_FILENO) < 0) {
        error = std::string("cannot set up standard output: ") + strerror(errno);
        if (saved >= 0) close(saved);
        if (devnull >= 0) close(devnull);
        return false;
    }
    shareMemoryHandle::getSingleTon();
    fflush(stdout);
    bool restored = dup2(saved, STDOUT_FILENO) >= 0;
    close(saved);
    close(devnull);
    if (!restored) error = std::string("cannot restore standard output: ") + strerror(errno);
    return restored;
}

bool hasRecord(const std::string& userid) {
    shareMemoryItem record(-1);
    shareMemoryHandle::getSingleTon()->getItemByUserid(userid, record);
    return record.id >= 0;
}

int decode() {
    std::string error;
    int id = existingTableId(error);
    if (id < 0 || !tableIsUsable(id, error) || !attachTableQuietly(error)) return fail(kCommand, error);

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
    if (!hasRecord(userid))
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
                "USERID; exit 2 when there is no table or JSON is not such a message. Needs write access to the "
                "table (the server's user).");
    app->add_option("JSON", args.json, "the message")->required();
    return {app, decode};
}
