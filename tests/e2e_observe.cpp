// What an operator watches: the audit lines on standard error (--audit) and
// the Prometheus endpoint (--metrics), read by Debian's own parser.
#include "harness.h"

#include <arpa/inet.h>

#include <map>
#include <thread>

namespace {

using harness::kFailed;
using harness::kOk;

using Observe = harness::ServerTest;

const int kMetricsPort = 9808;
const char kParse[] =
    "import sys\n"
    "from prometheus_client.parser import text_string_to_metric_families\n"
    "for f in text_string_to_metric_families(open(sys.argv[1]).read()):\n"
    "    for s in f.samples:\n"
    "        print(s.name + ''.join('{%s=%s}' % kv for kv in sorted(s.labels.items())), s.value)\n";

// Every sample of a GET of /metrics as name{label=value} → value.
std::map<std::string, double> scrape() {
    int fd = harness::connectTo(kMetricsPort);
    std::string response = harness::sendAll(fd, "GET /metrics HTTP/1.0\r\n\r\n") ? harness::readReply(fd, 1 << 20) : "";
    close(fd);
    harness::writeFile("metrics.txt", response.substr(response.find("\r\n\r\n") + 4));
    std::string out;
    std::map<std::string, double> samples;
    if (harness::runCommand({"/usr/bin/python3", "-c", kParse, "metrics.txt"}, &out) != 0) return samples;
    std::istringstream lines(out);
    for (std::string name, value; lines >> name >> value;) samples[name] = std::stod(value);
    return samples;
}

std::string peerOf(int fd) {
    sockaddr_in addr{};
    socklen_t len = sizeof addr;
    getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    return "peer=127.0.0.1:" + std::to_string(ntohs(addr.sin_port));
}

// One request of each outcome, each on a connection of its own: each has
// its audit line, and the parser reads counts that equal what was sent.
TEST_F(Observe, EachRequestHasItsAuditLineAndItsCount) {
    server.args = {"--audit", "--metrics", "127.0.0.1"};
    ASSERT_NO_FATAL_FAILURE(startServer());
    const std::string odd = "a\"b\\c\n\x01\xc3\xa9" + std::string(100, 'x');
    const struct {
        std::string block;
        std::string audit;  // after the peer
    } rows[] = {
        {request("dorvanek", "k"), " userid=\"dorvanek\" outcome=ok\n"},
        {request("tuvi", "k"), " userid=\"tuvi\" outcome=ok\n"},
        {request(odd, "k"), " userid=\"a\\\"b\\\\c\\x0a\\x01\\xc3\\xa9" + std::string(90, 'x') + "\" outcome=refused\n"},
        {request("talumesko", std::string(kMaxKeyBytes + 1, 'k')), " userid=\"talumesko\" outcome=too-long\n"},
        {harness::encryptFor(publicKey, "{\"userid\":\"dorvanek\"}"), " userid=\"dorvanek\" outcome=unreadable\n"},
        {std::string(256, '\x5a'), " outcome=unreadable\n"},
    };
    std::vector<int> fds;
    std::map<std::string, double> expected = {{"keyreg_connections_accepted_total", 6},
                                              {"keyreg_connections_open", 6},
                                              {"keyreg_request_duration_seconds_count", 6},
                                              {"keyreg_table_slots_used", 2},
                                              {"keyreg_allow_list_ids", 5},
                                              {"keyreg_build_info{version=" KEYREG_VERSION "}", 1}};
    for (const auto& row : rows) {
        fds.push_back(harness::connectTo());
        EXPECT_EQ(harness::sendAll(fds.back(), row.block) ? harness::readReply(fds.back()) : "",
                  row.audit.find("=ok") != std::string::npos ? kOk : kFailed) << row.audit;
        std::string outcome = row.audit.substr(row.audit.find("outcome=") + 8);
        expected["keyreg_requests_total{outcome=" + outcome.substr(0, outcome.size() - 1) + "}"]++;
    }
    std::string errors;
    auto lines = [&] { return harness::count(errors = harness::readFile(dir + "/stderr.log"), "keyreg-server: audit "); };
    ASSERT_TRUE(harness::waitUntil([&] { return lines() == 6; })) << errors;
    for (size_t i = 0; i < fds.size(); i++)
        EXPECT_EQ(harness::count(errors, "keyreg-server: audit " + peerOf(fds[i]) + rows[i].audit), 1u) << rows[i].audit << errors;
    std::map<std::string, double> samples = scrape();
    for (const auto& e : expected) EXPECT_EQ(samples[e.first], e.second) << e.first;
    for (int fd : fds) close(fd);
    EXPECT_TRUE(harness::waitUntil([] { return scrape()["keyreg_connections_open"] == 0; })) << "closed yet counted open";
    // The endpoint's port taken (here by this server): a second server ends its start.
    std::string err;
    EXPECT_EQ(harness::runCommand({KEYREG_SERVER_PATH, "--listen", "127.0.0.1:8802", "--metrics", "127.0.0.1"}, nullptr, &err), 255);
    EXPECT_NE(err.find("--metrics 127.0.0.1:9808: cannot serve: cannot bind"), std::string::npos) << err;
}

// Connections that send as fast as they can, every other request refused
// for a long user id: one line per request, each with its outcome, and no
// key on standard error. Two workers serve whole connections in a row, so
// their lines fill the buffer and go out as it fills.
TEST_F(Observe, UnderLoadOneAuditLinePerRequestAndNoKey) {
    server.args = {"--audit", "--workers", "2"};
    ASSERT_NO_FATAL_FAILURE(startServer());
    const int kClients = 4, kRequests = 100;
    const std::string marker = "Qz7MarkerKey";
    std::vector<std::string> blocks, peers(kClients), refused;
    for (int c = 0; c < kClients; c++) {
        refused.push_back("mallory" + std::to_string(c) + std::string(90, 'm'));
        blocks.push_back(request(harness::allowedIds()[c], marker + std::to_string(c)));
        blocks.push_back(request(refused[c], marker + "r" + std::to_string(c)));
    }
    std::vector<std::thread> clients;
    for (int c = 0; c < kClients; c++)
        clients.emplace_back([&, c] {
            int fd = harness::connectTo();
            peers[c] = peerOf(fd);
            std::string all, replies;
            for (int i = 0; i < kRequests; i++) all += blocks[2 * c + i % 2];
            for (int i = 0; i < kRequests; i++) replies += i % 2 ? kFailed : kOk;
            EXPECT_EQ(harness::sendAll(fd, all) ? harness::readReply(fd, replies.size()) : "", replies) << c;
            close(fd);
        });
    for (std::thread& t : clients) t.join();
    std::string errors;
    auto lines = [&] { return harness::count(errors = harness::readFile(dir + "/stderr.log"), "keyreg-server: audit "); };
    ASSERT_TRUE(harness::waitUntil([&] { return lines() >= kClients * kRequests; })) << errors;
    EXPECT_EQ(lines(), static_cast<size_t>(kClients * kRequests));
    for (int c = 0; c < kClients; c++) {
        std::string id = harness::allowedIds()[c];
        EXPECT_EQ(harness::count(errors, peers[c] + " userid=\"" + id + "\" outcome=ok\n"), 50u) << id;
        EXPECT_EQ(harness::count(errors, peers[c] + " userid=\"" + refused[c] + "\" outcome=refused\n"), 50u) << id;
    }
    EXPECT_EQ(errors.find(marker), std::string::npos) << "a key on standard error";
    EXPECT_NE(harness::readFile(dir + "/stdout.log").find(marker), std::string::npos) << "the keys never reached the server";
}

// With --state the "ok" is told once the record is on disk, by the
// committer, whose flush is timed.
TEST_F(Observe, TheCommitterTellsWhatItStored) {
    server.args = {"--audit", "--metrics", "127.0.0.1:9808", "--state", dir + "/keys.state"};
    ASSERT_NO_FATAL_FAILURE(startServer());
    ASSERT_EQ(registerOnce("vestimorank", "k"), kOk);
    std::string said = "userid=\"vestimorank\" outcome=ok\n";
    EXPECT_TRUE(harness::waitUntil([&] { return harness::readFile(dir + "/stderr.log").find(said) != std::string::npos; }))
        << server.log();
    std::map<std::string, double> samples = scrape();
    EXPECT_EQ(samples["keyreg_requests_total{outcome=ok}"], 1);
    EXPECT_GE(samples["keyreg_state_flush_duration_seconds_count"], 1);
    EXPECT_EQ(samples["keyreg_request_duration_seconds_count"], 1);
    EXPECT_GT(samples["keyreg_request_duration_seconds_sum"], 0);
}

}  // namespace
