// The registration exchange: the allow list, the decision on a decrypted
// request, and the road of its record into the table. Touches the allow
// list, the table (through its singleton), the committer and, through
// connections, the reply.
#include "server/registration.h"

#include "Util.h"
#include "log/log_lines.h"
#include "metrics/metrics.h"
#include "server/allow_list.h"
#include "server/connections.h"
#include "state/committer.h"
#include "table/message_decode.h"
#include "table/table_reader.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
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

// The audit names the user id of any request that has a string one.
void keepUserid(const nlohmann::json& request, RegistrationDecision& decision) {
    auto member = request.find("userid");
    if (member == request.end() || !member->is_string()) return;
    const std::string& userid = member->get_ref<const std::string&>();
    decision.useridLen = static_cast<int>(std::min(userid.size(), sizeof decision.userid));
    memcpy(decision.userid, userid.data(), static_cast<size_t>(decision.useridLen));
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
    RegistrationDecision decision = {RegistrationOutcome::Unreadable, shareMemoryItem(-1), -1, {}};
    std::string text;
    if (len > 0) text.assign(reinterpret_cast<const char*>(plain), static_cast<size_t>(len));
    logText("mes:", text);
    nlohmann::json request = parseRequest(text);
    keepUserid(request, decision);

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

std::atomic<bool>& auditing() {
    static std::atomic<bool> on{false};
    return on;
}

RequestOutcome countedAs(RegistrationOutcome outcome) {
    switch (outcome) {
        case RegistrationOutcome::Allowed: return RequestOutcome::Ok;
        case RegistrationOutcome::Refused: return RequestOutcome::Refused;
        case RegistrationOutcome::Unreadable: return RequestOutcome::Unreadable;
        case RegistrationOutcome::TooLong: return RequestOutcome::TooLong;
        case RegistrationOutcome::NoRoom: return RequestOutcome::NoRoom;
        case RegistrationOutcome::NotStored: return RequestOutcome::NotStored;
    }
    return RequestOutcome::Unreadable;
}

// The journal and whoever reads it get no byte of a user id raw that could
// end the field or the line, or steer a terminal: below 0x20, above 0x7e, "
// and \ are written as \xNN, \" and \\.
std::string auditText(const char* text, int len) {
    std::string out;
    for (int i = 0; i < len; i++) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        char escaped[5];
        if (c == '"' || c == '\\') snprintf(escaped, sizeof escaped, "\\%c", c);
        else if (c < 0x20 || c > 0x7e) snprintf(escaped, sizeof escaped, "\\x%02x", c);
        else snprintf(escaped, sizeof escaped, "%c", c);
        out += escaped;
    }
    return out;
}

// Counted always; with --audit also told, gathered as the log is. useridLen
// is -1 for a request without a string user id.
void noteOutcome(RegistrationOutcome outcome, int fd, const char* userid, int useridLen) {
    RequestOutcome counted = countedAs(outcome);
    countRequest(counted);
    if (!auditing().load(std::memory_order_relaxed)) return;
    std::string peer = clientPeer(fd);
    if (useridLen < 0)
        logErrorLine("keyreg-server: audit peer=%s outcome=%s\n", peer.c_str(), outcomeName(counted));
    else
        logErrorLine("keyreg-server: audit peer=%s userid=\"%s\" outcome=%s\n", peer.c_str(),
                     auditText(userid, useridLen).c_str(), outcomeName(counted));
}

// On the committer's thread, once the record is on disk or failed: told
// before the answer, while the connection still waits for it.
void answerCommitted(uint64_t token, CommitResult result) {
    RegistrationOutcome outcome = result == CommitResult::Stored   ? RegistrationOutcome::Allowed
                                  : result == CommitResult::NoRoom ? RegistrationOutcome::NoRoom
                                                                   : RegistrationOutcome::NotStored;
    ReplyTicket ticket{token};
    std::string userid = auditing().load(std::memory_order_relaxed) ? heldUserid(ticket) : std::string();
    noteOutcome(outcome, eventFd(token), userid.data(), static_cast<int>(userid.size()));
    answerHeldReply(ticket, replyText(outcome));
}

// Slots that hold a record, through a read-only view of its own, as any
// reader sees them; -1 while a slot's write never finished.
double tableSlotsUsed() {
    TableView view;
    int err = openTableView(view);
    if (err != 0) return err == ENOENT ? 0 : -1;
    std::vector<shareMemoryItem> records(static_cast<size_t>(view.slots), shareMemoryItem(-1));
    int used = listRecords(view, records.data(), nullptr, view.slots);
    closeTableView(view);
    return used;
}

double allowListIds() { return static_cast<double>(allowListSize()); }

}  // namespace

// Every request that is not a valid registration of an allowed user gets the
// same failure reply, whatever went wrong: a client learns nothing about
// padding or parsing from it.
void registerRequest(unsigned char* plain, int len, int fd) {
    RegistrationDecision decision = decideRegistration(plain, len);
    // With a state file, "ok" waits until the record is on disk.
    if (decision.outcome == RegistrationOutcome::Allowed && committing()) {
        submitRecord(decision.record, holdReply(fd, useridOf(decision.record)).word);
        return;
    }
    if (decision.outcome == RegistrationOutcome::Allowed &&
        shareMemoryHandle::getSingleTon()->addItem(decision.record) != 0)
        decision.outcome = RegistrationOutcome::NoRoom;
    sendReply(fd, replyText(decision.outcome));
    noteOutcome(decision.outcome, fd, decision.userid, decision.useridLen);
}

void auditRequests() { auditing() = true; }

bool startRegistrationMetrics(const std::string& address, std::string& error) {
    return startMetricsEndpoint(address, KEYREG_VERSION, {tableSlotsUsed, allowListIds}, error);
}

void startDurableRegistrationsOrExit(const std::string& path) { startCommitterOrExit(path, answerCommitted); }

void stopDurableRegistrations() { stopCommitter(); }
