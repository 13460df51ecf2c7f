// The message decoder fed arbitrary NUL-terminated texts, against a table
// that holds a few records (an ordinary key, an empty key, a key of the full
// 99 bytes, a key with bytes outside ASCII).
//
// Only the JSON reader's parse_error and type_error may come out of a decode;
// anything else, a sanitizer report included, is a crash. A decode that
// returns must leave the table alone, and its text can be no longer than the
// "mes" it came from and holds no NUL.
#include "Util.h"
#include "fuzz_support.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace {

const char kTarget[] = "fuzz_message";
const std::map<std::string, std::string> kStored = {
    {"dorvanek", "abc"},
    {"tuvi", ""},
    {"talumesko", std::string(99, 'k')},
    {"brenquolar", "\xc3\xa9t\xc3\xa9\x01\x7f"},
};
std::vector<shareMemoryItem> tableBefore;

const shareMemoryItem* table() { return shareMemoryHandle::getSingleTon()->items; }

void checkDecoded(const char* text, const std::string& decoded) {
    if (memcmp(tableBefore.data(), table(), sizeof(shareMemoryItem) * kTableSlots) != 0)
        fuzzFailure(kTarget, "a decode changed the table");
    // A decode that returned has read both members as strings.
    nlohmann::json message = nlohmann::json::parse(text);
    std::string id = message["id"].get<std::string>();
    std::string mes = message["mes"].get<std::string>();
    if (!kStored.count(id) && !decoded.empty()) fuzzFailure(kTarget, "a text was decoded for a user without a record");
    if (decoded.size() > mes.size()) fuzzFailure(kTarget, "the decoded text is longer than \"mes\"");
    if (decoded.find('\0') != std::string::npos) fuzzFailure(kTarget, "the decoded text holds a NUL");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    enterPrivateWorld(kTarget);
    silenceStandardOutput(kTarget);
    for (const auto& user : kStored) {
        shareMemoryItem item(-1);
        item.id = 0;
        item.useridLen = static_cast<int32_t>(user.first.size());
        memcpy(item.userid, user.first.data(), user.first.size());
        item.keyLen = static_cast<int32_t>(user.second.size());
        memcpy(item.key, user.second.data(), user.second.size());
        if (shareMemoryHandle::getSingleTon()->addItem(item) != 0) fuzzFailure(kTarget, "cannot store the records");
    }
    tableBefore.assign(table(), table() + kTableSlots);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<char> text(data, data + size);
    text.push_back('\0');
    std::unique_ptr<Message> message(MessageFactory::createMessage(MessageFactory::MESSAGE_CODE));
    try {
        message->deCodeMes(text.data(), static_cast<int>(size));
    } catch (const nlohmann::json::parse_error&) {
        return 0;
    } catch (const nlohmann::json::type_error&) {
        return 0;
    }
    checkDecoded(text.data(), message->mesText);
    return 0;
}
