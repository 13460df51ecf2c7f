// The state file: what it gives back after appends and rewrites, and that
// a cut or a flipped byte anywhere is refused rather than loaded.
#include "harness.h"
#include "state_file.h"

#include <sys/stat.h>

namespace {

using harness::record;

std::vector<shareMemoryItem> load(const std::string& path, std::string& error) {
    StateFile file;
    std::vector<shareMemoryItem> records;
    error.clear();
    if (openStateFile(path, file, records, error)) closeStateFile(file);
    return records;
}

bool same(const std::vector<shareMemoryItem>& a, const std::vector<shareMemoryItem>& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); i++)
        if (!harness::sameRecord(a[i], b[i])) return false;
    return true;
}

// Made, appended in two batches, reopened, rewritten: each step reads back.
TEST(StateFile, KeepsWhatWasAppendedOrRewritten) {
    StateFile file;
    std::vector<shareMemoryItem> records;
    std::string error;
    ASSERT_TRUE(openStateFile("keys.state", file, records, error)) << error;
    struct stat st;
    ASSERT_EQ(stat("keys.state", &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    std::vector<shareMemoryItem> all = {record("a", "1"), record("b", "2"), record("a", "3")};
    ASSERT_TRUE(appendRecords(file, {all[0], all[1]}));
    ASSERT_TRUE(appendRecords(file, {all[2]}));
    closeStateFile(file);
    EXPECT_TRUE(same(load("keys.state", error), all)) << error;
    ASSERT_TRUE(openStateFile("keys.state", file, records, error));
    ASSERT_TRUE(rewriteStateFile(file, {all[1], all[2]}));
    closeStateFile(file);
    EXPECT_TRUE(same(load("keys.state", error), {all[1], all[2]})) << error;
}

// A crash after records were flushed but before the header that counts them:
// they were never acknowledged and stay out.
TEST(StateFile, RecordsBeyondTheCountAreLeftOut) {
    StateFile file;
    std::vector<shareMemoryItem> records;
    std::string error;
    ASSERT_TRUE(openStateFile("crash.state", file, records, error));
    ASSERT_TRUE(appendRecords(file, {record("a", "1")}));
    std::string header = harness::readFile("crash.state").substr(0, 512);
    ASSERT_TRUE(appendRecords(file, {record("a", "2")}));
    closeStateFile(file);
    std::string bytes = harness::readFile("crash.state");
    harness::writeFile("crash.state", header + bytes.substr(512));
    EXPECT_TRUE(same(load("crash.state", error), {record("a", "1")})) << error;
}

// Every shorter length, every byte flipped, another program's file and a
// newer format: refused, with a reason, as content at fault (errno 0).
TEST(StateFile, EveryCutAndEveryFlippedByteIsRefused) {
    StateFile file;
    std::vector<shareMemoryItem> records;
    std::string error;
    ASSERT_TRUE(openStateFile("good.state", file, records, error));
    ASSERT_TRUE(appendRecords(file, {record("a", "1"), record("b", "2")}));
    ASSERT_TRUE(appendRecords(file, {record("a", "3")}));
    closeStateFile(file);
    const std::string good = harness::readFile("good.state");
    std::vector<std::pair<std::string, std::string>> rows;
    for (size_t len = 0; len < good.size(); len++) rows.push_back({"cut to " + std::to_string(len), good.substr(0, len)});
    for (size_t at = 0; at < good.size(); at++) {
        std::string flipped = good;
        flipped[at] = static_cast<char>(flipped[at] ^ 0xff);
        rows.push_back({"byte " + std::to_string(at) + " flipped", flipped});
    }
    rows.push_back({"another program's file", std::string(600, 'x')});
    std::string newer = good;
    newer[8] = 2;
    rows.push_back({"a newer format", newer});
    for (const auto& row : rows) {
        std::vector<unsigned char> bytes(row.second.begin(), row.second.end());
        error.clear();
        EXPECT_FALSE(parseStateFile(bytes, records, error)) << row.first << ": loaded " << records.size();
        EXPECT_FALSE(error.empty()) << row.first;
    }
    EXPECT_NE(error.find("newer"), std::string::npos) << error;
    // Through the file, so that a caller can tell damage from a failed read.
    harness::writeFile("bad.state", rows[good.size() + 100].second);
    errno = -1;
    load("bad.state", error);
    EXPECT_EQ(errno, 0) << error;
}

}  // namespace
