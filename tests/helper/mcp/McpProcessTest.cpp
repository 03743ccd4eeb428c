#include "helper/FakeDaemon.h"
#include "helper/HelperProcess.h"

#include <gtest/gtest.h>

#include <functional>
#include <set>

using namespace ringlark::test;

namespace {

using Clock = std::chrono::steady_clock;

json request(const json& id, const std::string& method, const json& params = json::object())
{
    return {{"jsonrpc", "2.0"}, {"id", id}, {"method", method}, {"params", params}};
}

json askForHelp(const json& id, const json& arguments, const json& meta = json::object())
{
    return request(id, "tools/call", {{"name", "request_human"}, {"arguments", arguments}, {"_meta", meta}});
}

std::string textOf(const std::optional<json>& message)
{
    return message ? message->value(json::json_pointer("/result/content/0/text"), std::string()) : std::string();
}

void write(HelperRun& run, const std::string& bytes)
{
    run.process.write(QByteArray::fromStdString(bytes));
    while (run.process.bytesToWrite() > 0 && run.process.waitForBytesWritten(2000)) {
    }
}

QString homeOf(const FakeDaemon& daemon) { return QString::fromStdString(daemon.home.string()); }

std::string repeated(const std::string& piece, int times)
{
    std::string text;
    for (int i = 0; i < times; ++i)
        text += piece;
    return text;
}

} // namespace

TEST(Mcp, HandshakeToolListAndProtocolErrors)
{
    HelperRun mcp({"mcp"}); // its home has no daemon

    for (const std::string version : {"2024-11-05", "1999-01-01"}) {
        mcp.send(request(version, "initialize", {{"protocolVersion", version}, {"capabilities", json::object()}}));
        auto result = mcp.nextMessage().value_or(json())["result"];
        EXPECT_EQ(result["protocolVersion"], version == "1999-01-01" ? "2025-11-25" : version);
        EXPECT_TRUE(result["capabilities"]["tools"].is_object());
    }

    // A notification gets no reply; malformed, too deep or too long lines get -32700 and the server reads on.
    mcp.send(json{{"jsonrpc", "2.0"}, {"method", "notifications/initialized"}});
    const std::string deep = repeated("[", 33) + repeated("]", 33);
    const std::string huge = R"({"jsonrpc":"2.0","id":1,"method":"ping","params":{"x":")" + std::string(1 << 20, 'a') + "\"}}";
    for (const auto& line : {std::string("{not json"), deep, huge}) {
        write(mcp, line + "\n");
        auto error = mcp.nextMessage().value_or(json());
        EXPECT_EQ(error["error"]["code"], -32700) << line.substr(0, 40);
        EXPECT_TRUE(error.contains("id") && error["id"].is_null());
    }
    mcp.send(request(3, "server/discover"));
    EXPECT_EQ(mcp.nextMessage().value_or(json())["error"]["code"], -32601);

    mcp.send(request(4, "tools/list"));
    auto tools = mcp.nextMessage().value_or(json())["result"]["tools"];
    ASSERT_EQ(tools.size(), 1u);
    EXPECT_EQ(tools[0]["name"], "request_human");
    EXPECT_EQ(tools[0]["inputSchema"]["required"], json::array({"reason"}));

    // Bad arguments are the tool's error; with no daemon the agent hears so at once.
    for (const json& arguments : {json{{"ask", "what"}}, json{{"reason", "r"}, {"ask", 5}}}) {
        mcp.send(askForHelp(5, arguments));
        EXPECT_EQ(mcp.nextMessage().value_or(json())["result"]["isError"], true) << arguments;
    }
    const auto asked = Clock::now();
    mcp.send(askForHelp(8, {{"reason", "log in"}}));
    auto down = mcp.nextMessage();
    EXPECT_LT(Clock::now() - asked, 1s);
    EXPECT_NE(textOf(down).find("not running"), std::string::npos) << textOf(down);
}

