// Long polls against a real daemon: many at once, each ended exactly once, and
// requests whose agent went away.

#include "helper/HelperProcess.h"
#include "helper/RawHttp.h"

#include <gtest/gtest.h>

#include <algorithm>

using namespace ringlark::test;

namespace {

std::string createRequest(int port, const std::string& reason)
{
    return http(port, "/v1/requests", json{{"reason", reason}}.dump()).parsed().value("id", "");
}

std::string waitWire(const std::string& id, const std::string& token, int timeoutMs)
{
    return requestText("GET", "/v1/requests/" + id + "/wait?timeout_ms=" + std::to_string(timeoutMs), token, "localhost");
}

std::string stateOf(int port, const std::string& id)
{
    const auto open = http(port, "/v1/requests").parsed();
    return std::any_of(open.begin(), open.end(), [&](const json& r) { return r["id"] == id; }) ? "open" : "gone";
}

} // namespace

TEST(DaemonWaits, ManyParkedWaitsEachEndOnceWhenTheirRequestEnds)
{
    HelperRun daemon({"daemon"});
    ASSERT_TRUE(daemon.serving());
    const std::string token = daemon.token();
    const std::string socket = (daemon.home + "/.ringlark/daemon.sock").toStdString();

    constexpr int requests = 30, waitsEach = 10;
    std::vector<std::string> ids;
    std::vector<std::vector<int>> waiters(requests);
    for (int r = 0; r < requests; ++r) {
        ids.push_back(createRequest(daemon.port, "r" + std::to_string(r)));
        for (int w = 0; w < waitsEach; ++w) {
            const int fd = connectLocal(socket);
            ASSERT_GE(fd, 0);
            ASSERT_TRUE(sendAll(fd, waitWire(ids.back(), token, 20000)));
            waiters[r].push_back(fd);
        }
    }
    // A short wait times out by itself with the request still pending.
    const int brief = connectLocal(socket);
    const auto started = std::chrono::steady_clock::now();
    sendAll(brief, waitWire(ids[0], token, 60));
    const auto timedOut = readReply(brief, 2s);
    EXPECT_GE(std::chrono::steady_clock::now() - started, 55ms);
    EXPECT_EQ(json::parse(timedOut.body, nullptr, false)["status"], "pending");
    ::close(brief);

    // Status stays quick with 300 waits parked.
    for (int i = 0; i < 20; ++i) {
        const auto asked = std::chrono::steady_clock::now();
        ASSERT_EQ(http(daemon.port, "/v1/status").status, 200);
        EXPECT_LT(std::chrono::steady_clock::now() - asked, 200ms);
    }

    const char* endings[] = {"cancel", "resolve", "withdraw"};
    for (int r = 0; r < requests; ++r) {
        ASSERT_EQ(http(daemon.port, "/v1/requests/" + ids[r] + "/" + endings[r % 3], "").status, 200);
        const char* expected = r % 3 == 0 ? "dismissed" : r % 3 == 1 ? "resolved" : "withdrawn";
        for (int fd : waiters[r]) {
            const auto reply = readReply(fd, 500ms);
            EXPECT_EQ(reply.status, 200);
            const auto body = json::parse(reply.body, nullptr, false);
            EXPECT_EQ(body["id"], ids[r]);
            EXPECT_EQ(body["status"], expected);
        }
    }
    // Nothing more arrives on any of them: each ended exactly once.
    for (auto& group : waiters)
        for (int fd : group) {
            EXPECT_EQ(readReply(fd, 5ms).status, 0);
            ::close(fd);
        }
    EXPECT_EQ(http(daemon.port, "/v1/status").parsed()["pending"], 0);
}

TEST(DaemonWaits, ARequestOutlivesItsLastWaiterOnlyForTheGrace)
{
    HelperRun daemon({"daemon"}, {{"RINGLARK_ORPHAN_GRACE_MS", "150"}});
    ASSERT_TRUE(daemon.serving());
    const std::string token = daemon.token();
    const std::string socket = (daemon.home + "/.ringlark/daemon.sock").toStdString();

    const std::string killed = createRequest(daemon.port, "agent killed while waiting");
    const std::string between = createRequest(daemon.port, "agent killed between waits");
    const std::string back = createRequest(daemon.port, "agent reconnects in time");
    const std::string never = createRequest(daemon.port, "nobody ever waited");

    // Each wait is parked (no reply within 50 ms) before its agent goes.
    int fd = connectLocal(socket);
    sendAll(fd, waitWire(killed, token, 20000));
    EXPECT_EQ(readReply(fd, 50ms).status, 0);
    ::close(fd);
    EXPECT_EQ(exchangeOn(connectLocal(socket), waitWire(between, token, 1)).status, 200);
    fd = connectLocal(socket);
    sendAll(fd, waitWire(back, token, 20000));
    EXPECT_EQ(readReply(fd, 50ms).status, 0);
    ::close(fd);
    std::this_thread::sleep_for(30ms);
    const int again = connectLocal(socket);
    sendAll(again, waitWire(back, token, 20000));

    std::this_thread::sleep_for(400ms);
    EXPECT_EQ(stateOf(daemon.port, killed), "gone");
    EXPECT_EQ(stateOf(daemon.port, between), "gone");
    EXPECT_EQ(stateOf(daemon.port, back), "open");
    EXPECT_EQ(stateOf(daemon.port, never), "open");
    const auto withdrawn = exchangeOn(connectLocal(socket), waitWire(killed, token, 1000));
    EXPECT_EQ(json::parse(withdrawn.body, nullptr, false)["status"], "withdrawn");
    ::close(again);
}

TEST(DaemonWaits, PipelinedRequestsAndLargeRepliesArriveWholeAndInOrder)
{
    HelperRun daemon({"daemon"});
    ASSERT_TRUE(daemon.serving());
    const std::string token = daemon.token();
    const std::string socket = (daemon.home + "/.ringlark/daemon.sock").toStdString();
    const std::string field(1000, 'f');
    for (int i = 0; i < 100; ++i)
        ASSERT_EQ(http(daemon.port, "/v1/requests",
                       json{{"reason", field}, {"ask", field}, {"app", field}, {"title", field}, {"agent", field}}.dump())
                      .status,
                  201);

    // Three requests in one write; the middle reply is far larger than a socket buffer.
    const int fd = connectLocal(socket);
    ASSERT_TRUE(sendAll(fd, requestText("GET", "/v1/status", token, "localhost")
                                + requestText("GET", "/v1/requests", token, "localhost")
                                + requestText("GET", "/v1/status", token, "localhost")));
    std::string carry;
    const auto first = readReply(fd, 3s, &carry);
    const auto list = readReply(fd, 3s, &carry);
    const auto last = readReply(fd, 3s, &carry);
    ::close(fd);
    EXPECT_EQ(json::parse(first.body, nullptr, false)["pending"], 100);
    EXPECT_GT(list.body.size(), 500'000u);
    EXPECT_EQ(json::parse(list.body, nullptr, false).size(), 100u);
    EXPECT_EQ(json::parse(last.body, nullptr, false)["pending"], 100);
}
