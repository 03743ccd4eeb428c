#include "helper/api/Access.h"
#include "helper/system/Files.h"
#include "helper/net/Http.h"
#include "helper/api/Records.h"

#include <gtest/gtest.h>

#include <QTemporaryDir>

#include <sys/stat.h>
#include <unistd.h>

#include <fstream>

using namespace ringlark::helper;
using State = http::RequestParser::State;

namespace {

struct Parsed {
    State state;
    int failure = 0;
    std::vector<http::Request> requests;
};

// Feeds `wire` in pieces of `step` bytes, as a socket might deliver it.
Parsed parseAll(const std::string& wire, std::size_t step = 1)
{
    http::RequestParser parser;
    Parsed result{State::needMore, 0, {}};
    for (std::size_t at = 0; at < wire.size(); at += step) {
        result.state = parser.feed(std::string_view(wire).substr(at, step));
        while (result.state == State::complete) {
            result.requests.push_back(parser.take());
            result.state = parser.parse();
        }
        if (result.state == State::failed) {
            result.failure = parser.failure().status;
            break;
        }
    }
    return result;
}

} // namespace

TEST(RequestParser, ReadsRequestsByteByByteAndPipelined)
{
    const std::string two = "GET /v1/requests/ab/wait?timeout_ms=50&x HTTP/1.1\r\nHost: localhost\r\n"
                            "X-Ringlark-Token:  t0k \r\n\r\n"
                            "POST /v1/requests HTTP/1.0\r\nContent-Length: 4\r\nContent-Type: application/json\r\n\r\n{}[]";
    for (std::size_t step : {1u, 7u, 4096u}) {
        const auto parsed = parseAll(two, step);
        ASSERT_EQ(parsed.requests.size(), 2u) << step;
        const auto& wait = parsed.requests[0];
        EXPECT_EQ(wait.path, "/v1/requests/ab/wait");
        EXPECT_EQ(wait.queryValue("timeout_ms"), "50");
        EXPECT_EQ(wait.queryValue("x"), "");
        EXPECT_FALSE(wait.queryValue("timeout"));
        ASSERT_TRUE(wait.header("x-ringlark-token"));
        EXPECT_EQ(*wait.header("x-ringlark-token"), "t0k");
        EXPECT_TRUE(wait.keepAlive);
        EXPECT_EQ(parsed.requests[1].body, "{}[]");
        EXPECT_FALSE(parsed.requests[1].keepAlive); // HTTP/1.0 without keep-alive
    }
}

TEST(RequestParser, RefusesWhatItWillNotReadWithTheRightStatus)
{
    const std::string big(17 * 1024, 'a');
    const struct {
        std::string wire;
        int status;
    } cases[] = {
        {"BREW /pot HTTP/1.1\r\n", 405},               // judged before the headers end
        {"GETTINGLONGER", 405},
        {"POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n0\r\n\r\n", 411},
        {"POST / HTTP/1.1\r\nContent-Length: 65537\r\n\r\n", 413},
        {"POST / HTTP/1.1\r\nContent-Length: 2\r\nContent-Length: 3\r\n\r\n", 400},
        {"POST / HTTP/1.1\r\nContent-Length: -1\r\n\r\n", 400},
        {"GET / HTTP/1.1\r\nX-Big: " + big + "\r\n\r\n", 431},
        {"GET / HTTP/1.1\r\nX-Big: " + big, 431}, // still unterminated: refused before it grows further
        {"GET / HTTP/1.1\r\nno colon here\r\n\r\n", 400},
        {"GET nopath HTTP/1.1\r\n\r\n", 400},
        {"GET / HTTP/2.0\r\n\r\n", 505},
    };
    for (const auto& [wire, status] : cases)
        EXPECT_EQ(parseAll(wire, 512).failure, status) << wire.substr(0, 60);

    EXPECT_EQ(parseAll("POST / HTTP/1.1\r\nContent-Length: 65536\r\n\r\n" + std::string(65536, ' '), 4096)
                  .requests.size(),
              1u);
}

TEST(RequestParser, SerializedRepliesCarryTheirLengthAndNeverACompressedBody)
{
    const auto wire = http::serialize(http::json(200, R"({"a":1})"), true);
    EXPECT_EQ(wire, "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: 7\r\n"
                    "Connection: keep-alive\r\nCache-Control: no-store\r\n\r\n{\"a\":1}");
    EXPECT_EQ(http::serialize({204, {}, {}, {}, false}, false).find("Content-Length"), std::string::npos);
}

