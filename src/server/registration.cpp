// The registration exchange: the allow list, the decision on a decrypted
// request, and the road of its record into the table. Touches the allow
// list, the table (through its singleton), the committer and, through
// connections, the reply.
#include "server/registration.h"

#include "Util.h"
#include "log/log_lines.h"
#include "server/allow_list.h"
#include "server/connections.h"
#include "state/committer.h"
#include "table/message_decode.h"

#include <cstdio>
#include <cstring>
#include <iostream>
#include <nlohmann/json.hpp>

bool isAllowed(const std::string& userid) {
    logText("", userid);
    return allowListHolds(userid);
}

namespace {

// The parser's description of an error ends with the bytes it read last,
// which may be a key: standard error goes to the journal, so they are cut.
std::string withoutBytesRead(const char* description) {
    std::string text(description);
    return text.substr(0, text.find("; last read: "));
}

nlohmann::json parseRequest(const std::string& text) {
    nlohmann::json request;
    try {
        request = parseJsonText(text.c_str());
    } catch (const nlohmann::json::parse_error& e) {
        std::cerr << "parse error " << withoutBytesRead(e.what()) << std::endl;
    }
    logLine("json unserilaze finish\n");
    return request;
}

// False unless the request is an object with string members "userid" and
// "key". Neither may hold a NUL: every reader of the table takes them as
// texts that end at the first one.
bool readRequest(const nlohmann::json& request, std::string& userid, std::string& key) {
    if (!request.is_object()) return false;
    auto useridMember = request.find("userid");
    auto keyMember = request.find("key");
    if (useridMember == request.end() || keyMember == request.end()) return false;
    if (!useridMember->is_string() || !keyMember->is_string()) return false;
    userid = useridMember->get<std::string>();
    key = keyMember->get<std::string>();
    return userid.find('\0') == std::string::npos && key.find('\0') == std::string::npos;
}

// Texts are copied by length into zeroed fields, which keeps their NUL.
shareMemoryItem makeRecord(const std::string& userid, const std::string& key) {
    shareMemoryItem item(-1);
    item.id = 0;
    item.useridLen = static_cast<int32_t>(userid.size());
    memcpy(item.userid, userid.data(), userid.size());
    item.keyLen = static_cast<int32_t>(key.size());
    memcpy(item.key, key.data(), key.size());
    return item;
}

}  // namespace

RegistrationDecision decideRegistration(const unsigned char* plain, int len) {
    RegistrationDecision decision = {RegistrationOutcome::Unreadable, shareMemoryItem(-1)};
    std::string text;
    if (len > 0) text.assign(reinterpret_cast<const char*>(plain), static_cast<size_t>(len));
    logText("mes:", text);
    nlohmann::json request = parseRequest(text);

    std::string userid;
    std::string key;
    if (!readRequest(request, userid, key)) return decision;
    logText("userid:", userid);
    if (!isAllowed(userid)) {
        decision.outcome = RegistrationOutcome::Refused;
    } else if (key.size() > static_cast<size_t>(kMaxKeyBytes) || userid.size() > static_cast<size_t>(kMaxUseridBytes)) {
        decision.outcome = RegistrationOutcome::TooLong;
    } else {
        decision.outcome = RegistrationOutcome::Allowed;
        decision.record = makeRecord(userid, key);
    }
    return decision;
}

const char* replyText(RegistrationOutcome outcome) {
    return outcome == RegistrationOutcome::Allowed ? kReplyOk : kReplyFailed;
}

namespace {

void answerCommitted(uint64_t token, CommitResult result) {
    RegistrationOutcome outcome = result == CommitResult::Stored   ? RegistrationOutcome::Allowed
                                  : result == CommitResult::NoRoom ? RegistrationOutcome::NoRoom
                                                                   : RegistrationOutcome::NotStored;
    answerHeldReply(ReplyTicket{token}, replyText(outcome));
}

}  // namespace

// Every request that is not a valid registration of an allowed user gets the
// same failure reply, whatever went wrong: a client learns nothing about
// padding or parsing from it.
void registerRequest(unsigned char* plain, int len, int fd) {
    RegistrationDecision decision = decideRegistration(plain, len);
    // With a state file, "ok" waits until the record is on disk.
    if (decision.outcome == RegistrationOutcome::Allowed && committing()) {
        submitRecord(decision.record, holdReply(fd).word);
        return;
    }
    if (decision.outcome == RegistrationOutcome::Allowed &&
        shareMemoryHandle::getSingleTon()->addItem(decision.record) != 0)
        decision.outcome = RegistrationOutcome::NoRoom;
    sendReply(fd, replyText(decision.outcome));
}

void startDurableRegistrationsOrExit(const std::string& path) { startCommitterOrExit(path, answerCommitted); }

void stopDurableRegistrations() { stopCommitter(); }
