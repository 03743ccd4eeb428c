#include "helper/HelperProcess.h"

#include <gtest/gtest.h>

#include <thread>

using namespace ringlark::test;
using namespace std::chrono_literals;
using nlohmann::json;

namespace {

json request(const json& id, const std::string& method, json params = json::object())
{
    return {{"jsonrpc", "2.0"}, {"id", id}, {"method", method}, {"params", std::move(params)}};
}

json askForHelp(const json& id, const std::string& reason, std::optional<std::string> progressToken = {})
{
    json params{{"name", "request_human"}, {"arguments", {{"reason", reason}, {"app", "Firefox"}}}};
    if (progressToken)
        params["_meta"] = {{"progressToken", *progressToken}};
    return request(id, "tools/call", params);
}

// The next message that is not a progress notification; those are collected.
std::optional<json> nextAnswer(HelperRun& mcp, std::vector<json>* progress = nullptr,
                               std::chrono::milliseconds timeout = 3s)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (true) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        auto message = mcp.nextMessage(std::max(left, 0ms));
        if (!message || message->value("method", "") != "notifications/progress")
            return message;
        if (progress)
            progress->push_back((*message)["params"]);
    }
}

// Waits until the daemon lists exactly `count` open requests.
json awaitListed(int port, std::size_t count)
{
    json listed;
    for (int i = 0; i < 300; ++i) {
        listed = httpGet(port, "/v1/requests").json();
        if (listed.is_array() && listed.size() == count)
            break;
        std::this_thread::sleep_for(10ms);
    }
    return listed;
}

std::string textOf(const json& answer) { return answer["result"]["content"][0]["text"]; }

} // namespace

TEST(Mcp, HandshakeToolListAndProtocolErrors)
{
    HelperRun mcp({"mcp"}); // nothing listens on its daemon port

    for (const std::string version : {"2025-11-25", "2025-06-18", "2025-03-26", "2024-11-05"}) {
        mcp.send(request(1, "initialize", {{"protocolVersion", version}, {"capabilities", json::object()},
                                           {"clientInfo", {{"name", "test"}, {"version", "1"}}}}));
        auto answer = mcp.nextMessage();
        ASSERT_TRUE(answer);
        EXPECT_EQ((*answer)["result"]["protocolVersion"], version);
    }
    mcp.send(request("init", "initialize", {{"protocolVersion", "1999-01-01"}}));
    auto initialized = mcp.nextMessage();
    ASSERT_TRUE(initialized);
    EXPECT_EQ((*initialized)["id"], "init");
    const auto& result = (*initialized)["result"];
    EXPECT_EQ(result["protocolVersion"], "2025-11-25");
    EXPECT_TRUE(result["capabilities"]["tools"].is_object());
    EXPECT_EQ(result["serverInfo"]["name"], "ringlark");
    EXPECT_NE(result["instructions"].get<std::string>().find("request_human"), std::string::npos);

    // A notification gets no reply, so the ping's answer comes next.
    mcp.send(json{{"jsonrpc", "2.0"}, {"method", "notifications/initialized"}});
    mcp.send(request(2, "ping"));
    EXPECT_EQ(mcp.nextMessage(), (json{{"jsonrpc", "2.0"}, {"id", 2}, {"result", json::object()}}));

    mcp.send(std::string("{not json"));
    auto parseError = mcp.nextMessage();
    ASSERT_TRUE(parseError);
    EXPECT_EQ((*parseError)["error"]["code"], -32700);
    EXPECT_TRUE((*parseError)["id"].is_null());
    mcp.send(request(3, "server/discover"));
    EXPECT_EQ((*mcp.nextMessage())["error"]["code"], -32601);

    mcp.send(request(4, "tools/list"));
    auto tools = (*mcp.nextMessage())["result"]["tools"];
    ASSERT_EQ(tools.size(), 1u);
    EXPECT_EQ(tools[0]["name"], "request_human");
    EXPECT_EQ(tools[0]["inputSchema"]["required"], json::array({"reason"}));
    for (const char* property : {"reason", "ask", "app", "title"})
        EXPECT_EQ(tools[0]["inputSchema"]["properties"][property]["type"], "string") << property;

    // Bad arguments are the tool's error, an unknown tool the protocol's.
    mcp.send(request(5, "tools/call", {{"name", "request_human"}, {"arguments", {{"ask", "what"}}}}));
    auto noReason = *mcp.nextMessage();
    EXPECT_EQ(noReason["result"]["isError"], true);
    EXPECT_NE(textOf(noReason).find("reason"), std::string::npos);
    mcp.send(request(6, "tools/call", {{"name", "request_human"}, {"arguments", {{"reason", "r"}, {"ask", 5}}}}));
    EXPECT_EQ((*mcp.nextMessage())["result"]["isError"], true);
    mcp.send(request(7, "tools/call", {{"name", "other"}, {"arguments", json::object()}}));
    EXPECT_EQ((*mcp.nextMessage())["error"]["code"], -32602);

    // No daemon: the agent hears so at once instead of waiting.
    mcp.send(askForHelp(8, "log in"));
    auto unreachable = mcp.nextMessage(3s);
    ASSERT_TRUE(unreachable);
    EXPECT_EQ((*unreachable)["result"]["isError"], true);
    EXPECT_NE(textOf(*unreachable).find("not running"), std::string::npos);

    mcp.process().closeWriteChannel();
    ASSERT_TRUE(mcp.finish(2s));
    EXPECT_EQ(mcp.process().exitCode(), 0);
    EXPECT_TRUE(mcp.process().readAllStandardOutput().isEmpty());
}

