// The real server: registrations and the table they leave, the replies to
// everything else, descriptor exhaustion, start-up and the daemon routine.
#include "harness.h"

#include <arpa/inet.h>
#include <netinet/tcp.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>

#include <algorithm>
#include <filesystem>
#include <csignal>
#include <thread>

namespace {

using harness::allowedIds;
using harness::record;
using harness::kFailed;
using harness::kOk;

// One request on an open connection, and its reply.
std::string ask(int fd, const std::string& bytes) {
    return harness::sendAll(fd, bytes) ? harness::readReply(fd) : "send failed";
}

using Server = harness::ServerTest;

// Each request gets exactly one failed reply per block and stores nothing,
// and the connection goes on serving.
TEST_F(Server, EveryInvalidRequestGetsExactlyOneFailedReply) {
    ASSERT_NO_FATAL_FAILURE(startServer());
    const std::string& id = allowedIds()[2];
    auto block = [this](const std::string& text) { return harness::encryptFor(publicKey, text); };
    std::string capital = id;
    capital[0] = static_cast<char>(toupper(capital[0]));
    const std::vector<std::pair<std::string, std::string>> rows = {
        {"id with a capital", request(capital, "k")},
        {"id not allowed", request("mallory", "k")},
        {"key one byte too long", request(id, std::string(kMaxKeyBytes + 1, 'k'))},
        {"not JSON", block("{\"userid\":\"" + id + "\"")},
        {"key not a string", block("{\"userid\":\"" + id + "\",\"key\":7}")},
        {"number beyond a double", block("{\"userid\":\"" + id + "\",\"key\":\"k\",\"n\":1e400}")},
        {"garbage of a block's size", std::string(256, '\x5a')},
        {"a lexer error after a key", block("{\"userid\":\"" + id + "\",\"key\":\"Sup3rSecr3t\\q\"}")},
    };
    int fd = harness::connectTo();
    for (const auto& row : rows) EXPECT_EQ(ask(fd, row.second), kFailed) << row.first;
    EXPECT_EQ(ask(fd, request(id, "valid")), kOk);
    ASSERT_EQ(shutdown(fd, SHUT_WR), 0);
    EXPECT_EQ(harness::readReply(fd), "") << "more replies than requests";
    EXPECT_TRUE(harness::sameRecord(harness::readTable().at(0), record(id, "valid"))) << "a refused request was stored";
    // Blocks that do not decrypt go on with a synthetic plaintext, never with a failure.
    EXPECT_EQ(server.log().find("size:-1"), std::string::npos) << "a block that did not decrypt took a road of its own";
    std::string errors = harness::readFile(dir + "/stderr.log");
    EXPECT_NE(errors.find("parse error "), std::string::npos) << errors;
    EXPECT_EQ(errors.find("Secr3t"), std::string::npos) << "a key on standard error: " << errors;
}

// TCP keeps no writer's pieces: however the blocks of one connection arrive,
// each whole block is one request with one reply, in order, and one
// private-key operation ("len:" in the log); a block that stops short is
// answered once no more comes.
TEST_F(Server, RequestsAreWholeBlocksHoweverTheyArrive) {
    ASSERT_NO_FATAL_FAILURE(startServer());
    std::vector<std::string> blocks;
    for (const std::string& id : allowedIds()) blocks.push_back(request(id, "framed " + id));
    std::string all;
    for (const std::string& b : blocks) all += b;
    const struct {
        const char* name;
        std::vector<std::string> writes;  // sent one by one, 100 ms apart
        size_t replies;
        const std::string& reply;
    } rows[] = {
        {"two blocks in one write", {blocks[0] + blocks[1]}, 2, kOk},
        {"five blocks in one write", {all}, 5, kOk},
        {"one block in two writes", {blocks[2].substr(0, 100), blocks[2].substr(100)}, 1, kOk},
        {"a block cut short", {blocks[3].substr(0, 30)}, 1, kFailed},
    };
    int fd = harness::connectTo();
    size_t answered = 0;
    for (const auto& row : rows) {
        for (const std::string& piece : row.writes) {
            ASSERT_TRUE(harness::sendAll(fd, piece));
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        std::string expected;
        for (size_t i = 0; i < row.replies; i++) expected += row.reply;
        EXPECT_EQ(harness::readReply(fd, expected.size()), expected) << row.name;
        answered += row.replies;
        EXPECT_TRUE(harness::waitUntil([&] { return harness::count(server.log(), "finish communicate") == answered; }))
            << row.name;
        EXPECT_EQ(harness::count(server.log(), "\nlen:"), answered) << row.name << ": private-key operations";
    }
    int oneByOne = harness::connectTo(), on = 1;
    ASSERT_EQ(setsockopt(oneByOne, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on), 0);
    for (char c : blocks[4]) ASSERT_TRUE(harness::sendAll(oneByOne, std::string(1, c)));
    EXPECT_EQ(harness::readReply(oneByOne), kOk) << "a block a byte at a time";
    EXPECT_EQ(harness::readReply(oneByOne, kReplySize, 500), "") << "more than one reply";
    EXPECT_TRUE(harness::waitUntil([&] { return harness::count(server.log(), "\nlen:") == answered + 1; }))
        << harness::count(server.log(), "\nlen:") - answered << " private-key operations for one block";
    for (size_t i = 0; i < blocks.size(); i++)
        EXPECT_STREQ(harness::readTable().at(i).key, ("framed " + allowedIds()[i]).c_str()) << allowedIds()[i];
}

// Lines wait a moment for company before they are written, on the loop and
// in the workers: with no request after the last, they still appear, and a
// worker kept busy by a request every 20 ms writes them after a few.
TEST_F(Server, LogLinesAppearWithinTheirLag) {
    server.args = {"--workers", "1"};
    ASSERT_NO_FATAL_FAILURE(startServer());
    int fd = harness::connectTo(), sent = 0;
    auto logged = [&] { return harness::readFile(dir + "/stdout.log").find("finish communicate") != std::string::npos; };
    for (const std::string block = request(allowedIds()[0], "k"); !logged() && sent < 30; sent++) {
        ASSERT_EQ(ask(fd, block), kOk);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_LT(sent, 15) << "lines waited for a full buffer";
    ASSERT_EQ(ask(fd, request(allowedIds()[0], "last")), kOk);  // its lines, just after a write of them all
    sent++;
    EXPECT_TRUE(harness::waitUntil([&] {
        std::string log = harness::readFile(dir + "/stdout.log");
        return harness::count(log, "receive n:") > 0 && harness::count(log, "finish communicate") == size_t(sent);
    }, 5000)) << "lines of an idle server held back";
    close(fd);
    const std::string log = harness::readFile(dir + "/stdout.log"), id = allowedIds()[0];
    EXPECT_NE(log.find("task id:0\n"), std::string::npos) << "tasks count from 0";
    EXPECT_NE(log.find("}\njson unserilaze finish\nuserid:" + id + "\n" + id + "\nfinish"), std::string::npos) << log;
}

int openDescriptors(pid_t pid) {
    std::error_code ignored;
    auto entries = std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ignored);
    return static_cast<int>(std::distance(entries, std::filesystem::directory_iterator()));
}

// Clients that reset before their reply, connect and leave, or send half a
// block and go: none keeps a descriptor, and the next client is served.
TEST_F(Server, ClientsThatResetOrLeaveHoldNoDescriptor) {
    ASSERT_NO_FATAL_FAILURE(startServer());
    const std::string block = request(allowedIds()[0], "k");
    // A connection kept open throughout: its descriptor is in the count from
    // the start, and no closing one is.
    int kept = harness::connectTo();
    ASSERT_EQ(ask(kept, block), kOk);
    const int settled = openDescriptors(server.pid);
    for (int i = 0; i < 20; i++) {
        int reset = harness::connectTo(), gone = harness::connectTo(), half = harness::connectTo();
        ASSERT_TRUE(harness::sendAll(reset, block) && harness::sendAll(half, block.substr(0, 10)));
        struct linger abort = {1, 0};
        ASSERT_EQ(setsockopt(reset, SOL_SOCKET, SO_LINGER, &abort, sizeof abort), 0);
        for (int fd : {reset, gone, half}) close(fd);
    }
    EXPECT_TRUE(harness::waitUntil([&] { return openDescriptors(server.pid) == settled; }))
        << openDescriptors(server.pid) << " descriptors open, " << settled << " before";
    EXPECT_EQ(ask(kept, request(allowedIds()[0], "after")), kOk);
}

// Clients beyond the descriptor limit are shed (closed at once) instead of
// left waiting; a request while no descriptor is left for the key file gets
// a reply, and service resumes once clients leave.
TEST_F(Server, AtTheDescriptorLimitPendingClientsAreShedAndServiceResumes) {
    const int limit = 64;
    ASSERT_NO_FATAL_FAILURE(startServer({"prlimit", "--nofile=" + std::to_string(limit), "--"}));
    const std::string& id = allowedIds()[0];
    int early = harness::connectTo();
    ASSERT_EQ(ask(early, request(id, "before")), kOk);
    std::vector<int> clients;
    for (int i = 0; i < limit + 16; i++) clients.push_back(harness::connectTo(kServerPort, true));
    EXPECT_TRUE(harness::waitUntil([&] {
        return std::any_of(clients.begin(), clients.end(), [](int fd) { return harness::closedByPeer(fd, 0); });
    })) << "no pending client was shed";
    std::string during = ask(early, request(id, "during"));
    EXPECT_TRUE(during == kOk || during == kFailed) << during.size() << " bytes";
    EXPECT_TRUE(server.alive()) << server.log();
    for (int fd : clients) close(fd);
    close(early);
    EXPECT_TRUE(harness::waitUntil([&] { return registerOnce(id, "after") == kOk || !server.alive(); }));
    EXPECT_TRUE(server.alive()) << server.log();
}

// A stop and a continue (a debugger, Ctrl-Z) interrupt the wait for events.
TEST_F(Server, IgnoresSigpipeAndServesOnAfterAStopAndAContinue) {
    ASSERT_NO_FATAL_FAILURE(startServer());
    const std::string proc = "/proc/" + std::to_string(server.pid) + "/status";
    std::string status = harness::readFile(proc);
    unsigned long long ignored = std::stoull(status.substr(status.find("SigIgn:") + 7), nullptr, 16);
    EXPECT_TRUE((ignored >> (SIGPIPE - 1)) & 1);
    ASSERT_EQ(kill(server.pid, SIGSTOP), 0);
    // A continue that comes before the stop took effect cancels it.
    ASSERT_TRUE(harness::waitUntil([&] { return harness::readFile(proc).find("State:\tT") != std::string::npos; }));
    ASSERT_EQ(kill(server.pid, SIGCONT), 0);
    EXPECT_EQ(registerOnce(allowedIds()[0], "k"), kOk) << server.log();
}

// 127.0.0.2 is local but not 127.0.0.1: only a wildcard bind answers it. The
// server's end of that connection closes first and so stays in TIME_WAIT,
// which a restart must bind past.
TEST_F(Server, ListensOnEveryAddressAndRestartsWhileThePortIsInTimeWait) {
    ASSERT_NO_FATAL_FAILURE(startServer());
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(kServerPort);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK + 1);
    ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0) << "not listening on every address";
    ASSERT_EQ(ask(fd, request(allowedIds()[0], "k")), kOk);
    server.stop(SIGKILL);
    EXPECT_TRUE(harness::closedByPeer(fd));
    close(fd);
    auto inTimeWait = [] {
        std::string out;
        harness::runCommand({"ss", "-Htan", "state", "time-wait", "sport", "= :" + std::to_string(kServerPort)}, &out);
        return !out.empty();
    };
    ASSERT_TRUE(harness::waitUntil(inTimeWait));
    ASSERT_NO_FATAL_FAILURE(startServer());
}

