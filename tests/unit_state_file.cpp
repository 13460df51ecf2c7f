// The state file: what it gives back after appends and rewrites, and that
// a cut or a flipped byte anywhere is refused rather than loaded.
#include "harness.h"
#include "state/state_file.h"

#include <zlib.h>

namespace {

using harness::record;

std::vector<shareMemoryItem> load(const std::string& path, std::string& error, int* status = nullptr) {
    StateFile file;
    std::vector<shareMemoryItem> records;
    error.clear();
    int opened = openStateFile(path, file, records, error);
    closeStateFile(file);
    if (status) *status = opened;
    return opened == 0 ? records : std::vector<shareMemoryItem>();
}

bool same(const std::vector<shareMemoryItem>& a, const std::vector<shareMemoryItem>& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); i++)
        if (!harness::sameRecord(a[i], b[i])) return false;
    return true;
}

// Made by its first rewrite, appended in batches, reopened, rewritten: each
// step reads back.
TEST(StateFile, KeepsWhatWasAppendedOrRewritten) {
    StateFile file;
    std::vector<shareMemoryItem> records;
    std::string error;
    ASSERT_EQ(openStateFile("keys.state", file, records, error), 0) << error;
    ASSERT_TRUE(rewriteStateFile(file, {}));
    std::vector<shareMemoryItem> all = {record("a", "1"), record("b", "2"), record("a", "3")};
    ASSERT_TRUE(appendRecords(file, {all[0], all[1]}));
    ASSERT_TRUE(appendRecords(file, {all[2]}));
    EXPECT_TRUE(same(load("keys.state", error), all)) << error;
    closeStateFile(file);
    ASSERT_EQ(openStateFile("keys.state", file, records, error), 0);
    ASSERT_TRUE(rewriteStateFile(file, {all[1], all[2]}));
    closeStateFile(file);
    EXPECT_TRUE(same(load("keys.state", error), {all[1], all[2]})) << error;
}

// What a crash can leave of the batch in flight, which was never
// acknowledged, stays out: the batch's later sector on disk without its first,
// and, in a file of the first format, entries beyond the header's count.
TEST(StateFile, AnUnfinishedBatchIsLeftOut) {
    StateFile file;
    std::vector<shareMemoryItem> records;
    std::string error;
    ASSERT_EQ(openStateFile("crash.state", file, records, error), 0);
    ASSERT_TRUE(rewriteStateFile(file, {}));
    ASSERT_TRUE(appendRecords(file, {record("a", "1")}));
    ASSERT_TRUE(appendRecords(file, {record("a", "2"), record("b", "2")}));
    closeStateFile(file);
    const std::string good = harness::readFile("crash.state");
    std::string firstSectorLost = good;
    firstSectorLost.replace(512 + 256, 256, 256, '\0');
    std::string firstFormat = good;
    const uint32_t format = 1;
    const uint64_t count = 1;
    firstFormat.replace(8, 4, reinterpret_cast<const char*>(&format), 4);
    firstFormat.replace(16, 8, reinterpret_cast<const char*>(&count), 8);
    firstFormat.replace(24, 8, 8, '\0');
    uint32_t sum = static_cast<uint32_t>(crc32(0L, reinterpret_cast<const Bytef*>(firstFormat.data()), 508));
    firstFormat.replace(508, 4, reinterpret_cast<const char*>(&sum), 4);
    for (const auto& row : {std::make_pair("first sector lost", firstSectorLost), {"first format", firstFormat}}) {
        harness::writeFile("crash.state", row.second);
        EXPECT_TRUE(same(load("crash.state", error), {record("a", "1")})) << row.first << ": " << error;
    }
}

// Every shorter length, every byte flipped in the entries of a rewrite, of
// the log and beyond it (sampled over the room, all zeros), a lost sector,
// a byte after the last entry, another program's file and a newer format:
// refused, with a reason, as content at fault (65).
TEST(StateFile, EveryCutAndEveryFlippedByteIsRefused) {
    StateFile file;
    std::vector<shareMemoryItem> records;
    std::string error;
    ASSERT_EQ(openStateFile("good.state", file, records, error), 0);
    ASSERT_TRUE(rewriteStateFile(file, {record("a", "1"), record("b", "2")}));
    ASSERT_TRUE(appendRecords(file, {record("a", "3")}));
    closeStateFile(file);
    const std::string good = harness::readFile("good.state");
    const size_t used = 512 + 4 * 256;  // the header, three entries and the zero entry that ends the log
    auto refused = [&](const std::string& name, const std::string& bad) {
        std::vector<unsigned char> bytes(bad.begin(), bad.end());
        error.clear();
        EXPECT_FALSE(parseStateFile(bytes, records, error)) << name << ": loaded " << records.size();
        EXPECT_FALSE(error.empty()) << name;
    };
    for (size_t len = 0; len < good.size(); len += len < used ? 1 : 4093) refused("cut to " + std::to_string(len), good.substr(0, len));
    refused("last byte cut", good.substr(0, good.size() - 1));
    for (size_t at = 0; at < good.size(); at += at < used ? 1 : 1021) {
        std::string flipped = good;
        flipped[at] = static_cast<char>(flipped[at] ^ 0xff);
        refused("byte " + std::to_string(at) + " flipped", flipped);
    }
    std::string zeroed = good;
    refused("a counted entry read back as zeros", zeroed.replace(512, 256, 256, '\0'));
    refused("a byte after the last entry", good + '\x01');
    refused("another program's file", std::string(600, 'x'));
    std::string newer = good;
    newer[8] = 3;
    refused("a newer format", newer);
    EXPECT_NE(error.find("newer"), std::string::npos) << error;
    // Through the file, so that a caller can tell damage from a failed read.
    harness::writeFile("bad.state", good.substr(0, good.size() / 2));
    int status = 0;
    load("bad.state", error, &status);
    EXPECT_EQ(status, kExitStateUntrusted) << error;
}

}  // namespace
