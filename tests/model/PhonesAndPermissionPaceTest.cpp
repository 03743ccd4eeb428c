#include "ModelHarness.h"
#include "support/EventLoop.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

using namespace ringlark;
using namespace ringlark::test;
using Field = AppModel::Field;

namespace {

std::string withPhones(long long devices, bool screenRecording = true, bool accessibility = true)
{
    auto status = nlohmann::json::parse(statusJson(true, 0, screenRecording, accessibility));
    status["push"]["devices"] = devices;
    return status.dump();
}

const std::string twoPhones =
    R"([{"id":"p1","name":"Pixel","paired_at":1,"last_seen":2,"push":true},)"
    R"({"id":"p/2","name":"iPhone","paired_at":3,"push":false}])";

} // namespace

TEST(PairedDevices, DecodeStrictlyAsAWholeList)
{
    const std::string good = R"({"id":"a","name":"Pixel","paired_at":1,"push":true)";
    const std::pair<std::string, std::optional<PairedDevice>> cases[] = {
        {good + "}", PairedDevice{"a", "Pixel", 1, std::nullopt, true}},
        {good + R"(,"last_seen":null})", PairedDevice{"a", "Pixel", 1, std::nullopt, true}},
        {good + R"(,"last_seen":18446744073709551615,"this":true})", PairedDevice{"a", "Pixel", 1, UINT64_MAX, true}},
        {good + R"(,"last_seen":-1})", std::nullopt},
        {good + R"(,"last_seen":"2"})", std::nullopt},
    };
    for (const auto& [json, expected] : cases) {
        const auto list = decode<QList<PairedDevice>>(QByteArray::fromStdString("[" + json + "]"));
        EXPECT_EQ(list ? std::optional(list->front()) : std::nullopt, expected) << json;
    }
    EXPECT_EQ(decode<QList<PairedDevice>>("[]").value(), QList<PairedDevice>{});
    EXPECT_FALSE(decode<QList<PairedDevice>>(QByteArray::fromStdString("[" + good + "}, {}]")));
    EXPECT_FALSE(decode<QList<PairedDevice>>(R"({"devices":[]})"));
}

TEST(PairedDevices, RemovingSendsDeleteWithAJsonBodyOnOneSegment)
{
    StubDaemon daemon;
    const DaemonAccess token{[](bool) { return std::optional(QByteArray(StubDaemon::defaultToken)); }, {}};
    const LocalAPI api(daemon.base(), {}, token);
    daemon.set("/v1/devices/p%2F2", "{}");
    const auto removed = await(api.removeDevice("p/2"), 3000ms);
    ASSERT_TRUE(removed && *removed);
    const auto unknown = await(api.removeDevice("gone"), 3000ms);
    ASSERT_TRUE(unknown && !*unknown);
    EXPECT_EQ(unknown->error().code(), 404);

    const auto seen = daemon.seen();
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(std::tie(seen[0].method, seen[0].path, seen[0].body, seen[0].contentType),
              std::tie("DELETE", "/v1/devices/p%2F2", "{}", "application/json"));
}

TEST(PairedDevices, FetchedWhileAWindowIsOpenOrWhenTheirNumberChanges)
{
    ModelHarness harness;
    auto& daemon = harness.daemon;
    daemon.set("/v1/devices", twoPhones);
    AppModel model(harness.services());
    Notifications seen(model);
    auto cycle = [&](const std::string& status) {
        daemon.set("/v1/status", status);
        EXPECT_TRUE(await(model.poll()));
        return daemon.count("/v1/devices");
    };

    // The first count is news; an idle daemon with the same count is not asked again.
    EXPECT_EQ(cycle(withPhones(2)), 1);
    ASSERT_EQ(model.devices().size(), 2);
    EXPECT_EQ(model.devices()[1], (PairedDevice{"p/2", "iPhone", 3, std::nullopt, false}));
    EXPECT_EQ(cycle(withPhones(2)), 1);
    EXPECT_EQ(cycle(withPhones(3)), 2);

    // A window open: every cycle; closed again: idle.
    model.windowAppeared();
    EXPECT_EQ(cycle(withPhones(3)), 3);
    EXPECT_EQ(cycle(withPhones(3)), 4);
    model.windowDisappeared();
    EXPECT_EQ(cycle(withPhones(3)), 4);

    // A failed fetch keeps the list and is not retried while idle.
    daemon.set("/v1/devices", StubDaemon::Reply{500, "boom", "text/plain"});
    EXPECT_EQ(cycle(withPhones(1)), 5);
    EXPECT_EQ(model.devices().size(), 2);
    EXPECT_EQ(cycle(withPhones(1)), 5);

    // None paired: the list empties without asking.
    EXPECT_EQ(cycle(withPhones(0)), 5);
    EXPECT_TRUE(model.devices().isEmpty());
    // Told only of the four lists fetched and the emptying: not of idle or failed cycles.
    EXPECT_EQ(seen[Field::devices], 5);
}

