#include "ModelHarness.h"
#include "support/EventLoop.h"

#include <gtest/gtest.h>

using namespace ringlark;
using namespace ringlark::test;
using Field = AppModel::Field;

namespace {

std::string requestsJson(int n)
{
    std::string list = "[";
    for (int i = 0; i < n; ++i)
        list += std::string(i ? "," : "") + R"({"id":"r)" + std::to_string(i)
            + R"(","status":"open","reason":"login","created_at":1,"updated_at":1})";
    return list + "]";
}

} // namespace

TEST(AppModelPoll, KeepsLastValuesWhenLostAndFetchesRequestsOnlyWhenCounted)
{
    ModelHarness harness;
    auto& daemon = harness.daemon;
    AppModel model(harness.services());
    Notifications seen(model);

    ASSERT_TRUE(await(model.poll())); // 404: not a status
    EXPECT_FALSE(model.daemonReachable());
    EXPECT_FALSE(model.status().has_value());

    daemon.set("/v1/status", statusJson(true, 0));
    daemon.set("/v1/pairing", R"({"url":"u"})");
    ASSERT_TRUE(await(model.poll()));
    EXPECT_TRUE(model.daemonReachable());
    EXPECT_EQ(daemon.count("/v1/requests"), 0);

    daemon.set("/v1/status", statusJson(true, 2));
    daemon.set("/v1/requests", requestsJson(2));
    ASSERT_TRUE(await(model.poll()));
    EXPECT_EQ(model.pending().size(), 2);

    // A list that fails, does not decode or is too long: the previous one
    // stays, observers still hear of it, and the log has one line per run of failures.
    static int logged = 0;
    const auto handler = qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString& message) {
        logged += message.startsWith("help requests not read");
    });
    const StubDaemon::Reply replies[] = { // a good list in between starts a new run
        {500, "boom", "text/plain"}, {200, R"([{"id":1}])"}, {200, std::string(requestListCap + 1, ' ')},
        {200, requestsJson(2)}, {500, "boom", "text/plain"}};
    for (const auto& reply : replies) {
        daemon.set("/v1/requests", reply);
        const int before = seen[Field::pending];
        ASSERT_TRUE(await(model.poll()));
        EXPECT_EQ(model.pending().size(), 2);
        EXPECT_EQ(seen[Field::pending], before + 1);
    }
    qInstallMessageHandler(handler);
    EXPECT_EQ(logged, 2);

    // A negative count is not zero either.
    daemon.set("/v1/status", statusJson(true, -1));
    daemon.set("/v1/requests", requestsJson(1));
    ASSERT_TRUE(await(model.poll()));
    EXPECT_EQ(model.pending().size(), 1);

    daemon.remove("/v1/status");
    ASSERT_TRUE(await(model.poll()));
    EXPECT_FALSE(model.daemonReachable());
    EXPECT_EQ(model.status()->pending, -1);
    EXPECT_EQ(model.pending().size(), 1);
    EXPECT_TRUE(model.pairing().has_value());
}

TEST(AppModelPoll, PairingIsFetchedOnceWithoutWindowsEveryCycleWithOneAndClearedWithoutTailscale)
{
    ModelHarness harness;
    auto& daemon = harness.daemon;
    daemon.set("/v1/status", statusJson(true, 0));
    daemon.set("/v1/pairing", R"({"url":"first"})");
    AppModel model(harness.services());

    for (int i = 0; i < 3; ++i)
        ASSERT_TRUE(await(model.poll()));
    EXPECT_EQ(daemon.count("/v1/pairing"), 1);

    model.windowAppeared();
    daemon.set("/v1/pairing", R"({"url":"second"})");
    for (int i = 0; i < 2; ++i)
        ASSERT_TRUE(await(model.poll()));
    EXPECT_EQ(daemon.count("/v1/pairing"), 3);
    EXPECT_EQ(model.pairing()->url, "second");

    daemon.remove("/v1/pairing"); // a failed fetch clears it
    ASSERT_TRUE(await(model.poll()));
    EXPECT_FALSE(model.pairing().has_value());

    daemon.set("/v1/pairing", R"({"url":"third"})");
    ASSERT_TRUE(await(model.poll()));
    daemon.clearSeen();
    daemon.set("/v1/status", statusJson(false, 0));
    ASSERT_TRUE(await(model.poll()));
    EXPECT_FALSE(model.pairing().has_value());
    EXPECT_EQ(daemon.count("/v1/pairing"), 0);
}

TEST(AppModelPoll, EqualStatusesArePublishedOnceWhileOtherFieldsEveryCycle)
{
    ModelHarness harness;
    harness.daemon.set("/v1/status", statusJson(true, 0));
    harness.daemon.set("/v1/pairing", R"({"url":"u"})");
    AppModel model(harness.services());
    Notifications seen(model);

    for (int i = 0; i < 3; ++i)
        ASSERT_TRUE(await(model.poll()));
    EXPECT_EQ(seen[Field::status], 1);
    EXPECT_EQ(seen[Field::daemonReachable], 3);
    EXPECT_EQ(seen[Field::pending], 3);
    EXPECT_EQ(seen[Field::now], 3);

    harness.daemon.set("/v1/status", statusJson(true, 0, true, true, "1.1"));
    ASSERT_TRUE(await(model.poll()));
    EXPECT_EQ(seen[Field::status], 2);
}

TEST(AppModelPoll, CadenceFollowsOpenWindowsAndTheLoopHoldsTheModelWeakly)
{
    ModelHarness harness;
    harness.daemon.set("/v1/status", statusJson(false, 0));
    auto services = harness.services();
    std::vector<std::chrono::nanoseconds> pauses;
    services.sleep = [&pauses](std::chrono::nanoseconds pause, TaskHandle token) {
        pauses.push_back(pause);
        return sleepFor(1ms, std::move(token));
    };
    auto* model = new AppModel(services);
    model->start();
    auto cycles = [&](size_t more) {
        const size_t target = pauses.size() + more;
        return spinUntil([&] { return pauses.size() >= target; });
    };
    ASSERT_TRUE(cycles(1));
    EXPECT_EQ(pauses.back(), std::chrono::nanoseconds(2s));
    model->windowAppeared();
    model->windowAppeared();
    model->windowDisappeared();
    ASSERT_TRUE(cycles(2));
    EXPECT_EQ(pauses.back(), std::chrono::nanoseconds(1s));
    model->windowDisappeared();
    model->windowDisappeared(); // never below zero
    EXPECT_EQ(model->openWindows(), 0);
    ASSERT_TRUE(cycles(2));
    EXPECT_EQ(pauses.back(), std::chrono::nanoseconds(2s));

    // Deleting the model ends its loop; nothing touches the freed object.
    model->supervisor().stop();
    delete model;
    const size_t atDeletion = pauses.size();
    spinFor(50ms);
    EXPECT_LE(pauses.size(), atDeletion + 1);
}