TEST(Mcp, DismissalInTheAppEndsTheCallAtOnceAndProgressFlowsMeanwhile)
{
    HelperRun daemon({"daemon"});
    ASSERT_TRUE(daemon.waitUntilServing());
    HelperRun mcp({"mcp"}, {{"RINGLARK_AGENT", "Claude Code"}, {"RINGLARK_PROGRESS_INTERVAL_MS", "40"}}, {},
                  daemon.port());

    mcp.send(askForHelp(1, "Sign in to the admin console", "tok"));
    auto listed = awaitListed(daemon.port(), 1);
    ASSERT_EQ(listed.size(), 1u);
    EXPECT_EQ(listed[0]["agent"], "Claude Code");
    EXPECT_EQ(listed[0]["app"], "Firefox");
    EXPECT_EQ(httpGet(daemon.port(), "/v1/status").json()["pending"], 1);

    std::vector<json> progress;
    for (int i = 0; i < 3; ++i) {
        auto message = mcp.nextMessage(1s);
        ASSERT_TRUE(message);
        ASSERT_EQ((*message)["method"], "notifications/progress");
        progress.push_back((*message)["params"]);
    }
    EXPECT_EQ(progress[0]["progressToken"], "tok");
    EXPECT_LT(progress[0]["progress"].get<double>(), progress[1]["progress"].get<double>());
    EXPECT_LT(progress[1]["progress"].get<double>(), progress[2]["progress"].get<double>());

    const auto dismissedAt = std::chrono::steady_clock::now();
    EXPECT_EQ(httpPost(daemon.port(), "/v1/requests/" + listed[0]["id"].get<std::string>() + "/cancel").status, 200);
    auto answer = nextAnswer(mcp);
    ASSERT_TRUE(answer);
    EXPECT_LT(std::chrono::steady_clock::now() - dismissedAt, 1s);
    EXPECT_EQ((*answer)["id"], 1);
    EXPECT_EQ((*answer)["result"]["isError"], true);
    EXPECT_NE(textOf(*answer).find("dismissed"), std::string::npos);
    EXPECT_EQ(httpGet(daemon.port(), "/v1/requests").json(), json::array());
}

TEST(Mcp, CallsInFlightEndApartResolvedOrTimedOut)
{
    HelperRun daemon({"daemon"});
    ASSERT_TRUE(daemon.waitUntilServing());
    HelperRun mcp({"mcp"}, {{"RINGLARK_REQUEST_TIMEOUT_MS", "1500"}}, {}, daemon.port());

    mcp.send(askForHelp("first", "Enter the SMS code"));
    mcp.send(askForHelp("second", "Approve the dialog"));
    auto listed = awaitListed(daemon.port(), 2);
    ASSERT_EQ(listed.size(), 2u);
    const auto first = listed[0]["reason"] == "Enter the SMS code" ? listed[0] : listed[1];
    EXPECT_FALSE(first.contains("agent")); // no RINGLARK_AGENT here

    httpPost(daemon.port(), "/v1/requests/" + first["id"].get<std::string>() + "/resolve", R"({"answer":"492817"})");
    auto resolved = nextAnswer(mcp);
    ASSERT_TRUE(resolved);
    EXPECT_EQ((*resolved)["id"], "first");
    EXPECT_EQ((*resolved)["result"]["isError"], false);
    EXPECT_NE(textOf(*resolved).find("492817"), std::string::npos);

    auto timedOut = nextAnswer(mcp, nullptr, 3s);
    ASSERT_TRUE(timedOut);
    EXPECT_EQ((*timedOut)["id"], "second");
    EXPECT_EQ((*timedOut)["result"]["isError"], true);
    EXPECT_NE(textOf(*timedOut).find("withdrawn"), std::string::npos);
    EXPECT_EQ(httpGet(daemon.port(), "/v1/status").json()["pending"], 0);
}

TEST(Mcp, ClientCancellationAndClosedInputWithdrawTheirRequests)
{
    HelperRun daemon({"daemon"});
    ASSERT_TRUE(daemon.waitUntilServing());
    HelperRun mcp({"mcp"}, {}, {}, daemon.port());

    // A cancelled call is withdrawn and gets no answer, so the ping's comes next.
    mcp.send(askForHelp(7, "Unlock the keychain"));
    ASSERT_EQ(awaitListed(daemon.port(), 1).size(), 1u);
    mcp.send(json{{"jsonrpc", "2.0"}, {"method", "notifications/cancelled"}, {"params", {{"requestId", 7}}}});
    EXPECT_EQ(awaitListed(daemon.port(), 0), json::array());
    mcp.send(request(8, "ping"));
    auto next = mcp.nextMessage();
    ASSERT_TRUE(next);
    EXPECT_EQ((*next)["id"], 8);

    mcp.send(askForHelp(9, "Plug in the security key"));
    ASSERT_EQ(awaitListed(daemon.port(), 1).size(), 1u);
    mcp.process().closeWriteChannel();
    ASSERT_TRUE(mcp.finish(2s));
    EXPECT_EQ(mcp.process().exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(mcp.process().exitCode(), 0);
    EXPECT_EQ(httpGet(daemon.port(), "/v1/requests").json(), json::array());
}