TEST(PairedDevices, RemovingAPhoneThenPollsOnce)
{
    ModelHarness harness;
    auto& daemon = harness.daemon;
    daemon.set("/v1/status", withPhones(2));
    daemon.set("/v1/devices", twoPhones);
    daemon.set("/v1/devices/p1", "{}");
    AppModel model(harness.services());
    ASSERT_TRUE(await(model.poll()));

    daemon.set("/v1/status", withPhones(1));
    daemon.set("/v1/devices", R"([{"id":"p/2","name":"iPhone","paired_at":3,"push":false}])");
    model.removeDevice("p1");
    ASSERT_TRUE(spinUntil([&] { return model.devices().size() == 1; }));
    EXPECT_EQ(daemon.count("/v1/devices/p1"), 1);
    EXPECT_EQ(daemon.count("/v1/status"), 2);
}

// A session that cannot give a permission keeps it missing on every poll;
// the helper then runs once a minute, not once a poll.
TEST(PermissionPace, AgreeingRunsWaitTheIntervalUnlessAWindowOpensOrTheDaemonChanges)
{
    ModelHarness harness;
    harness.setFreshPermissions(R"({"screen_recording":false,"accessibility":false})");
    auto now = std::make_shared<std::chrono::steady_clock::time_point>(1000h);
    auto services = harness.services();
    services.steadyClock = [now] { return *now; };
    AppModel model(services);
    auto cycle = [&](bool screenRecording, bool accessibility, std::chrono::seconds later = 0s) {
        *now += later;
        harness.daemon.set("/v1/status", withPhones(1, screenRecording, accessibility));
        EXPECT_TRUE(await(model.poll()));
        EXPECT_TRUE(spinUntil([&] { return !model.checkingPermissions(); }));
        return harness.permissionRuns();
    };

    EXPECT_EQ(cycle(false, false), 1);
    EXPECT_EQ(cycle(false, false, 2s), 1);
    EXPECT_EQ(cycle(false, false, 57s), 1);
    EXPECT_EQ(cycle(false, false, 1s), 2);

    // Someone opens a window: a fresh answer at once, without waiting for a cycle.
    model.windowAppeared();
    EXPECT_TRUE(spinUntil([&] { return harness.permissionRuns() == 3 && !model.checkingPermissions(); }));
    EXPECT_EQ(cycle(false, false, 1s), 3);

    // The daemon's view changed: checked at once.
    EXPECT_EQ(cycle(true, false, 1s), 4);
    EXPECT_EQ(cycle(true, false, 1s), 4);

    // A run that saw a grant the daemon lacks restarts it; the next miss is
    // the restart back-off's to pace, not this one's.
    harness.setFreshPermissions(R"({"screen_recording":true,"accessibility":true})");
    EXPECT_EQ(cycle(true, false, 60s), 5);
    harness.setFreshPermissions(R"({"screen_recording":true,"accessibility":false})");
    EXPECT_EQ(cycle(true, false, 30s), 6);
    EXPECT_EQ(cycle(true, false, 1s), 6);
    model.supervisor().stop();
}