TEST(Access, RefusesStrangersBeforeAnyRoute)
{
    const AccessRules rules{"secret", 4321};
    auto request = [](std::vector<std::pair<std::string, std::string>> headers, std::string body = {}) {
        http::Request r;
        r.method = body.empty() ? "GET" : "POST";
        r.headers = std::move(headers);
        r.body = std::move(body);
        return r;
    };
    const std::pair<std::string, std::string> token{"x-ringlark-token", "secret"};
    const std::pair<std::string, std::string> host{"host", "127.0.0.1:4321"};
    const struct {
        http::Request request;
        Transport transport;
        int status; // 0: allowed
    } cases[] = {
        {request({host, token}), Transport::tcp, 0},
        {request({{"host", "LOCALHOST:4321"}, token}), Transport::tcp, 0},
        {request({{"host", "[::1]:4321"}, token}), Transport::tcp, 0},
        {request({{"host", "localhost"}, token}), Transport::local, 0},
        {request({{"host", "localhost"}, token}), Transport::tcp, 403},         // no port: not ours
        {request({{"host", "evil.example:4321"}, token}), Transport::tcp, 403}, // DNS rebinding
        {request({{"host", "127.0.0.1:4322"}, token}), Transport::tcp, 403},
        {request({token}), Transport::tcp, 403},
        {request({host}), Transport::tcp, 403},
        {request({host, {"x-ringlark-token", "secreT"}}), Transport::tcp, 403},
        {request({host, {"x-ringlark-token", "secret2"}}), Transport::tcp, 403},
        {request({host, token, {"origin", "http://127.0.0.1:4321"}}), Transport::tcp, 403},
        {request({host, token, {"content-type", "application/json; charset=utf-8"}}, "{}"), Transport::tcp, 0},
        {request({host, token, {"content-type", "text/plain"}}, "{}"), Transport::tcp, 415}, // a cross-site form
        {request({host, token}, "{}"), Transport::tcp, 415},
        {request({host, token, {"content-type", "application/jsonp"}}, "{}"), Transport::tcp, 415},
    };
    int row = 0;
    for (const auto& [r, transport, status] : cases) {
        const auto refused = refusal(r, rules, transport);
        EXPECT_EQ(refused ? refused->status : 0, status) << "row " << row;
        ++row;
    }
    EXPECT_TRUE(refusal(request({{"host", "localhost"}, {"x-ringlark-token", ""}}), {"", 1}, Transport::local));
}

TEST(Access, NestingIsCountedWithoutParsingAndIgnoresStrings)
{
    const struct {
        std::string text;
        int depth;
    } cases[] = {
        {"{}", 1},
        {R"({"a":[{"b":[]}]})", 4},
        {R"({"a":"[[[[{{{{"})", 1},
        {R"({"a":"\"[[["})", 1},
        {R"(["\\", [[]]])", 3},
        {"]]]]{", 1},
        {std::string(100000, '['), 33}, // stops counting past the limit
    };
    for (const auto& [text, depth] : cases)
        EXPECT_EQ(jsonNesting(text, maxJsonNesting), depth) << text.substr(0, 40);
}

TEST(Records, FieldBoundsCountCharactersNotBytes)
{
    std::string accented;
    for (int i = 0; i < 1000; ++i)
        accented += "\xC3\xA9"; // é, two bytes
    EXPECT_EQ(characterCount(accented), 1000u);
    EXPECT_FALSE(oversizedField({accented, accented, {}, {}, {}}));
    auto tooLong = oversizedField({"r", {}, {}, {}, std::string(1001, 'a')});
    ASSERT_TRUE(tooLong);
    EXPECT_NE(tooLong->find("agent"), std::string::npos);
    EXPECT_NE(tooLong->find("1000"), std::string::npos);
}

TEST(Files, PrivateDirectoryAndAtomicWritesNeverFollowLinks)
{
    QTemporaryDir root;
    const std::filesystem::path base = root.path().toStdString();
    auto modeOf = [](const std::filesystem::path& path) {
        struct stat info {};
        ::lstat(path.c_str(), &info);
        return info.st_mode & 07777;
    };

    const auto fresh = base / "home" / ".ringlark";
    EXPECT_FALSE(preparePrivateDirectory(fresh));
    EXPECT_EQ(modeOf(fresh), 0700u);
    ::chmod(fresh.c_str(), 0755);
    EXPECT_FALSE(preparePrivateDirectory(fresh)); // tightened
    EXPECT_EQ(modeOf(fresh), 0700u);

    std::filesystem::create_symlink(fresh, base / "linked");
    EXPECT_TRUE(preparePrivateDirectory(base / "linked"));
    std::ofstream(base / "plain") << "x";
    EXPECT_TRUE(preparePrivateDirectory(base / "plain"));
    if (::geteuid() == 0) { // only root can hand a directory to someone else
        std::filesystem::create_directory(base / "foreign");
        ASSERT_EQ(::chown((base / "foreign").c_str(), 65534, 65534), 0);
        EXPECT_TRUE(preparePrivateDirectory(base / "foreign"));
    }

    // A link planted at the pid file is replaced, and its target left alone.
    const auto victim = base / "victim";
    std::ofstream(victim) << "precious";
    std::filesystem::create_symlink(victim, fresh / "daemon.pid");
    ASSERT_TRUE(writeAtomically(fresh, "daemon.pid", "4242\n"));
    EXPECT_FALSE(std::filesystem::is_symlink(fresh / "daemon.pid"));
    EXPECT_EQ(modeOf(fresh / "daemon.pid"), 0600u);
    EXPECT_EQ(readPlainFile(victim), "precious");
    EXPECT_EQ(readPlainFile(fresh / "daemon.pid"), "4242\n");

    removePidFileIfOurs(fresh / "daemon.pid", 4241);
    EXPECT_TRUE(std::filesystem::exists(fresh / "daemon.pid"));
    removePidFileIfOurs(fresh / "daemon.pid", 4242);
    EXPECT_FALSE(std::filesystem::exists(fresh / "daemon.pid"));
    std::filesystem::create_symlink(victim, fresh / "linked.pid");
    EXPECT_FALSE(readPlainFile(fresh / "linked.pid"));

    const auto token = newToken();
    EXPECT_EQ(token.size(), 64u);
    EXPECT_EQ(token.find_first_not_of("0123456789abcdef"), std::string::npos);
    EXPECT_NE(token, newToken());
}
