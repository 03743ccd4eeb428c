#include "helper/Mcp.h"
#include "helper/RequestStore.h"

#include <gtest/gtest.h>

#include <thread>

using namespace ringlark::helper;
using namespace std::chrono_literals;

namespace {

struct FakeTime {
    std::uint64_t now = 1'000'000;
    int nextId = 0;
    RequestStore::Options options(std::uint64_t keepClosedMs = 60'000)
    {
        return {[this] { return now; }, [this] { return "r" + std::to_string(++nextId); }, keepClosedMs};
    }
};

} // namespace

TEST(RequestStore, EndsEachRequestOnceAndStampsTheEnding)
{
    FakeTime time;
    RequestStore store(time.options());
    auto first = store.create({"log in", "the code", "Firefox", std::nullopt, "Codex"});
    time.now += 15;
    auto ended = store.close(first.id, RequestStatus::dismissed);
    ASSERT_TRUE(ended);
    EXPECT_EQ(ended->status, "dismissed");
    EXPECT_EQ(ended->createdAt, 1'000'000u);
    EXPECT_EQ(ended->updatedAt, 1'000'015u);

    // A later ending changes nothing, not even the time.
    time.now += 5;
    auto again = store.close(first.id, RequestStatus::resolved, "ok");
    EXPECT_EQ(again->status, "dismissed");
    EXPECT_FALSE(again->answer);
    EXPECT_EQ(again->updatedAt, 1'000'015u);
    EXPECT_FALSE(store.close("unknown", RequestStatus::dismissed));
    EXPECT_EQ(store.openCount(), 0);
}

TEST(RequestStore, ForgetsClosedRequestsAfterAWhileButNeverOpenOnes)
{
    FakeTime time;
    RequestStore store(time.options(1000));
    auto closed = store.create({"a", {}, {}, {}, {}});
    auto open = store.create({"b", {}, {}, {}, {}});
    store.close(closed.id, RequestStatus::withdrawn);
    time.now += 5000;
    store.create({"c", {}, {}, {}, {}}); // creation is when old ones are dropped
    EXPECT_FALSE(store.find(closed.id));
    EXPECT_TRUE(store.find(open.id));
}

TEST(RequestStore, ShutdownWakesEveryWaiter)
{
    RequestStore store;
    auto request = store.create({"wait", {}, {}, {}, {}});
    std::thread stopper([&] {
        std::this_thread::sleep_for(20ms);
        store.shutdown();
    });
    const auto started = std::chrono::steady_clock::now();
    auto found = store.awaitClosed(request.id, 5s);
    stopper.join();
    EXPECT_LT(std::chrono::steady_clock::now() - started, 2s);
    ASSERT_TRUE(found);
    EXPECT_TRUE(found->isOpen());
}

TEST(Records, NewRequestsNeedAReasonAndTextFields)
{
    auto full = parseNewRequest({{"reason", "r"}, {"ask", "a"}, {"app", "p"}, {"title", "t"}, {"agent", "Codex"}});
    ASSERT_TRUE(full);
    EXPECT_EQ(full->ask, "a");
    EXPECT_EQ(full->agent, "Codex");
    EXPECT_TRUE(parseNewRequest({{"reason", "r"}, {"ask", nullptr}, {"extra", 1}}));

    auto missing = parseNewRequest({{"ask", "a"}});
    ASSERT_FALSE(missing);
    EXPECT_NE(missing.error().find("reason"), std::string::npos);
    EXPECT_FALSE(parseNewRequest({{"reason", "  \n"}}));
    auto wrongType = parseNewRequest({{"reason", "r"}, {"app", 3}});
    ASSERT_FALSE(wrongType);
    EXPECT_NE(wrongType.error().find("app"), std::string::npos);
    EXPECT_FALSE(parseNewRequest({{"reason", 1}}));
    EXPECT_FALSE(parseNewRequest(nlohmann::json::array()));

    EXPECT_EQ(pairingUrl("100.1.2.3", 8641, "ab"), "ringlark://pair?host=100.1.2.3:8641&token=ab");
    EXPECT_EQ(pairingUrl("fd7a::1", 8641, "ab"), "ringlark://pair?host=[fd7a::1]:8641&token=ab");
    // Invalid UTF-8 from a caller never breaks a reply.
    EXPECT_EQ(dumpJson(nlohmann::json("a\xff")), "\"a\xEF\xBF\xBD\"");
}

TEST(McpProtocol, SortsLinesIntoRepliesCallsAndCancels)
{
    using nlohmann::json;
    auto ping = mcp::handleLine(R"({"jsonrpc":"2.0","id":"a","method":"ping"})");
    ASSERT_TRUE(ping.reply);
    EXPECT_EQ((*ping.reply)["id"], "a");

    auto invalid = [](const char* line) {
        auto step = mcp::handleLine(line);
        return step.reply ? (*step.reply)["error"]["code"].get<int>() : 0;
    };
    EXPECT_EQ(invalid("[1,2]"), mcp::ErrorCode::invalidRequest);
    EXPECT_EQ(invalid(R"({"jsonrpc":"1.0","id":1,"method":"ping"})"), mcp::ErrorCode::invalidRequest);
    EXPECT_EQ(invalid(R"({"jsonrpc":"2.0","id":{"x":1},"method":"ping"})"), mcp::ErrorCode::invalidRequest);
    EXPECT_EQ(invalid(R"({"jsonrpc":"2.0","id":1,"method":"tools/call","params":{}})"), mcp::ErrorCode::invalidParams);

    // Answers from the client and unknown notifications need nothing from us.
    auto quiet = [](const char* line) {
        auto step = mcp::handleLine(line);
        return !step.reply && !step.call && !step.cancel;
    };
    EXPECT_TRUE(quiet(R"({"jsonrpc":"2.0","id":3,"result":{}})"));
    EXPECT_TRUE(quiet(R"({"jsonrpc":"2.0","method":"notifications/roots/list_changed"})"));

    auto cancel = mcp::handleLine(R"({"jsonrpc":"2.0","method":"notifications/cancelled","params":{"requestId":"c1"}})");
    EXPECT_EQ(cancel.cancel, json("c1"));

    auto call = mcp::handleLine(R"({"jsonrpc":"2.0","id":9,"method":"tools/call","params":{"name":"request_human",)"
                                R"("arguments":{"reason":"r","agent":"Impostor"},"_meta":{"progressToken":17}}})");
    ASSERT_TRUE(call.call);
    EXPECT_FALSE(call.reply);
    EXPECT_EQ(call.call->id, 9);
    EXPECT_EQ(call.call->progressToken, json(17));
    EXPECT_FALSE(call.call->request.agent); // the agent comes from the environment only
}

TEST(McpProtocol, EndingsTellTheAgentWhatHappened)
{
    using mcp::Ending;
    const auto timeout = std::chrono::milliseconds(660'000);
    auto done = mcp::endingResult(Ending::resolved, std::nullopt, timeout);
    EXPECT_EQ(done["isError"], false);
    EXPECT_EQ(done["content"][0]["type"], "text");
    for (auto ending : {Ending::dismissed, Ending::withdrawn, Ending::timedOut, Ending::lost, Ending::daemonDown})
        EXPECT_EQ(mcp::endingResult(ending, std::nullopt, timeout)["isError"], true);
    const std::string late = mcp::endingResult(Ending::timedOut, std::nullopt, timeout)["content"][0]["text"];
    EXPECT_NE(late.find("11 minutes"), std::string::npos);
}
