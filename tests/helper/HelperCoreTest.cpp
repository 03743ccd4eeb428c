#include "helper/RequestStore.h"

#include <gtest/gtest.h>

using namespace ringlark::helper;
using nlohmann::json;

TEST(RequestStore, EndsEachRequestOnceAndForgetsClosedOnesAfterAWhile)
{
    std::uint64_t now = 1'000'000;
    int nextId = 0;
    RequestStore store({[&] { return now; }, [&] { return "r" + std::to_string(++nextId); }, 1000});
    auto first = store.create({"log in", "the code", "Firefox", std::nullopt, "Codex"});
    auto open = store.create({"b", {}, {}, {}, {}});
    now += 15;
    EXPECT_TRUE(store.close(first.id, RequestStatus::dismissed));

    // A later ending, say the app's answer racing the agent's withdrawal, changes nothing.
    now += 5;
    auto ended = store.close(first.id, RequestStatus::resolved, "ok");
    ASSERT_TRUE(ended);
    EXPECT_EQ(ended->status, "dismissed");
    EXPECT_FALSE(ended->answer);
    EXPECT_EQ(ended->updatedAt, 1'000'015u);

    now += 5000;
    store.create({"c", {}, {}, {}, {}}); // creation is when old ones are dropped
    EXPECT_FALSE(store.find(first.id));
    EXPECT_TRUE(store.find(open.id));
}

TEST(Records, NewRequestsNeedAReasonAndRepliesSurviveBadInput)
{
    for (const json& bad : {json{{"ask", "a"}}, json{{"reason", "  \n"}}, json::array()})
        EXPECT_FALSE(parseNewRequest(bad)) << bad;
    EXPECT_TRUE(parseNewRequest({{"reason", "r"}, {"ask", nullptr}, {"extra", 1}}));

    EXPECT_EQ(pairingUrl("fd7a::1", 8641, "ab"), "ringlark://pair?host=[fd7a::1]:8641&token=ab");
    EXPECT_EQ(dumpJson(json("a\xff")), "\"a\xEF\xBF\xBD\"");
}
