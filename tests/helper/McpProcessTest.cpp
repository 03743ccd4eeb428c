#include "helper/HelperProcess.h"

#include <gtest/gtest.h>

using namespace ringlark::test;

namespace {

json request(const json& id, const std::string& method, const json& params = json::object())
{
    return {{"jsonrpc", "2.0"}, {"id", id}, {"method", method}, {"params", params}};
}

json askForHelp(const json& id, const std::string& reason, const json& meta = json::object())
{
    return request(id, "tools/call", {{"name", "request_human"}, {"arguments", {{"reason", reason}}}, {"_meta", meta}});
}

// The daemon's open requests once there are `count` of them, bounded.
json listedOnce(int port, std::size_t count)
{
    json listed;
    for (int i = 0; i < 300; ++i, std::this_thread::sleep_for(10ms))
        if ((listed = http(port, "/v1/requests").parsed()).size() == count)
            break;
    return listed;
}

} // namespace

TEST(Mcp, HandshakeToolListAndProtocolErrors)
{
    HelperRun mcp({"mcp"}); // nothing listens on its daemon port

    for (const std::string version : {"2025-11-25", "2025-06-18", "2025-03-26", "2024-11-05", "1999-01-01"}) {
        mcp.send(request(version, "initialize", {{"protocolVersion", version}, {"capabilities", json::object()}}));
        auto result = mcp.nextMessage().value_or(json())["result"];
        EXPECT_EQ(result["protocolVersion"], version == "1999-01-01" ? "2025-11-25" : version);
        EXPECT_TRUE(result["capabilities"]["tools"].is_object());
    }

    // A notification gets no reply; a malformed line gets -32700 and the server reads on.
    mcp.send(json{{"jsonrpc", "2.0"}, {"method", "notifications/initialized"}});
    mcp.process.write("{not json\n");
    auto parseError = mcp.nextMessage().value_or(json());
    EXPECT_EQ(parseError["error"]["code"], -32700);
    EXPECT_TRUE(parseError.contains("id") && parseError["id"].is_null());
    mcp.send(request(3, "server/discover"));
    EXPECT_EQ(mcp.nextMessage().value_or(json())["error"]["code"], -32601);

    mcp.send(request(4, "tools/list"));
    auto tools = mcp.nextMessage().value_or(json())["result"]["tools"];
    ASSERT_EQ(tools.size(), 1u);
    EXPECT_EQ(tools[0]["name"], "request_human");
    EXPECT_EQ(tools[0]["inputSchema"]["required"], json::array({"reason"}));

    // Bad arguments are the tool's error; with no daemon the agent hears so at once.
    for (const json& arguments : {json{{"ask", "what"}}, json{{"reason", "r"}, {"ask", 5}}}) {
        mcp.send(request(5, "tools/call", {{"name", "request_human"}, {"arguments", arguments}}));
        EXPECT_EQ(mcp.nextMessage().value_or(json())["result"]["isError"], true) << arguments;
    }
    mcp.send(askForHelp(8, "log in"));
    EXPECT_EQ(mcp.nextMessage().value_or(json())["result"]["isError"], true);
}

TEST(Mcp, CallsEndByTheAppsDismissalTheClientsCancelOrClosedInputAndAnswersReachTheAgent)
{
    HelperRun daemon({"daemon"});
    ASSERT_TRUE(daemon.serving());
    HelperRun mcp({"mcp"}, {{"RINGLARK_AGENT", "Claude Code"}, {"RINGLARK_PROGRESS_INTERVAL_MS", "40"}}, {},
                  daemon.port);

    mcp.send(askForHelp(1, "Sign in to the admin console", {{"progressToken", "tok"}}));
    auto listed = listedOnce(daemon.port, 1);
    ASSERT_EQ(listed.size(), 1u);
    EXPECT_EQ(listed[0]["agent"], "Claude Code");

    EXPECT_FALSE(mcp.nextMessage(400ms)); // still waiting, with progress meanwhile
    ASSERT_GE(mcp.progress.size(), 3u);
    EXPECT_EQ(mcp.progress[0]["progressToken"], "tok");
    EXPECT_LT(mcp.progress[0]["progress"].get<double>(), mcp.progress[1]["progress"].get<double>());

    const auto dismissedAt = std::chrono::steady_clock::now();
    EXPECT_EQ(http(daemon.port, "/v1/requests/" + listed[0]["id"].get<std::string>() + "/cancel", "").status, 200);
    auto answer = mcp.nextMessage().value_or(json());
    EXPECT_LT(std::chrono::steady_clock::now() - dismissedAt, 1s);
    EXPECT_EQ(answer["id"], 1);
    EXPECT_EQ(answer["result"]["isError"], true);

    // A cancelled call is withdrawn and gets no answer, so the next answer is the resolved call's.
    mcp.send(askForHelp(7, "Unlock the keychain"));
    ASSERT_EQ(listedOnce(daemon.port, 1).size(), 1u);
    mcp.send(json{{"jsonrpc", "2.0"}, {"method", "notifications/cancelled"}, {"params", {{"requestId", 7}}}});
    EXPECT_EQ(listedOnce(daemon.port, 0), json::array());
    mcp.send(askForHelp(8, "Enter the SMS code"));
    listed = listedOnce(daemon.port, 1);
    ASSERT_EQ(listed.size(), 1u);
    http(daemon.port, "/v1/requests/" + listed[0]["id"].get<std::string>() + "/resolve", R"({"answer":"492817"})");
    auto resolved = mcp.nextMessage().value_or(json());
    EXPECT_EQ(resolved["id"], 8);
    EXPECT_EQ(resolved["result"]["isError"], false);
    EXPECT_NE(resolved.value(json::json_pointer("/result/content/0/text"), "").find("492817"), std::string::npos);

    mcp.send(askForHelp(9, "Plug in the security key"));
    ASSERT_EQ(listedOnce(daemon.port, 1).size(), 1u);
    mcp.process.closeWriteChannel();
    ASSERT_TRUE(mcp.finish(2s));
    EXPECT_EQ(mcp.process.exitCode(), 0);
    EXPECT_EQ(http(daemon.port, "/v1/requests").parsed(), json::array());
}
