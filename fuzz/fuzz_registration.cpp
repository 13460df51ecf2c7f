// The registration exchange fed arbitrary decrypted plaintexts.
//
// Input: one selector byte, then the plaintext. A selector below 0x80 hands
// the whole plaintext over; any other selector picks a length from -1 (a
// failed decryption) up to the plaintext's size. The plaintext lies in a
// buffer of exactly its size, so a read past it is caught.
//
// Each call must write exactly one of the two 100-byte replies; a refused
// request must leave the table as it was; a registration of an allowed id
// with a key that fits must be stored byte for byte; and no record may ever
// hold a key of more than 99 bytes or a text field without its NUL.
#include "Util.h"
#include "epoll_et_server.h"
#include "fuzz_support.h"

#include <nlohmann/json.hpp>
#include <sys/socket.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

namespace {

const char kTarget[] = "fuzz_registration";
int replyEnd = -1;  // processMes writes its reply here
int clientEnd = -1;

enum class Verdict { Refused, Stored, EitherWay };

shareMemoryItem* table() { return shareMemoryHandle::getSingleTon()->items; }

bool allowed(const std::string& userid) {
    const std::vector<std::string>& ids = TcpServer::legalIdList;
    return std::find(ids.begin(), ids.end(), userid) != ids.end();
}

// What the exchange must make of the text, judged with the same JSON reader.
Verdict expectationFor(const std::string& plaintext, std::string& userid, std::string& key) {
    nlohmann::json request;
    try {
        request = nlohmann::json::parse(plaintext.c_str());
    } catch (const nlohmann::json::exception&) {
        return Verdict::Refused;
    }
    if (!request.is_object()) return Verdict::Refused;
    auto u = request.find("userid"), k = request.find("key");
    if (u == request.end() || k == request.end() || !u->is_string() || !k->is_string()) return Verdict::Refused;
    userid = u->get<std::string>();
    key = k->get<std::string>();
    if (!allowed(userid)) return Verdict::Refused;
    // A key longer than its field may be refused or shortened; either way
    // the record must keep its NUL, which checkRecords makes sure of.
    return key.size() <= static_cast<size_t>(kMaxKeyBytes) ? Verdict::Stored : Verdict::EitherWay;
}

std::string takeReply() {
    std::string bytes;
    char buf[512];
    for (ssize_t n; (n = recv(clientEnd, buf, sizeof buf, MSG_DONTWAIT)) > 0 || (n < 0 && errno == EINTR);) {
        if (n > 0) bytes.append(buf, static_cast<size_t>(n));
    }
    return bytes;
}

std::string reply(const char* text) {
    std::string r(kReplySize, '\0');
    return r.replace(0, strlen(text), text);
}

// Checks every record; the one of userid, or null.
const shareMemoryItem* checkRecords(const std::string& userid) {
    const shareMemoryItem* found = nullptr;
    for (int i = 0; i < kTableSlots; i++) {
        const shareMemoryItem& item = table()[i];
        if (item.id == -1) continue;
        if (item.id != 0) fuzzFailure(kTarget, "a slot holds an id other than 0 and -1");
        if (item.keyLen < 0 || item.keyLen > kMaxKeyBytes) fuzzFailure(kTarget, "a record's keyLen is out of 0..99");
        if (!memchr(item.key, 0, sizeof item.key)) fuzzFailure(kTarget, "a key field has no NUL");
        if (!memchr(item.userid, 0, sizeof item.userid)) fuzzFailure(kTarget, "a userid field has no NUL");
        std::string id(item.userid, static_cast<size_t>(std::max(0, std::min(item.useridLen, 99))));
        if (!allowed(id)) fuzzFailure(kTarget, "a record for an id not on the allow list");
        if (!found && strncmp(item.userid, userid.c_str(), sizeof item.userid) == 0) found = &item;
    }
    return found;
}

void checkStored(const shareMemoryItem* item, const std::string& userid, const std::string& key) {
    if (item == nullptr) fuzzFailure(kTarget, "\"ok\" but no record for the id");
    if (item->useridLen != static_cast<int32_t>(userid.size())) fuzzFailure(kTarget, "wrong useridLen");
    if (item->keyLen != static_cast<int32_t>(key.size())) fuzzFailure(kTarget, "wrong keyLen");
    std::string field(item->key, sizeof item->key);
    if (field != key + std::string(sizeof item->key - key.size(), '\0'))
        fuzzFailure(kTarget, "the stored key differs, or bytes after it are not zero");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    enterPrivateWorld(kTarget);
    silenceStandardOutput(kTarget);
    // Every unparsable text is reported on std::cerr; at fuzzing speed that
    // would drown libFuzzer's own output.
    std::cerr.rdbuf(nullptr);
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) fuzzFailure(kTarget, "socketpair failed");
    replyEnd = pair[0];
    clientEnd = pair[1];
    table();  // the segment is made (and emptied) before the first input
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    size_t textSize = size - 1;
    // The selector's length: the whole plaintext, or anything from -1 to its size.
    int len = data[0] < 0x80 ? static_cast<int>(textSize) : static_cast<int>((data[0] - 0x80u) % (textSize + 2)) - 1;
    unsigned char* plaintext = static_cast<unsigned char*>(malloc(textSize ? textSize : 1));
    if (plaintext == nullptr) return 0;
    memcpy(plaintext, data + 1, textSize);

    std::string userid, key;
    Verdict verdict = expectationFor(len > 0 ? std::string(data + 1, data + 1 + len) : "", userid, key);
    std::vector<shareMemoryItem> before(table(), table() + kTableSlots);
    processMes(plaintext, len, replyEnd);
    free(plaintext);

    std::string answer = takeReply();
    bool ok = answer == reply("ok");
    if (!ok && answer != reply("communicate failed")) fuzzFailure(kTarget, "the reply is not one of the two replies");
    const shareMemoryItem* record = checkRecords(userid);
    bool unchanged = memcmp(before.data(), table(), sizeof(shareMemoryItem) * kTableSlots) == 0;
    if (verdict == Verdict::Refused && ok) fuzzFailure(kTarget, "\"ok\" for a request that must be refused");
    if (verdict == Verdict::Stored && !ok) fuzzFailure(kTarget, "a valid registration was refused");
    if (!ok && !unchanged) fuzzFailure(kTarget, "a refused request changed the table");
    if (verdict == Verdict::Stored) checkStored(record, userid, key);
    return 0;
}
