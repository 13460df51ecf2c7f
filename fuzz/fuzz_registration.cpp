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

struct Expectation {
    Verdict verdict = Verdict::Refused;
    std::string userid;
    std::string key;
};

shareMemoryItem* table() { return shareMemoryHandle::getSingleTon()->items; }

std::vector<shareMemoryItem> snapshot() { return std::vector<shareMemoryItem>(table(), table() + kTableSlots); }

bool sameTable(const std::vector<shareMemoryItem>& before) {
    return memcmp(before.data(), table(), sizeof(shareMemoryItem) * kTableSlots) == 0;
}

bool allowed(const std::string& userid) {
    const std::vector<std::string>& ids = TcpServer::legalIdList;
    return std::find(ids.begin(), ids.end(), userid) != ids.end();
}

// What the exchange must make of the text, judged with the same JSON reader.
Expectation expectationFor(const std::string& plaintext) {
    Expectation e;
    nlohmann::json request;
    try {
        request = nlohmann::json::parse(plaintext.c_str());
    } catch (const nlohmann::json::exception&) {
        return e;
    }
    if (!request.is_object()) return e;
    auto userid = request.find("userid");
    auto key = request.find("key");
    if (userid == request.end() || key == request.end() || !userid->is_string() || !key->is_string()) return e;
    e.userid = userid->get<std::string>();
    e.key = key->get<std::string>();
    if (!allowed(e.userid)) return e;
    // A key longer than its field may be refused or shortened; either way
    // the record must keep its NUL, which the invariants below check.
    e.verdict = e.key.size() <= static_cast<size_t>(kMaxKeyBytes) ? Verdict::Stored : Verdict::EitherWay;
    return e;
}

std::string takeReply() {
    std::string bytes;
    char buf[512];
    for (;;) {
        ssize_t n = recv(clientEnd, buf, sizeof buf, MSG_DONTWAIT);
        if (n > 0) {
            bytes.append(buf, static_cast<size_t>(n));
        } else if (!(n < 0 && errno == EINTR)) {
            return bytes;
        }
    }
}

std::string reply(const char* text) {
    std::string r(kReplySize, '\0');
    r.replace(0, strlen(text), text);
    return r;
}

bool hasNul(const char* field, size_t size) { return memchr(field, 0, size) != nullptr; }

void checkRecordInvariants() {
    for (int i = 0; i < kTableSlots; i++) {
        const shareMemoryItem& item = table()[i];
        if (item.id == -1) continue;
        if (item.id != 0) fuzzFailure(kTarget, "a slot holds an id other than 0 and -1");
        if (item.keyLen < 0 || item.keyLen > kMaxKeyBytes) fuzzFailure(kTarget, "a record's keyLen is out of 0..99");
        if (!hasNul(item.key, sizeof item.key)) fuzzFailure(kTarget, "a key field has no NUL");
        if (!hasNul(item.userid, sizeof item.userid)) fuzzFailure(kTarget, "a userid field has no NUL");
        std::string userid(item.userid, static_cast<size_t>(std::max(0, std::min(item.useridLen, 99))));
        if (!allowed(userid)) fuzzFailure(kTarget, "a record for an id not on the allow list");
    }
}

const shareMemoryItem* recordOf(const std::string& userid) {
    for (int i = 0; i < kTableSlots; i++) {
        const shareMemoryItem& item = table()[i];
        if (item.id != -1 && strncmp(item.userid, userid.c_str(), sizeof item.userid) == 0) return &item;
    }
    return nullptr;
}

void checkStored(const Expectation& e) {
    const shareMemoryItem* item = recordOf(e.userid);
    if (item == nullptr) fuzzFailure(kTarget, "\"ok\" but no record for the id");
    if (item->useridLen != static_cast<int32_t>(e.userid.size())) fuzzFailure(kTarget, "wrong useridLen");
    if (item->keyLen != static_cast<int32_t>(e.key.size())) fuzzFailure(kTarget, "wrong keyLen");
    if (memcmp(item->key, e.key.data(), e.key.size()) != 0) fuzzFailure(kTarget, "the stored key differs");
    for (size_t i = e.key.size(); i < sizeof item->key; i++) {
        if (item->key[i] != 0) fuzzFailure(kTarget, "bytes after the key are not zero");
    }
}

// The selector's length: the whole plaintext, or anything from -1 to its size.
int lengthFor(uint8_t selector, size_t size) {
    if (selector < 0x80) return static_cast<int>(size);
    return static_cast<int>((selector - 0x80u) % (size + 2)) - 1;
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
    int len = lengthFor(data[0], textSize);
    unsigned char* plaintext = static_cast<unsigned char*>(malloc(textSize ? textSize : 1));
    if (plaintext == nullptr) return 0;
    memcpy(plaintext, data + 1, textSize);

    std::string seen = len > 0 ? std::string(reinterpret_cast<const char*>(plaintext), static_cast<size_t>(len)) : "";
    Expectation expected = expectationFor(seen);
    std::vector<shareMemoryItem> before = snapshot();

    processMes(plaintext, len, replyEnd);
    free(plaintext);

    std::string answer = takeReply();
    bool ok = answer == reply("ok");
    if (!ok && answer != reply("communicate failed")) fuzzFailure(kTarget, "the reply is not one of the two replies");
    checkRecordInvariants();
    switch (expected.verdict) {
        case Verdict::Refused:
            if (ok) fuzzFailure(kTarget, "\"ok\" for a request that must be refused");
            if (!sameTable(before)) fuzzFailure(kTarget, "a refused request changed the table");
            break;
        case Verdict::Stored:
            if (!ok) fuzzFailure(kTarget, "a valid registration was refused");
            checkStored(expected);
            break;
        case Verdict::EitherWay:
            if (!ok && !sameTable(before)) fuzzFailure(kTarget, "a refused request changed the table");
            break;
    }
    return 0;
}
