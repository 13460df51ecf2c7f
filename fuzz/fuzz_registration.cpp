// The registration exchange fed arbitrary decrypted plaintexts. Input: a
// selector byte, then the plaintext (in a buffer of exactly its size). A
// selector below 0x80 hands the whole plaintext over; any other picks a
// length from -1 (a failed decryption) up to its size. Every call writes one
// of the two replies: "ok" exactly for an allowed id with a key that fits,
// whose record then holds the pair byte for byte; a refusal changes nothing.
#include "Util.h"
#include "epoll_et_server.h"
#include "fuzz_support.h"

#include <nlohmann/json.hpp>
#include <sys/socket.h>

#include <algorithm>
#include <cstring>
#include <iostream>
#include <vector>

namespace {

const char kTarget[] = "fuzz_registration";
int replyEnd = -1;  // processMes writes its reply here
int clientEnd = -1;

shareMemoryItem* table() { return shareMemoryHandle::getSingleTon()->items; }

// True when the server must store this text's pair, judged with the same JSON reader.
bool mustStore(const std::string& text, std::string& userid, std::string& key) {
    nlohmann::json request;
    try {
        request = nlohmann::json::parse(text.c_str());
    } catch (const nlohmann::json::exception&) {
        return false;
    }
    if (!request.is_object() || !request.contains("userid") || !request.contains("key")) return false;
    if (!request["userid"].is_string() || !request["key"].is_string()) return false;
    userid = request["userid"].get<std::string>();
    key = request["key"].get<std::string>();
    const std::vector<std::string>& ids = TcpServer::legalIdList;
    // Every reader of the table takes both as texts that end at a NUL: neither may hold one.
    if (userid.find('\0') != std::string::npos || key.find('\0') != std::string::npos) return false;
    return std::find(ids.begin(), ids.end(), userid) != ids.end() && key.size() <= static_cast<size_t>(kMaxKeyBytes);
}

std::string takeReply() {
    std::string bytes;
    char buf[512];
    for (ssize_t n; (n = recv(clientEnd, buf, sizeof buf, MSG_DONTWAIT)) > 0;) bytes.append(buf, static_cast<size_t>(n));
    return bytes;
}

bool storedExactly(const std::string& userid, const std::string& key) {
    shareMemoryItem expected = harness::record(userid, key);
    shareMemoryItem* end = table() + kTableSlots;
    return std::find_if(table(), end, [&](const shareMemoryItem& item) {
               return memcmp(&item, &expected, sizeof item) == 0;
           }) != end;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    prepareFuzzing(kTarget);
    std::cerr.rdbuf(nullptr);  // every unparsable text is reported there
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
    int len = data[0] < 0x80 ? static_cast<int>(textSize) : static_cast<int>((data[0] - 0x80u) % (textSize + 2)) - 1;
    std::unique_ptr<unsigned char[]> plaintext(new unsigned char[textSize ? textSize : 1]);
    memcpy(plaintext.get(), data + 1, textSize);
    std::string userid, key;
    bool store = mustStore(len > 0 ? std::string(data + 1, data + 1 + len) : "", userid, key);
    std::vector<shareMemoryItem> before(table(), table() + kTableSlots);

    processMes(plaintext.get(), len, replyEnd);
    std::string expected = store ? "ok" : "communicate failed";
    expected.resize(kReplySize, '\0');
    if (takeReply() != expected) fuzzFailure(kTarget, "not the one reply this request must get");
    if (!store && memcmp(before.data(), table(), sizeof(shareMemoryItem) * kTableSlots) != 0)
        fuzzFailure(kTarget, "a refused request changed the table");
    if (store && !storedExactly(userid, key)) fuzzFailure(kTarget, "the record differs from the request");
    return 0;
}