TEST(Daemon, CallerExitsZeroAndTheDaemonLeadsItsOwnSession) {
    int report[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, report), 0);
    fflush(nullptr);
    pid_t caller = fork();
    if (caller == 0) {
        createDamon();
        _exit(write(report[1], getsid(0) == getpid() ? "L" : "-", 1) == 1 ? 0 : 1);
    }
    close(report[1]);
    int status = 0;
    ASSERT_EQ(waitpid(caller, &status, 0), caller);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_EQ(harness::readReply(report[0], 1), "L") << "the daemon does not lead a session of its own";
}

// As an ordinary user with no process to spare, fork fails.
bool forksRefused = false;
TEST(Daemon, AFailedForkIsReported) {
    SKIP_UNLESS_PRIVATE_WORLD();
    EXPECT_EXIT(
        {
            rlimit none{};
            forksRefused = setgid(65534) == 0 && setuid(65534) == 0 && setrlimit(RLIMIT_NPROC, &none) == 0;
            if (!forksRefused) _exit(3);
            createDamon();
            _exit(4);
        },
        testing::ExitedWithCode(1), "fork error");
}

}  // namespace

// LeakSanitizer's check at exit starts a thread, which a process that may not
// fork cannot do.
extern "C" int __lsan_is_turned_off() { return forksRefused ? 1 : 0; }
