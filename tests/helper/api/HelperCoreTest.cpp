#include "helper/api/Daemon.h"
#include "helper/api/RequestStore.h"

#include <gtest/gtest.h>

#include <chrono>

using namespace ringlark::helper;
using nlohmann::json;
using namespace std::chrono_literals;

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

TEST(RequestStore, ChurnKeepsTheStoreBoundedAndFastAndTheVersionMoving)
{
    std::uint64_t now = 1'000'000;
    int nextId = 0;
    RequestStore store({[&] { return now; }, [&] { return "r" + std::to_string(++nextId); }, 15 * 60 * 1000, 50});
    const auto kept = store.create({"kept open", {}, {}, {}, {}});
    std::uint64_t version = store.version();
    const auto started = std::chrono::steady_clock::now();
    for (int i = 0; i < 20000; ++i) {
        const auto created = store.create({"churn", {}, {}, {}, {}});
        store.close(created.id, RequestStatus::withdrawn);
        ++now;
    }
    const auto took = std::chrono::steady_clock::now() - started;
    EXPECT_LE(store.size(), 51u);
    EXPECT_EQ(store.openCount(), 1);
    EXPECT_TRUE(store.find(kept.id));
    EXPECT_EQ(store.version(), version + 40000) << "every creation and ending changes the open list";
    // A scan of the whole store per lookup made this take seconds.
    EXPECT_LT(took, std::chrono::seconds(1));
    store.close("unknown", RequestStatus::dismissed);
    EXPECT_EQ(store.version(), version + 40000);
}

TEST(Records, NewRequestsNeedAReasonAndRepliesSurviveBadInput)
{
    for (const json& bad : {json{{"ask", "a"}}, json{{"reason", "  \n"}}, json::array()})
        EXPECT_FALSE(parseNewRequest(bad)) << bad;
    EXPECT_TRUE(parseNewRequest({{"reason", "r"}, {"ask", nullptr}, {"extra", 1}}));

    EXPECT_EQ(dumpJson(json("a\xff")), "\"a\xEF\xBF\xBD\"");
}

TEST(Daemon, AsksTailscaleAgainOnlyWhenItsStateMayHaveChanged)
{
    EventLoop loop;
    RequestStore store;
    auto now = EventLoop::Clock::time_point{} + 1h;
    std::vector<std::function<void(TailscaleInfo)>> runs; // each asking, finished by the test
    std::vector<json> answers;
    Daemon::Services services;
    services.respond = [&](Daemon::ConnectionId, const http::Response& response) {
        answers.push_back(json::parse(response.body, nullptr, false)["tailscale"]);
    };
    services.fetchTailscale = [&](std::function<void(TailscaleInfo)> then) { runs.push_back(std::move(then)); };
    Daemon::Settings settings;
    settings.access = {"t", 1};
    settings.tailscaleFreshness = {1000ms, 100ms, 10s, 2s};
    settings.clock = [&] { return now; };
    Daemon daemon(loop, store, services, settings);

    auto askStatus = [&] {
        http::Request request;
        request.method = "GET";
        request.path = "/v1/status";
        request.headers = {{"host", "localhost"}, {"x-ringlark-token", "t"}};
        daemon.handle({1, Transport::local}, request);
    };
    TailscaleInfo ok;
    ok.ok = true;
    ok.ip = "100.101.102.103";
    const TailscaleInfo failing = tailscaleNotInstalled();

    // The first answer waits for the first run.
    askStatus();
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_TRUE(answers.empty());
    runs.back()(ok);
    ASSERT_EQ(answers.size(), 1u);

    // Then a known state answers at once, even while it is asked for again.
    const struct {
        const char* what;
        std::chrono::milliseconds advance;
        bool networkChanged, asks;
    } steps[] = {
        {"fresh while settling", 50ms, false, false},
        {"stale while settling", 60ms, false, true},
        {"settled and ok", 9s, false, false},
        {"network changed", 0ms, true, true},
        {"settling again", 50ms, false, false},
    };
    for (const auto& [what, advance, networkChanged, asks] : steps) {
        now += advance;
        if (networkChanged)
            daemon.tailscaleMayHaveChanged();
        const auto answered = answers.size();
        const auto asked = runs.size();
        askStatus();
        EXPECT_EQ(answers.size(), answered + 1) << what;
        EXPECT_EQ(runs.size(), asked + (asks ? 1 : 0)) << what;
        if (runs.size() > asked)
            runs.back()(ok);
    }

    // A run that began before a change is not trusted after it.
    now += 2s;
    askStatus(); // settled and ok: no run
    EXPECT_EQ(runs.size(), 3u);
    daemon.tailscaleMayHaveChanged();
    askStatus();
    ASSERT_EQ(runs.size(), 4u);
    daemon.tailscaleMayHaveChanged();
    runs.back()(failing);
    askStatus();
    ASSERT_EQ(runs.size(), 5u);
    EXPECT_EQ(answers.back()["ok"], false);
    runs.back()(failing);

    // Settled and failing: asked again sooner than an ok state would be.
    now += 1500ms;
    askStatus();
    EXPECT_EQ(runs.size(), 5u);
    now += 600ms;
    askStatus();
    EXPECT_EQ(runs.size(), 6u);
}
