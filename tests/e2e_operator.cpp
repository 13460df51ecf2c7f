// What an operator sets up for their own users: an allow-list file that a
// SIGHUP reads again, a listening address, and a check of a configuration
// before it is used.
#include "harness.h"

#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>

#include <atomic>
#include <filesystem>
#include <csignal>
#include <thread>

namespace {

using harness::kFailed;
using harness::kOk;

using Operator = harness::ServerTest;

// While one client registers dorvanek, on every list, as fast as it can, the
// list changes twice and a file with a duplicate is refused: dorvanek is
// never refused, an id is accepted or refused from the reload on, and the
// bad file leaves the list as it was.
TEST_F(Operator, AReloadUnderLoadChangesTheListFromTheNextRequestOn) {
    const std::string list = dir + "/allow-list";
    harness::writeFile(list, "# who may register\ndorvanek\ntalumesko\n");
    server.args = {"--allow-list", list};
    ASSERT_NO_FATAL_FAILURE(startServer());
    std::atomic<bool> done{false};
    std::atomic<int> steady{0}, refused{0};
    std::thread load([&] {
        int fd = harness::connectTo();
        const std::string block = request("dorvanek", "steady");
        while (!done && harness::sendAll(fd, block)) (harness::readReply(fd) == kOk ? steady : refused)++;
        close(fd);
    });
    auto reload = [&](const std::string& text, const std::string& said) {
        harness::writeFile(list, text);
        size_t before = harness::readFile(dir + "/stderr.log").size();
        kill(server.pid, SIGHUP);
        return harness::waitUntil([&] { return harness::readFile(dir + "/stderr.log").find(said, before) != std::string::npos; });
    };
    EXPECT_EQ(registerOnce("talumesko", "k"), kOk);
    EXPECT_EQ(registerOnce("tuvi", "k"), kFailed);
    ASSERT_TRUE(reload("dorvanek\ntuvi\n", "read again: 2 user ids")) << server.log();
    EXPECT_EQ(registerOnce("tuvi", "k"), kOk) << "an added id";
    EXPECT_EQ(registerOnce("talumesko", "k"), kFailed) << "a removed id";
    ASSERT_TRUE(reload("dorvanek\nvestimorank\ndorvanek\n", list + ":3: dorvanek is listed twice")) << server.log();
    EXPECT_EQ(registerOnce("tuvi", "k"), kOk) << "a bad file changed the list";
    EXPECT_EQ(registerOnce("vestimorank", "k"), kFailed) << "a bad file changed the list";
    done = true;
    load.join();
    EXPECT_GT(steady, 0);
    EXPECT_EQ(refused, 0) << "an id on every list was refused";
    EXPECT_TRUE(server.alive());
}

// The server listens where it is told and nowhere else; the tool reaches it
// with --host in the same forms.
TEST_F(Operator, ListensWhereItIsToldAndNowhereElse) {
    const struct {
        const char* listen;
        const char* serves;
        std::vector<std::string> refuses;
    } rows[] = {
        {"127.0.0.2", "127.0.0.2", {"127.0.0.1", "[::1]"}},
        {"[::1]:8801", "[::1]:8801", {"127.0.0.1:8801", "[::1]", "::1"}},
    };
    for (const auto& row : rows) {
        server.args = {"--listen", row.listen};
        ASSERT_NO_FATAL_FAILURE(startServer());
        auto reg = [&](const std::string& host) {
            std::string out, err;
            int status = harness::runCommand({KEYREG_TOOL_PATH, "register", "dorvanek", "k", "--host", host,
                                              "--pubkey", publicKey, "--timeout", "5"}, &out, &err);
            return std::to_string(status) + " " + out + err;
        };
        EXPECT_EQ(reg(row.serves), "0 ok\n") << row.listen;
        for (const std::string& host : row.refuses)
            EXPECT_NE(reg(host).find("2 keyreg register: cannot connect"), std::string::npos) << row.listen << ", " << host;
        server.stop();
    }
}

std::string listing(const std::string& folder) {
    std::string names;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(folder))
        names += entry.path().string() + " " + std::to_string(entry.is_regular_file() ? entry.file_size() : 0) + "\n";
    return names;
}

// --check names what is wrong, with the status a start would have ended
// with, and leaves no port, table or file behind.
TEST_F(Operator, CheckRefusesEachBadConfigurationAndTouchesNothing) {
    harness::writeFile("good-list", "dorvanek\n" + std::string(kMaxUseridBytes, 'x') + "\n");
    harness::writeFile("bad-list", "dorvanek\n\ndorvanek\n");
    harness::writeFile("long-list", std::string(kMaxUseridBytes + 1, 'x') + "\n");
    harness::writeFile("damaged.state", std::string(600, 'x'));
    ASSERT_EQ(mkdir("no-key", 0755) | mkdir("other-key", 0755), 0);
    harness::writeKeyPair("other-key");
    harness::writeFile("other-key/private.pem", harness::readFile("private.pem"));
    // The lock a running server holds on its state file.
    int lock = open("held.state.lock", O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    struct flock whole = {};
    whole.l_type = F_WRLCK;
    ASSERT_EQ(fcntl(lock, F_SETLK, &whole), 0);
    std::string group, gid;  // a group of this system other than root's, by name
    for (struct group* g; group.empty() && (g = getgrent()) != nullptr;)
        if (g->gr_gid != 0) group = g->gr_name, gid = "group " + group + " (gid " + std::to_string(g->gr_gid) + ")";
    endgrent();
    const struct {
        const char* name;
        const char* folder;
        std::vector<std::string> args;
        int status;
        std::string says;
    } rows[] = {
        {"a group of readers by name", ".", {"--readers", group}, 0, gid},
        {"a good configuration", ".", {"--allow-list", "good-list", "--state", "new.state"}, 0, "is fine"},
        {"a duplicate id", ".", {"--allow-list", "bad-list"}, 78, "bad-list:3: dorvanek is listed twice"},
        {"a user id too long", ".", {"--allow-list", "long-list"}, 78, "long-list:1: a user id has at most 99"},
        {"junk after an address", ".", {"--listen", "[::1]x"}, 2, "'[::1]x' is no ADDRESS"},
        {"no such group of readers", ".", {"--readers", "no-such-group"}, 78, "no such group"},
        {"a public.pem of another key", "other-key", {}, 78, "not the public half of private.pem"},
        {"no private.pem", "no-key", {}, 255, "private.pem cannot be read"},
        {"a damaged state file", ".", {"--state", "damaged.state"}, 65, "damaged.state: it is no keyreg state"},
        {"a state file in use", ".", {"--state", "held.state"}, 75, "held.state: "},
    };
    const std::string before = listing(dir);
    for (const auto& row : rows) {
        std::string command = "cd " + std::string(row.folder) + " && exec " KEYREG_SERVER_PATH " --check";
        for (const std::string& arg : row.args) command += " " + arg;
        std::string out, err;
        EXPECT_EQ(harness::runCommand({"sh", "-c", command}, &out, &err), row.status) << row.name << ": " << err;
        EXPECT_NE((out + err).find(row.says), std::string::npos) << row.name << ": " << out << err;
    }
    EXPECT_EQ(listing(dir), before) << "a file was written";
    EXPECT_TRUE(harness::readTable().empty()) << "a table was made";
    EXPECT_LT(harness::connectTo(), 0) << "a port was left listening";
    close(lock);
}

}  // namespace
