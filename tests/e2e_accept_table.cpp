// The accept path never gives up and never spins; a table segment made
// beforehand and a key file of any size serve registrations.
#include "harness.h"
#include "log/log_lines.h"
#include "keyreg/table.h"

#include <sys/shm.h>

#include <thread>
#include <utility>

namespace {

using harness::allowedIds;
using harness::kOk;

using AcceptAndTable = harness::ServerTest;

// Each class of accept error and what it gets, the server serving on: a
// connection's pending network error and an aborted connection are retried
// at once, unlogged (the retry timer would rescue them too, but later and
// with a log line); a shortage of descriptors, buffers or memory sheds the
// waiting client, or is retried on the timer where the shed fails too; any
// other error is retried on the timer. An error that repeats is logged once.
TEST_F(AcceptAndTable, EveryClassOfAcceptErrorLeavesTheServerServing) {
    const struct {
        const char* error;
        const char* calls;   // the accept4 calls that fail
        const char* logged;  // "" for nothing
        bool shed;
    } rows[] = {
        {"ENETDOWN", "1..2", "", false},
        {"ECONNABORTED", "1..2", "", false},
        {"EPERM", "1..2", "accept error: Operation not permitted", false},
        {"ENFILE", "1", "accept error: Too many open files in system", true},
        // the shed's own accept fails too: the client raises no second event
        {"EMFILE", "1..2", "accept error: Too many open files", false},
        {"ENOBUFS", "1", "accept error: No buffer space available", true},
        {"ENOMEM", "1", "accept error: Cannot allocate memory", true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.error);
        STRACE_OR_SKIP(strace, std::string("accept4:error=") + row.error + ":when=" + row.calls);
        // strace counts each thread's calls: one worker makes them one count.
        server.args = {"--workers", "1"};
        ASSERT_NO_FATAL_FAILURE(startServer(strace));
        int first = harness::connectTo();
        EXPECT_TRUE(harness::waitUntil([&] { return registerOnce(allowedIds()[0], "k") == kOk || !server.alive(); }));
        EXPECT_TRUE(server.alive()) << server.log();
        EXPECT_EQ(harness::closedByPeer(first, 0), row.shed) << "the first client, whose accept failed";
        close(first);
        std::string log = server.log();
        EXPECT_EQ(harness::count(log, "accept error"), *row.logged == '\0' ? 0u : 1u) << log;
        if (*row.logged != '\0') { EXPECT_EQ(harness::count(log, row.logged), 1u) << log; }
        server.stop();
    }
}

// A key file out of reach for a moment (the system's file table full) fails
// the request that meets it, and only that one.
TEST_F(AcceptAndTable, AKeyFileOutOfReachFailsOneRequestOnly) {
    STRACE_OR_SKIP(strace, "openat:error=ENFILE:when=1");
    strace.insert(strace.begin() + 1, {"-P", "private.pem"});
    server.args = {"--workers", "1"};  // strace counts each thread's calls
    ASSERT_NO_FATAL_FAILURE(startServer(strace));
    EXPECT_EQ(registerOnce(allowedIds()[0], "k"), harness::kFailed);
    EXPECT_EQ(registerOnce(allowedIds()[0], "k"), kOk);
    EXPECT_TRUE(server.alive()) << server.log();
}

// Idle clients hold every descriptor and nothing is pending: the server must
// write nothing (a retry loop logs dozens of lines a second). Once clients
// leave, the next one is served.
TEST_F(AcceptAndTable, AtTheDescriptorLimitWithNothingPendingTheServerIsSilent) {
    ASSERT_NO_FATAL_FAILURE(startServer({"prlimit", "--nofile=64", "--"}));
    std::vector<int> clients;
    for (int i = 0; i < 80; i++) clients.push_back(harness::connectTo(kServerPort, true));
    auto nothingPending = [] {  // the accept queue length of the listener, from /proc/net/tcp
        char listener[64];
        snprintf(listener, sizeof listener, ":%04X 00000000:0000 0A 00000000:00000000", kServerPort);
        return harness::readFile("/proc/net/tcp").find(listener) != std::string::npos;
    };
    ASSERT_TRUE(harness::waitUntil(nothingPending)) << "connections stayed pending";
    ASSERT_TRUE(harness::waitUntil([&] { return harness::closedByPeer(clients.back(), 0); }));
    // Lines may go out up to kLogLagMillis after their event: what is logged
    // is read once the log has stopped growing.
    size_t logged = server.log().size();
    ASSERT_TRUE(harness::waitUntil([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(4 * kLogLagMillis));
        size_t now = server.log().size();
        return std::exchange(logged, now) == now;
    }));
    std::this_thread::sleep_for(std::chrono::seconds(2));
    EXPECT_EQ(server.log().size(), logged) << server.log().substr(logged, 2000);
    for (int i = 0; i < 4; i++) close(clients[static_cast<size_t>(i)]);
    EXPECT_TRUE(harness::waitUntil([&] { return registerOnce(allowedIds()[0], "k") == kOk || !server.alive(); }));
    EXPECT_TRUE(server.alive()) << server.log();
}

// A zero-filled segment of the records' size, as another tool or an older
// server leaves it: without sequence numbers, which the server says once, and
// readers of the library still find the records.
TEST_F(AcceptAndTable, ZeroFilledSegmentMadeBeforehandServesRegistrations) {
    ASSERT_GE(shmget(kTableIpcKey, kTableRecordsBytes, IPC_CREAT | 0755), 0);
    ASSERT_NO_FATAL_FAILURE(startServer());
    EXPECT_EQ(registerOnce(allowedIds()[0], "k"), kOk);
    EXPECT_EQ(registerOnce(allowedIds()[1], "k"), kOk);
    EXPECT_TRUE(harness::sameRecord(harness::readTable().at(0), harness::record(allowedIds()[0], "k")));
    std::string log = server.log();
    size_t said = log.find("has no sequence numbers");
    EXPECT_NE(said, std::string::npos) << log;
    EXPECT_EQ(log.find("has no sequence numbers", said + 1), std::string::npos) << "said twice: " << log;
    keyreg_table* t = keyreg_table_open();
    keyreg_record out;
    EXPECT_EQ(keyreg_table_get(t, allowedIds()[1].c_str(), &out), 1);
    keyreg_table_close(t);
}

// The PEM readers skip text before the key block, however long.
TEST_F(AcceptAndTable, KeyFileWithALongPreambleDecrypts) {
    std::string preamble;
    while (preamble.size() < 70 * 1000) preamble += "A line of text before the key, as some tools write it.\n";
    harness::writeFile(dir + "/private.pem", preamble + harness::readFile(dir + "/private.pem"));
    ASSERT_NO_FATAL_FAILURE(startServer());
    EXPECT_EQ(registerOnce(allowedIds()[0], "k"), kOk) << server.log().substr(0, 2000);
    EXPECT_TRUE(server.alive());
}

}  // namespace
