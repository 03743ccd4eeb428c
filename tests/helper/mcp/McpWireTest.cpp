#include "helper/net/DaemonClient.h"
#include "helper/mcp/Mcp.h"

#include <gtest/gtest.h>

using namespace ringlark::helper;
using State = daemon::ResponseParser::State;

namespace {

// Feeds `reply` in pieces of `step` bytes, then the close when `closes`.
daemon::ResponseParser parse(const std::string& reply, std::size_t step, bool closes)
{
    daemon::ResponseParser parser;
    for (std::size_t at = 0; at < reply.size() && parser.state() == State::more; at += step)
        parser.feed(std::string_view(reply).substr(at, step));
    if (closes)
        parser.finish();
    return parser;
}

} // namespace

TEST(McpWire, RepliesAreReadWhateverTheirFramingAndHowTheyArriveAndBoundedOtherwise)
{
    const std::string big = std::to_string(daemon::ResponseParser::maxBodyBytes + 1);
    const struct {
        const char* name;
        std::string reply;
        bool closes;
        State state;
        int status;
        std::string body;
    } cases[] = {
        {"length", "HTTP/1.1 201 Created\r\ncontent-length: 7\r\n\r\n{\"a\":1}", false, State::done, 201, "{\"a\":1}"},
        {"length, bytes after it", "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nokEXTRA", false, State::done, 200, "ok"},
        {"chunked", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n3;x=y\r\nabc\r\nA\r\n0123456789\r\n0\r\n\r\n",
         false, State::done, 200, "abc0123456789"},
        {"until close", "HTTP/1.1 429 Too Many Requests\r\nContent-Type: text/plain\r\n\r\nToo many.", true, State::done,
         429, "Too many."},
        {"interim reply first", "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n", false,
         State::done, 404, ""},
        {"no content", "HTTP/1.1 204 No Content\r\n\r\n", false, State::done, 204, ""},
        {"closed early", "HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\nshort", true, State::failed, 200, "short"},
        {"closed in the head", "HTTP/1.1 200 OK\r\nContent-Len", true, State::failed, 0, ""},
        {"too long", "HTTP/1.1 200 OK\r\nContent-Length: " + big + "\r\n\r\n", false, State::failed, 0, ""},
        {"chunk too long", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n100001\r\n", false, State::failed, 200, ""},
        {"bad chunk end", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n1\r\naXY0\r\n\r\n", false, State::failed,
         200, "a"},
        {"not HTTP", "SSH-2.0-OpenSSH\r\n\r\n", false, State::failed, 0, ""},
        {"bad status", "HTTP/1.1 2x0 OK\r\n\r\n", false, State::failed, 0, ""},
        {"header without colon", "HTTP/1.1 200 OK\r\nbroken\r\n\r\n", false, State::failed, 0, ""},
        {"compressed", "HTTP/1.1 200 OK\r\nTransfer-Encoding: gzip\r\n\r\n", false, State::failed, 0, ""},
    };
    for (const auto& c : cases) {
        for (const std::size_t step : {std::size_t(1), std::size_t(5), c.reply.size()}) {
            SCOPED_TRACE(std::string(c.name) + ", pieces of " + std::to_string(step));
            const auto parser = parse(c.reply, step, c.closes);
            EXPECT_EQ(parser.state(), c.state);
            EXPECT_EQ(parser.response().status, c.status);
            if (c.state == State::done) {
                EXPECT_EQ(parser.response().body, c.body);
            }
        }
    }

    // A body without a length still stops growing at the bound.
    daemon::ResponseParser endless;
    endless.feed("HTTP/1.1 200 OK\r\n\r\n");
    const std::string block(64 * 1024, 'x');
    for (int i = 0; i < 20 && endless.state() == State::more; ++i)
        endless.feed(block);
    EXPECT_EQ(endless.state(), State::failed);
}

TEST(McpWire, NestingIsMeasuredOutsideStringsAndFieldsAreBoundedInCharacters)
{
    const std::pair<std::string, int> depths[] = {
        {"1", 0},
        {"[]", 1},
        {R"({"a":[{"b":[]}],"c":{}})", 4},
        {R"("[[[{{{")", 0},
        {R"(["\"[[[", {}])", 2},
        {R"(["\\", [[]]])", 3},
        {"]]]][", 1},
    };
    for (const auto& [text, depth] : depths)
        EXPECT_EQ(mcp::nestingDepth(text), depth) << text;

    const std::pair<std::string, std::size_t> lengths[] = {
        {"", 0}, {"abc", 3}, {"\xC3\xA9", 1}, {"\xE2\x82\xAC", 1}, {"\xF0\x9F\x98\x80", 1},
        {"\xFF", 1}, {"\xC3", 1}, {"\xE2\x82", 2}, {"\xC3\xA9\x80", 2},
    };
    for (const auto& [text, count] : lengths)
        EXPECT_EQ(mcp::codePoints(text), count) << text;

    std::string euros;
    for (int i = 0; i < 1000; ++i)
        euros += "\xE2\x82\xAC";
    NewRequest request{euros, euros, euros, euros, euros};
    EXPECT_FALSE(mcp::fieldBoundError(request)); // 1,000 characters in 3,000 bytes
    for (auto field : {&NewRequest::ask, &NewRequest::agent, &NewRequest::app, &NewRequest::title}) {
        NewRequest longer = request;
        *(longer.*field) += "x";
        const auto error = mcp::fieldBoundError(longer);
        ASSERT_TRUE(error);
        EXPECT_NE(error->find("1000"), std::string::npos);
    }
    request.reason += "x";
    EXPECT_NE(mcp::fieldBoundError(request).value_or("").find("`reason`"), std::string::npos);
}