// However the agent goes away, what it was waiting for is withdrawn and the process ends promptly.
TEST(Mcp, StopSignalsAndInputEndWithdrawOpenRequests)
{
    const std::string call = askForHelp(1, {{"reason", "Sign in"}}).dump();
    const struct {
        const char* name;
        bool waitForCreation;
        std::function<void(HelperRun&)> stop;
    } cases[] = {
        {"SIGINT", true, [](HelperRun& mcp) { ::kill(pid_t(mcp.process.processId()), SIGINT); }},
        {"SIGTERM", true, [](HelperRun& mcp) { ::kill(pid_t(mcp.process.processId()), SIGTERM); }},
        {"SIGHUP", true, [](HelperRun& mcp) { ::kill(pid_t(mcp.process.processId()), SIGHUP); }},
        {"input ends mid-line", true,
         [](HelperRun& mcp) {
             write(mcp, R"({"jsonrpc":"2.0","id":2,"meth)");
             mcp.process.closeWriteChannel();
         }},
        {"final call without newline", false,
         [&call](HelperRun& mcp) {
             write(mcp, call);
             mcp.process.closeWriteChannel();
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FakeDaemon daemon;
        HelperRun mcp({"mcp"}, {}, homeOf(daemon));
        if (c.waitForCreation) {
            write(mcp, call + "\n");
            ASSERT_TRUE(daemon.awaitCount(1));
        }
        const auto stopped = Clock::now();
        c.stop(mcp);
        ASSERT_TRUE(daemon.awaitCount(1));
        EXPECT_TRUE(daemon.awaitStatus(daemon.ids()[0], "withdrawn"));
        EXPECT_TRUE(mcp.finish(2s));
        EXPECT_LT(Clock::now() - stopped, 2s);
        EXPECT_EQ(mcp.process.exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(mcp.process.exitCode(), 0);
    }
}

TEST(Mcp, CallsEndByDismissalCancelResolutionOrTimeOut)
{
    FakeDaemon daemon;
    HelperRun mcp({"mcp"}, {{"RINGLARK_AGENT", "Claude Code"}, {"RINGLARK_PROGRESS_INTERVAL_MS", "40"}},
                  homeOf(daemon));

    mcp.send(askForHelp(1, {{"reason", "Sign in to the admin console"}, {"app", "Firefox"}}, {{"progressToken", "tok"}}));
    ASSERT_TRUE(daemon.awaitCount(1));
    EXPECT_EQ(daemon.request("r1")["agent"], "Claude Code");
    EXPECT_EQ(daemon.request("r1")["app"], "Firefox");

    EXPECT_FALSE(mcp.nextMessage(400ms)); // still waiting, with progress meanwhile
    ASSERT_GE(mcp.progress.size(), 3u);
    EXPECT_EQ(mcp.progress[0]["progressToken"], "tok");
    EXPECT_LT(mcp.progress[0]["progress"].get<double>(), mcp.progress[1]["progress"].get<double>());

    const auto dismissedAt = Clock::now();
    daemon.end("r1", "dismissed");
    auto dismissed = mcp.nextMessage().value_or(json());
    EXPECT_LT(Clock::now() - dismissedAt, 1s);
    EXPECT_EQ(dismissed["id"], 1);
    EXPECT_EQ(dismissed["result"]["isError"], true);

    // A cancelled call is withdrawn and gets no answer, so the next answer is the resolved call's.
    mcp.send(askForHelp(7, {{"reason", "Unlock the keychain"}}));
    ASSERT_TRUE(daemon.awaitCount(2));
    mcp.send(json{{"jsonrpc", "2.0"}, {"method", "notifications/cancelled"}, {"params", {{"requestId", 7}}}});
    EXPECT_TRUE(daemon.awaitStatus("r2", "withdrawn"));
    mcp.send(askForHelp(8, {{"reason", "Enter the SMS code"}}));
    ASSERT_TRUE(daemon.awaitCount(3));
    daemon.end("r3", "resolved", "492817");
    auto resolved = mcp.nextMessage();
    EXPECT_EQ(resolved.value_or(json())["id"], 8);
    EXPECT_EQ(resolved.value_or(json())["result"]["isError"], false);
    EXPECT_NE(textOf(resolved).find("492817"), std::string::npos);

    // The helper's own limit ends the wait with its message, and withdraws.
    HelperRun hurried({"mcp"}, {{"RINGLARK_REQUEST_TIMEOUT_MS", "200"}}, homeOf(daemon));
    hurried.send(askForHelp(9, {{"reason", "Plug in the security key"}}));
    auto timedOut = hurried.nextMessage();
    EXPECT_EQ(timedOut.value_or(json())["result"]["isError"], true);
    EXPECT_NE(textOf(timedOut).find("within 200 ms"), std::string::npos) << textOf(timedOut);
    EXPECT_TRUE(daemon.awaitStatus("r4", "withdrawn"));
}

TEST(Mcp, OverLongFieldsAreRefusedBeforeAnythingIsSentAndRefusalsReachTheAgent)
{
    FakeDaemon daemon;
    HelperRun mcp({"mcp"}, {}, homeOf(daemon));
    mcp.send(askForHelp(1, {{"reason", "r"}, {"title", repeated("\xC3\xA9", 1001)}})); // 1,001 characters
    const auto tooLongTitle = mcp.nextMessage();
    EXPECT_EQ(tooLongTitle.value_or(json())["result"]["isError"], true);
    EXPECT_NE(textOf(tooLongTitle).find("`title`"), std::string::npos) << textOf(tooLongTitle);
    EXPECT_EQ(daemon.postsSeen(), 0);

    daemon.refuseWith(429, "Too many open requests (100). Resolve or dismiss some first.");
    mcp.send(askForHelp(2, {{"reason", "one more"}}));
    const auto refused = mcp.nextMessage();
    EXPECT_EQ(refused.value_or(json())["result"]["isError"], true);
    EXPECT_NE(textOf(refused).find("Too many open requests (100)."), std::string::npos) << textOf(refused);
    EXPECT_EQ(daemon.postsSeen(), 1);
}

TEST(Mcp, ARestartedDaemonsNewTokenIsReadOnceAndAWrongOneIsRefused)
{
    FakeDaemon daemon;
    HelperRun mcp({"mcp"}, {}, homeOf(daemon));
    mcp.send(askForHelp(1, {{"reason", "first"}}));
    ASSERT_TRUE(daemon.awaitCount(1));

    daemon.writeToken(std::string(64, 'b'));
    mcp.send(askForHelp(2, {{"reason", "second"}}));
    EXPECT_TRUE(daemon.awaitCount(2));
    // The first call's long poll may also have met the new token once.
    EXPECT_GE(daemon.refusedTokens(), 1);

    daemon.end("r1", "resolved");
    daemon.end("r2", "resolved");
    EXPECT_TRUE(mcp.nextMessage() && mcp.nextMessage());

    // The daemon wants a token that the file does not hold: one retry, then the agent hears why.
    daemon.writeToken(std::string(64, 'd'));
    daemon.writeToken(std::string(64, 'c'), false);
    const int refusedBefore = daemon.refusedTokens();
    mcp.send(askForHelp(3, {{"reason", "third"}}));
    const auto refused = mcp.nextMessage();
    EXPECT_EQ(refused.value_or(json())["id"], 3);
    EXPECT_EQ(refused.value_or(json())["result"]["isError"], true);
    EXPECT_NE(textOf(refused).find("The token is wrong."), std::string::npos) << textOf(refused);
    EXPECT_EQ(daemon.refusedTokens() - refusedBefore, 2);
}

// The socket and token are only used when they are private to this user.
TEST(Mcp, UntrustedOrMissingChannelAnswersAtOnceWithoutSending)
{
    namespace fs = std::filesystem;
    const bool root = ::geteuid() == 0;
    const struct {
        const char* name;
        std::function<void(const FakeDaemon&)> spoil;
        const char* expected;
    } cases[] = {
        {"no token", [](const FakeDaemon& d) { fs::remove(d.directory / "daemon.token"); }, "not running"},
        {"open directory",
         [](const FakeDaemon& d) { fs::permissions(d.directory, fs::perms::others_exec, fs::perm_options::add); },
         "not private"},
        {"token through a link",
         [](const FakeDaemon& d) {
             fs::rename(d.directory / "daemon.token", d.directory / "elsewhere");
             fs::create_symlink(d.directory / "elsewhere", d.directory / "daemon.token");
         },
         "not private"},
        {"foreign socket",
         [root](const FakeDaemon& d) {
             if (root)
                 ::lchown((d.directory / "daemon.sock").c_str(), 65534, 65534);
         },
         root ? "not private" : nullptr},
    };
    for (const auto& c : cases) {
        if (!c.expected)
            continue; // changing an owner needs root
        SCOPED_TRACE(c.name);
        FakeDaemon daemon;
        c.spoil(daemon);
        HelperRun mcp({"mcp"}, {}, homeOf(daemon));
        const auto asked = Clock::now();
        mcp.send(askForHelp(1, {{"reason", "log in"}}));
        const auto answer = mcp.nextMessage();
        EXPECT_LT(Clock::now() - asked, 1s);
        EXPECT_EQ(answer.value_or(json())["result"]["isError"], true);
        EXPECT_NE(textOf(answer).find(c.expected), std::string::npos) << textOf(answer);
        EXPECT_EQ(daemon.postsSeen(), 0);
    }
}

TEST(Mcp, ManyConcurrentCallsAreAllCreatedAndEachEndsExactlyOnce)
{
    constexpr int calls = 200;
    FakeDaemon daemon;
    HelperRun mcp({"mcp"}, {}, homeOf(daemon));
    std::string lines;
    for (int i = 0; i < calls; ++i)
        lines += askForHelp(i, {{"reason", "call " + std::to_string(i)}}).dump() + "\n";
    const auto sent = Clock::now();
    write(mcp, lines);
    ASSERT_TRUE(daemon.awaitCount(calls, 5s));
    EXPECT_LT(Clock::now() - sent, 5s);

    for (const auto& id : daemon.ids())
        daemon.end(id, "resolved", "answer to " + daemon.request(id)["reason"].get<std::string>());
    std::set<int> answered;
    for (int i = 0; i < calls; ++i) {
        auto reply = mcp.nextMessage(5s);
        ASSERT_TRUE(reply) << "after " << i << " replies";
        const int id = (*reply)["id"];
        EXPECT_TRUE(answered.insert(id).second) << "answered twice: " << id;
        EXPECT_NE(textOf(reply).find("answer to call " + std::to_string(id)), std::string::npos) << textOf(reply);
    }
    EXPECT_FALSE(mcp.nextMessage(200ms));
}
