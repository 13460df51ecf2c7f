// The message decoder fed arbitrary texts, against a table holding a few
// keys (an empty one, one of the longest allowed, one with bytes beyond ASCII).
// Only the JSON reader's parse_error and type_error may come out of a
// decode; a text is decoded only for a user with a record, and it is no
// longer than its "mes".
#include "Util.h"

#include <nlohmann/json.hpp>
#include "epoll_et_server.h"
#include "fuzz_support.h"

#include <cstring>
#include <map>
#include <memory>
#include <vector>

namespace {

const char kTarget[] = "fuzz_message";
const std::map<std::string, std::string> kStored = {
    {"empty", ""}, {"full", std::string(kMaxKeyBytes, 'k')}, {"accents", "\xc3\xa9t\xc3\xa9\x01\x7f"}, {"plain", "abc"}};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    prepareFuzzing(kTarget);
    for (const auto& user : kStored) {
        shareMemoryItem item = harness::record(user.first, user.second);
        if (shareMemoryHandle::getSingleTon()->addItem(item) != 0) fuzzFailure(kTarget, "cannot store the records");
    }
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
    nlohmann::json parsed = nlohmann::json::parse(text.data());
    bool stored = kStored.count(parsed["id"].get<std::string>()) > 0;
    if (!stored && !message->mesText.empty()) fuzzFailure(kTarget, "a text was decoded for a user without a record");
    if (message->mesText.size() > parsed["mes"].get<std::string>().size())
        fuzzFailure(kTarget, "the decoded text is longer than \"mes\"");
    return 0;
}
