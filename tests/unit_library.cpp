// The C interface of the table library, as a program calls it, on the table
// of the test's own IPC world.
#include "harness.h"
#include "keyreg/table.h"

#include <nlohmann/json.hpp>
#include <sys/shm.h>
#include <sys/wait.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

namespace {

class Library : public ::testing::Test {
protected:
    void SetUp() override {
        SKIP_UNLESS_PRIVATE_WORLD();
        harness::removeTable();
    }
    void TearDown() override { harness::removeTable(); }
};

// What keyreg_table_open sets errno to in a process of the given user (0
// when it opens the table).
int openErrorAs(uid_t uid) {
    pid_t pid = fork();
    if (pid == 0) {
        if (uid != 0 && (setresgid(uid, uid, uid) != 0 || setresuid(uid, uid, uid) != 0)) _exit(255);
        keyreg_table* t = keyreg_table_open();
        _exit(t != nullptr ? 0 : errno);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST_F(Library, OpensATableOfTheRightSizeForAnyUserWhomItsModeLetsRead) {
    struct Row {
        const char* name;
        size_t bytes;  // 0: no segment
        int mode;
        uid_t uid;
        int error;
    } rows[] = {
        {"no table", 0, 0, 0, ENOENT},
        {"a segment too small", kTableRecordsBytes - 1, 0755, 0, EINVAL},
        {"an older server's segment", kTableRecordsBytes, 0755, 0, 0},
        {"another user, mode 0755", kTableBytes, 0755, 65534, 0},
        {"another user, mode 0700", kTableBytes, 0700, 65534, EACCES},
    };
    for (const Row& row : rows) {
        harness::removeTable();
        if (row.bytes > 0) {
            ASSERT_GE(shmget(kTableIpcKey, row.bytes, IPC_CREAT | row.mode), 0) << row.name;
        }
        EXPECT_EQ(openErrorAs(row.uid), row.error) << row.name;
    }
}

// The decoder's own result for a message, or "unchanged".
std::string decoderSays(const std::string& text) {
    std::unique_ptr<Message> message(MessageFactory::createMessage(MessageFactory::MESSAGE_CODE));
    message->mesText = "unchanged";
    std::vector<char> buf(text.begin(), text.end());
    buf.push_back('\0');
    message->deCodeMes(buf.data(), static_cast<int>(text.size()));
    return message->mesText;
}

TEST_F(Library, FindsListsAndDecodesAsTheDecoderDoes) {
    for (const char* id : {"alpha", "beta", "gamma"}) {
        shareMemoryItem item = harness::record(id, std::string("key of ") + id);
        ASSERT_EQ(shareMemoryHandle::getSingleTon()->addItem(item), 0);
    }
    ASSERT_EQ(shareMemoryHandle::getSingleTon()->removeItemById(0), 0);  // alpha's slot
    keyreg_table* t = keyreg_table_open();
    ASSERT_NE(t, nullptr);
    keyreg_record got;
    EXPECT_EQ(keyreg_table_get(t, "beta", &got), 1);
    shareMemoryItem beta = harness::record("beta", "key of beta");
    EXPECT_EQ(memcmp(&got, &beta, sizeof got), 0);
    for (const char* absent : {"alpha", "bet", "BETA", ""}) EXPECT_EQ(keyreg_table_get(t, absent, &got), 0) << absent;

    keyreg_record listed[KEYREG_TABLE_SLOTS];
    int slots[KEYREG_TABLE_SLOTS];
    ASSERT_EQ(keyreg_table_list(t, listed, slots, KEYREG_TABLE_SLOTS), 2);
    EXPECT_STREQ(listed[1].userid, "gamma");
    EXPECT_EQ(slots[1], 2);
    EXPECT_EQ(keyreg_table_list(t, listed, nullptr, 1), 1);

    const std::string message = nlohmann::json{{"id", "beta"}, {"mes", "12345678abc"}}.dump();
    const std::string expected = decoderSays(message);
    ASSERT_NE(expected, "unchanged");
    struct Row {
        const char* name;
        std::string message;
        size_t size;
        int result;
        int error;
    } rows[] = {
        {"a message for beta", message, 64, 1, 0},
        {"no key for the sender", R"({"id":"alpha","mes":"12345678"})", 64, 0, 0},
        {"no JSON", "{", 64, -1, EBADMSG},
        {"no \"mes\"", R"({"id":"beta"})", 64, -1, EBADMSG},
        {"room for the text and its NUL", message, expected.size() + 1, 1, 0},
        {"no room for the NUL", message, expected.size(), -1, ERANGE},
    };
    for (const Row& row : rows) {
        std::string text(row.size, 'x');
        errno = 0;
        EXPECT_EQ(keyreg_table_decode(t, row.message.c_str(), &text[0], row.size), row.result) << row.name;
        EXPECT_EQ(errno, row.error) << row.name;
        std::string left = row.result == 1 ? expected : row.result == 0 ? std::string(row.size, 'x') : text.c_str();
        EXPECT_STREQ(text.c_str(), left.c_str()) << row.name;
    }
    keyreg_table_close(t);
    for (int error : {ENOENT, EACCES, EINVAL, EAGAIN, EBADMSG, ERANGE})
        EXPECT_STRNE(keyreg_strerror(error), strerror(error)) << "no words of the library's own for " << error;
}

// Two threads share one handle while the table is made anew under them, each
// time past the handle's re-check time: they find the record or no table, and
// ThreadSanitizer sees no race between their looks at the handle.
TEST_F(Library, ThreadsShareAHandleWhileTheTableIsMadeAnew) {
    std::unique_ptr<shareMemoryHandle> writer(new shareMemoryHandle(kTableSlots, kTableIpcKey));
    shareMemoryItem item = harness::record("alpha", "k");
    ASSERT_EQ(writer->addItem(item), 0);
    keyreg_table* t = keyreg_table_open();
    ASSERT_NE(t, nullptr);
    std::atomic<bool> done{false};
    std::atomic<int> wrong{0};
    auto lookUp = [&] {
        for (keyreg_record out; !done;)
            if (keyreg_table_get(t, "alpha", &out) == 1 ? strcmp(out.key, "k") != 0 : errno != ENOENT) wrong++;
    };
    std::thread readers[2] = {std::thread(lookUp), std::thread(lookUp)};
    for (int round = 0; round < 4; round++) {
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
        shmdt(writer->items);
        harness::removeTable();
        writer.reset(new shareMemoryHandle(kTableSlots, kTableIpcKey));
        EXPECT_EQ(writer->addItem(item), 0);
    }
    done = true;
    for (std::thread& reader : readers) reader.join();
    EXPECT_EQ(wrong, 0);
    keyreg_table_close(t);
    shmdt(writer->items);
}

}  // namespace
