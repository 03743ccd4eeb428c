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

TEST(RequestStore, ListsAndCountsOnlyOpenRequestsAndEndsEachOnce)
{
    FakeTime time;
    RequestStore store(time.options());
    auto first = store.create({"log in", "the code", "Firefox", std::nullopt, "Codex"});
    time.now += 10;
    auto second = store.create({"approve", {}, {}, {}, {}});
    EXPECT_EQ(first.createdAt, 1'000'000u);
    EXPECT_EQ(store.openCount(), 2);

    time.now += 5;
    auto ended = store.close(first.id, RequestStatus::dismissed);
    ASSERT_TRUE(ended);
    EXPECT_EQ(ended->status, "dismissed");
    EXPECT_EQ(ended->updatedAt, 1'000'015u);
    EXPECT_EQ(ended->createdAt, 1'000'000u);

    // A later ending changes nothing, not even the time.
    time.now += 5;
    auto again = store.close(first.id, RequestStatus::resolved, "ok");
    EXPECT_EQ(again->status, "dismissed");
    EXPECT_FALSE(again->answer);
    EXPECT_EQ(again->updatedAt, 1'000'015u);
    EXPECT_FALSE(store.close("unknown", RequestStatus::dismissed));

    ASSERT_EQ(store.open().size(), 1u);
    EXPECT_EQ(store.open()[0].id, second.id);
    EXPECT_EQ(store.openCount(), 1);
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

TEST(RequestStore, WaitersWakeOnEndingTimeOutOrShutdown)
{
    RequestStore store;
    auto request = store.create({"wait", {}, {}, {}, {}});

    auto started = std::chrono::steady_clock::now();
    auto stillOpen = store.awaitClosed(request.id, 30ms);
    ASSERT_TRUE(stillOpen);
    EXPECT_TRUE(stillOpen->isOpen());
    EXPECT_GE(std::chrono::steady_clock::now() - started, 28ms);
    EXPECT_FALSE(store.awaitClosed("unknown", 5s));

    std::thread closer([&] {
        std::this_thread::sleep_for(20ms);
        store.close(request.id, RequestStatus::resolved, "done it");
    });
    started = std::chrono::steady_clock::now();
    auto ended = store.awaitClosed(request.id, 5s);
    closer.join();
    EXPECT_LT(std::chrono::steady_clock::now() - started, 2s);
    EXPECT_EQ(ended->status, "resolved");
    EXPECT_EQ(ended->answer, "done it");

    auto other = store.create({"other", {}, {}, {}, {}});
    std::thread stopper([&] {
        std::this_thread::sleep_for(20ms);
        store.shutdown();
    });
    started = std::chrono::steady_clock::now();
    store.awaitClosed(other.id, 5s);
    stopper.join();
    EXPECT_LT(std::chrono::steady_clock::now() - started, 2s);
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
}

TEST(Records, HelpRequestJsonLeavesOutAbsentFields)
{
    HelpRequest request{"id1", "pending", "why", std::nullopt, "T", std::nullopt, 5, 6, "what", std::nullopt};
    EXPECT_EQ(toJson(request), (nlohmann::json{{"id", "id1"},
                                               {"status", "pending"},
                                               {"reason", "why"},
                                               {"title", "T"},
                                               {"created_at", 5},
                                               {"updated_at", 6},
                                               {"ask", "what"}}));
    // Invalid UTF-8 from a caller never breaks the reply.
    EXPECT_EQ(dumpJson(nlohmann::json("a\xff")), "\"a\xEF\xBF\xBD\"");
}
