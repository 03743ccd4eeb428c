#include "ModelHarness.h"
#include "support/EventLoop.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>


using namespace ringlark;
using namespace ringlark::test;
using Field = AppModel::Field;

namespace {

std::string requestsJson(int n)
{
    nlohmann::json list = nlohmann::json::array();
    for (int i = 0; i < n; ++i)
        list.push_back({{"id", "r" + std::to_string(i)}, {"status", "open"}, {"reason", "login"},
                        {"created_at", 1000}, {"updated_at", 1000}});
    return list.dump();
}

AppModel::Services servicesFor(const ModelHarness& harness)
{
    return harness.services();
}

} // namespace

TEST(AppModelPoll, UnreachableThenReachableThenLostKeepsLastValues)
{
    ModelHarness harness;
    auto& daemon = harness.daemon;
    AppModel model(servicesFor(harness));
    EXPECT_FALSE(model.daemonReachable());

    ASSERT_TRUE(await(model.poll()));
    EXPECT_FALSE(model.daemonReachable()); // 404: not a status
    EXPECT_FALSE(model.status().has_value());

    daemon.set("/v1/status", statusJson(true, 1));
    daemon.set("/v1/requests", requestsJson(1));
    daemon.set("/v1/pairing", R"({"url":"ringlark://pair?x"})");
    ASSERT_TRUE(await(model.poll()));
    EXPECT_TRUE(model.daemonReachable());
    ASSERT_TRUE(model.status().has_value());
    EXPECT_EQ(model.pending().size(), 1);
    ASSERT_TRUE(model.pairing().has_value());

    daemon.remove("/v1/status");
    ASSERT_TRUE(await(model.poll()));
    EXPECT_FALSE(model.daemonReachable());
    EXPECT_TRUE(model.status().has_value());
    EXPECT_EQ(model.pending().size(), 1);
    EXPECT_TRUE(model.pairing().has_value());
}

TEST(AppModelPoll, HelpRequestsAreFetchedOnlyWhenCountedAndKeptOnFailure)
{
    ModelHarness harness;
    auto& daemon = harness.daemon;
    daemon.set("/v1/pairing", R"({"url":"u"})");
    AppModel model(servicesFor(harness));
    Notifications seen(model);

    daemon.set("/v1/status", statusJson(true, 0));
    ASSERT_TRUE(await(model.poll()));
    EXPECT_EQ(daemon.count("/v1/requests"), 0);
    EXPECT_TRUE(model.pending().isEmpty());

    daemon.set("/v1/status", statusJson(true, 2));
    daemon.set("/v1/requests", requestsJson(2));
    ASSERT_TRUE(await(model.poll()));
    EXPECT_EQ(model.pending().size(), 2);

    // The list fails: the previous one stays, and observers still hear of it.
    daemon.set("/v1/requests", FakeDaemon::Reply{500, "boom", "text/plain"});
    const int before = seen[Field::pending];
    ASSERT_TRUE(await(model.poll()));
    EXPECT_EQ(model.pending().size(), 2);
    EXPECT_EQ(seen[Field::pending], before + 1);

    // A negative count is not zero either.
    daemon.set("/v1/status", statusJson(true, -1));
    daemon.set("/v1/requests", requestsJson(1));
    ASSERT_TRUE(await(model.poll()));
    EXPECT_EQ(model.pending().size(), 1);
}

TEST(AppModelPoll, PairingIsFetchedOnceWithoutWindowsAndEveryCycleWithOne)
{
    ModelHarness harness;
    auto& daemon = harness.daemon;
    daemon.set("/v1/status", statusJson(true, 0));
    daemon.set("/v1/pairing", R"({"url":"first"})");
    AppModel model(servicesFor(harness));

    for (int i = 0; i < 3; ++i)
        ASSERT_TRUE(await(model.poll()));
    EXPECT_EQ(daemon.count("/v1/pairing"), 1);
    EXPECT_EQ(model.pairing()->url, "first");

    model.windowAppeared();
    daemon.set("/v1/pairing", R"({"url":"second"})");
    for (int i = 0; i < 2; ++i)
        ASSERT_TRUE(await(model.poll()));
    EXPECT_EQ(daemon.count("/v1/pairing"), 3);
    EXPECT_EQ(model.pairing()->url, "second");

    // With a window open, a failed fetch clears the pairing.
    daemon.remove("/v1/pairing");
    ASSERT_TRUE(await(model.poll()));
    EXPECT_FALSE(model.pairing().has_value());

    // Tailscale unusable: cleared and not asked for, window or not.
    daemon.set("/v1/pairing", R"({"url":"third"})");
    ASSERT_TRUE(await(model.poll()));
    ASSERT_TRUE(model.pairing().has_value());
    daemon.clearSeen();
    daemon.set("/v1/status", statusJson(false, 0));
    ASSERT_TRUE(await(model.poll()));
    EXPECT_FALSE(model.pairing().has_value());
    EXPECT_EQ(daemon.count("/v1/pairing"), 0);
}

TEST(AppModelPoll, EqualStatusesArePublishedOnceWhileOtherFieldsEveryCycle)
{
    ModelHarness harness;
    auto& daemon = harness.daemon;
    daemon.set("/v1/status", statusJson(true, 0));
    daemon.set("/v1/pairing", R"({"url":"u"})");
    AppModel model(servicesFor(harness));
    Notifications seen(model);

    for (int i = 0; i < 3; ++i)
        ASSERT_TRUE(await(model.poll()));
    EXPECT_EQ(seen[Field::status], 1);
    EXPECT_EQ(seen[Field::daemonReachable], 3);
    EXPECT_EQ(seen[Field::pending], 3);
    EXPECT_EQ(seen[Field::now], 3);

    daemon.set("/v1/status", statusJson(true, 0, true, true, "1.1"));
    ASSERT_TRUE(await(model.poll()));
    EXPECT_EQ(seen[Field::status], 2);
    EXPECT_EQ(model.status()->version, "1.1");
}

TEST(AppModelPoll, CadenceFollowsOpenWindowsAndTheLoopHoldsTheModelWeakly)
{
    ModelHarness harness;
    auto& daemon = harness.daemon;
    daemon.set("/v1/status", statusJson(false, 0));
    auto services = servicesFor(harness);
    std::vector<std::chrono::nanoseconds> pauses;
    services.sleep = [&pauses](std::chrono::nanoseconds pause, TaskHandle token) {
        pauses.push_back(pause);
        return sleepFor(1ms, std::move(token));
    };
    auto* model = new AppModel(services);
    model->start();
    ASSERT_TRUE(spinUntil([&] { return pauses.size() >= 2; }));
    model->windowAppeared();
    model->windowAppeared();
    model->windowDisappeared();
    const size_t opened = pauses.size();
    ASSERT_TRUE(spinUntil([&] { return pauses.size() >= opened + 2; }));
    model->windowDisappeared();
    model->windowDisappeared(); // never below zero
    EXPECT_EQ(model->openWindows(), 0);
    const size_t closed = pauses.size();
    ASSERT_TRUE(spinUntil([&] { return pauses.size() >= closed + 2; }));

    EXPECT_EQ(pauses.front(), std::chrono::nanoseconds(2s));
    EXPECT_EQ(pauses[opened + 1], std::chrono::nanoseconds(1s));
    EXPECT_EQ(pauses.back(), std::chrono::nanoseconds(2s));

    // Deleting the model ends its loop; nothing touches the freed object.
    model->supervisor().stop();
    delete model;
    const size_t atDeletion = pauses.size();
    spinFor(50ms);
    EXPECT_LE(pauses.size(), atDeletion + 1);
}
