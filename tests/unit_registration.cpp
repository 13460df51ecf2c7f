// The registration decision, one row per outcome, without a server; and the
// exchange's reply when the table has no room.
#include "harness.h"
#include "server/allow_list.h"
#include "server/registration.h"

#include <sys/socket.h>

namespace {

using harness::allowedIds;

RegistrationDecision decide(const std::string& text, int len = -2) {
    return decideRegistration(reinterpret_cast<const unsigned char*>(text.data()),
                              len == -2 ? static_cast<int>(text.size()) : len);
}

TEST(Registration, DecisionForEachKindOfPlaintext) {
    const std::string id = allowedIds()[0];
    const std::string longest(kMaxKeyBytes, 'k');
    struct Row {
        const char* name;
        std::string text;
        int len;
        RegistrationOutcome outcome;
    } rows[] = {
        {"allowed", R"({"key":"k3y","userid":")" + id + R"(","extra":1})", -2, RegistrationOutcome::Allowed},
        {"allowed, text ends at a NUL", R"({"userid":")" + id + R"(","key":"k3y"})" + std::string(1, '\0') + "junk",
         -2, RegistrationOutcome::Allowed},
        {"id in another case", R"({"userid":"DORVANEK","key":"k"})", -2, RegistrationOutcome::Refused},
        {"id not allowed", R"({"userid":"mallory","key":"k"})", -2, RegistrationOutcome::Refused},
        {"failed decryption", "", -1, RegistrationOutcome::Unreadable},
        {"not JSON", R"({"userid":")" + id + "\"", -2, RegistrationOutcome::Unreadable},
        {"not an object", R"(["userid","key"])", -2, RegistrationOutcome::Unreadable},
        {"key missing", R"({"userid":")" + id + "\"}", -2, RegistrationOutcome::Unreadable},
        {"key not a string", R"({"userid":")" + id + R"(","key":7})", -2, RegistrationOutcome::Unreadable},
        {"a NUL in the key", R"({"userid":")" + id + R"(","key":"\u0000longsecretkey"})", -2,
         RegistrationOutcome::Unreadable},
        {"a NUL in the id", R"({"userid":")" + id + R"(\u0000x","key":"k"})", -2, RegistrationOutcome::Unreadable},
        {"longest key", R"({"userid":")" + id + R"(","key":")" + longest + "\"}", -2, RegistrationOutcome::Allowed},
        {"key one byte too long", R"({"userid":")" + id + R"(","key":")" + longest + "k\"}", -2,
         RegistrationOutcome::TooLong},
    };
    for (const Row& row : rows) {
        RegistrationDecision decision = decide(row.text, row.len);
        EXPECT_EQ(decision.outcome, row.outcome) << row.name;
        EXPECT_STREQ(replyText(decision.outcome), row.outcome == RegistrationOutcome::Allowed ? "ok" : "communicate failed")
            << row.name;
    }
    shareMemoryItem expected = harness::record(id, "k3y");
    EXPECT_TRUE(harness::sameRecord(decide(rows[0].text).record, expected)) << "the record of an allowed request";
}

// Every slot holds another user id: an allowed request is refused, and the
// table stays as it was.
TEST(Registration, FullTableGetsTheFailedReply) {
    SKIP_UNLESS_PRIVATE_WORLD();
    shareMemoryHandle* table = shareMemoryHandle::getSingleTon();
    for (int i = 0; i < kTableSlots; i++) {
        shareMemoryItem item = harness::record("user-" + std::to_string(i), "k");
        ASSERT_EQ(table->addItem(item), 0);
    }
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
    std::string text = R"({"userid":")" + allowedIds()[0] + R"(","key":"k"})";
    processMes(reinterpret_cast<unsigned char*>(&text[0]), static_cast<int>(text.size()), pair[0]);
    EXPECT_EQ(harness::readReply(pair[1]), harness::kFailed);
    for (int i = 0; i < kTableSlots; i++) EXPECT_STRNE(table->items[i].userid, allowedIds()[0].c_str()) << i;
}

// What a line of an allow-list file holds, and what refuses the file.
TEST(AllowList, EachKindOfLine) {
    const struct {
        const char* name;
        std::string text;
        std::vector<std::string> ids;
        const char* error;  // "" when the file is a list
    } rows[] = {
        {"ids, blanks and comments", "dorvanek\n\n# a comment\n  # another\ntuvi", {"dorvanek", "tuvi"}, ""},
        {"CRLF and surrounding blanks", " dorvanek\t\r\nto vi \r\n", {"dorvanek", "to vi"}, ""},
        {"a duplicate", "a\nb\n a \n", {}, "3: a is listed twice, first on line 1"},
        {"one byte too long", "a\n" + std::string(kMaxUseridBytes + 1, 'x'), {}, "2: a user id has at most 99"},
        {"a control character", "a\x01" "b\n", {}, "1: a user id holds no control character"},
    };
    for (const auto& row : rows) {
        std::vector<std::string> ids;
        std::string error;
        EXPECT_EQ(parseAllowList(row.text, ids, error), *row.error == '\0') << row.name << ": " << error;
        if (*row.error == '\0') {
            EXPECT_EQ(ids, row.ids) << row.name;
        }
        EXPECT_EQ(error.rfind(row.error, 0), 0u) << row.name << ": " << error;
    }
}

}  // namespace
