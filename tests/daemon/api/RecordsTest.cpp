#include "daemon/api/Records.h"

#include <gtest/gtest.h>

#include <string>

using namespace ringlark;

namespace {

const std::string minimalStatus =
    R"({"version":"1.0","tailscale":{"ok":false},"permissions":{"screen_recording":true,"accessibility":false},)"
    R"("push":{"mode":"x","devices":0},"pending":0,"session_active":false})";

// The minimal status with one piece of its text replaced.
QByteArray statusWith(const std::string& from, const std::string& to)
{
    std::string text = minimalStatus;
    const auto at = text.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    return QByteArray::fromStdString(text.replace(at, from.size(), to));
}

QByteArray requests(const std::string& createdAt, const std::string& extra = {})
{
    return QByteArray::fromStdString(R"([{"id":"a","status":"s","reason":"r","updated_at":7,"created_at":)" + createdAt
                                     + extra + "}]");
}

} // namespace

TEST(KeyConversion, FollowsEveryStep)
{
    const std::pair<std::string, std::string> cases[] = {
        {"", ""}, {"_", "_"}, {"__", "__"}, {"_a_b_", "_aB_"}, {"__created_at__", "__createdAt__"},
        {"session_active", "sessionActive"}, {"SESSION_ACTIVE", "sessionActive"}, {"sessionActive", "sessionActive"},
        {"sessionactive", "sessionactive"}, {"_Session", "_Session"}, {"a__b", "aB"}, {"a_b_c", "aBC"},
        {"\xC3\x89t\xC3\xA9_\xC3\xA9t\xC3\x89", "\xC3\xA9t\xC3\xA9\xC3\x89t\xC3\xA9"}, // Été_étÉ -> étéÉté
    };
    for (const auto& [key, expected] : cases)
        EXPECT_EQ(convertFromSnakeCase(key), expected) << "key \"" << key << "\"";
}

TEST(StatusDecoding, AcceptsAndRejectsAsAWhole)
{
    struct Case {
        std::string from, to;
        bool decodes;
    };
    const Case cases[] = {
        {"\"session_active\"", "\"sessionActive\"", true},
        {"\"session_active\"", "\"SESSION_ACTIVE\"", true},
        {"\"session_active\"", "\"sessionactive\"", false},
        {",\"session_active\":false", "", false},
        {"\"session_active\":false", "\"session_active\":null", false},
        {"\"session_active\":false", "\"session_active\":0", false},
        {"\"pending\":0", "\"pending\":\"0\"", false},
        {"\"pending\":0", "\"pending\":1.5", false},
        {"\"pending\":0", "\"pending\":9223372036854775808", false},
        {"\"pending\":0", "\"pending\":-9223372036854775809", false}, // a double that rounds into range
        {"\"pending\":0", "\"pending\":1e19", false},
        {"\"pending\":0", "\"pending\":1e400", false},
        {"\"version\":\"1.0\"", "\"version\":1", false},
        {"\"version\":\"1.0\",", "", false},
        {"{\"ok\":false}", "{\"ok\":false,\"ip\":null,\"note\":[1]}", true},
        {"{\"ok\":false}", "{\"ok\":false,\"ip\":5}", false},
        {"{\"ok\":false}", "{\"ok\":null}", false},
        {"{\"ok\":false}", "null", false},
        {"{\"ok\":false}", "[]", false},
        {",\"accessibility\":false", "", false},
        {"\"mode\":\"x\"", "\"mode\":null", false},
        {"\"devices\":0", "\"devices\":\"0\"", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(bool(decode<RinglarkStatus>(statusWith(c.from, c.to))), c.decodes) << c.from << " -> " << c.to;
}

TEST(StatusDecoding, ValuesArriveIntact)
{
    auto status = decode<RinglarkStatus>(QByteArray::fromStdString(minimalStatus));
    ASSERT_TRUE(status) << status.error().message.toStdString();
    EXPECT_EQ(status->version, "1.0");
    EXPECT_FALSE(status->tailscale.ip || status->tailscale.host || status->tailscale.owner || status->tailscale.error);
    EXPECT_EQ(status->permissions, (Permissions{true, false}));
    EXPECT_EQ(status->push, (Push{"x", 0}));

    const std::pair<std::string, std::int64_t> integers[] = {
        {"9223372036854775807", INT64_MAX}, {"-9223372036854775808", INT64_MIN}, {"-3", -3}, {"2.0", 2}};
    for (const auto& [text, value] : integers) {
        auto decoded = decode<RinglarkStatus>(statusWith("\"pending\":0", "\"pending\":" + text));
        ASSERT_TRUE(decoded) << text;
        EXPECT_EQ(decoded->pending, value);
    }

    // Absent and empty texts differ, and both take part in equality.
    auto withIp = decode<RinglarkStatus>(statusWith("{\"ok\":false}", "{\"ok\":false,\"ip\":\"\"}"));
    ASSERT_TRUE(withIp);
    EXPECT_EQ(withIp->tailscale.ip, QString());
    EXPECT_NE(*withIp, *status);
    EXPECT_EQ(*decode<RinglarkStatus>(QByteArray::fromStdString(minimalStatus)), *status);
}

TEST(HelpRequestDecoding, UnsignedTimesAndWholeListFailure)
{
    for (const char* bad : {"-1", "-9223372036854775808", "1.5", "18446744073709551616", "\"1\"", "null"})
        EXPECT_FALSE(decode<QList<HelpRequest>>(requests(bad))) << bad;
    for (const auto& [text, value] : {std::pair{"18446744073709551615", UINT64_MAX}, {"0", 0ULL}, {"-0", 0ULL}}) {
        auto list = decode<QList<HelpRequest>>(requests(text));
        ASSERT_TRUE(list) << text;
        EXPECT_EQ(list->front().createdAt, value);
    }

    const std::string good = R"({"id":"b","status":"s","reason":"r","created_at":1,"updated_at":2,)"
                             R"("app":"Mail","agent":null,"ask":"Click OK","note":"ignored"})";
    auto list = decode<QList<HelpRequest>>(QByteArray::fromStdString("[" + good + "]"));
    ASSERT_TRUE(list);
    EXPECT_EQ(list->front(), (HelpRequest{"b", "s", "r", "Mail", {}, {}, 1, 2, "Click OK"}));

    // One bad element fails the whole reply.
    EXPECT_FALSE(decode<QList<HelpRequest>>(QByteArray::fromStdString("[" + good + "," + good + ",{}]")));
    EXPECT_FALSE(decode<QList<HelpRequest>>(requests("1", R"(,"app":7)")));
    auto empty = decode<QList<HelpRequest>>("[]");
    ASSERT_TRUE(empty);
    EXPECT_TRUE(empty->isEmpty());
    EXPECT_FALSE(decode<QList<HelpRequest>>(QByteArray::fromStdString(good))); // not an array
}

TEST(Decoding, DocumentShapeDuplicatesAndSmallRecords)
{
    for (const char* text : {"", "{", "{\"url\":\"a\"} x", "{\"url\":\"a\",}", "/*c*/{\"url\":\"a\"}", "[{\"url\":\"a\"}]",
                             "null", "{\"url\":\"\xff\"}", "{}", "{\"url\":null}"})
        EXPECT_FALSE(decode<Pairing>(text)) << text;
    EXPECT_EQ(decode<Pairing>("{\"url\":\"\"}")->url, "");
    EXPECT_EQ(decode<Pairing>(" {\"url\":\"\\u00e9\\ud83d\\ude00\"}\n")->url, QString::fromUtf8("\xC3\xA9\xF0\x9F\x98\x80"));

    // Of two keys for one field the first wins; the later one is not even read.
    EXPECT_EQ(decode<Pairing>(R"({"url":"first","url":"second"})")->url, "first");
    auto status = decode<RinglarkStatus>(statusWith("\"session_active\":false", R"("session_active":false,"sessionActive":"x")"));
    ASSERT_TRUE(status);
    EXPECT_FALSE(status->sessionActive);
    status = decode<RinglarkStatus>(statusWith("{\"ok\":false}", R"({"ok":true,"host":"kept","ok":{"host":"no"}})"));
    ASSERT_TRUE(status);
    EXPECT_TRUE(status->tailscale.ok);
    EXPECT_EQ(status->tailscale.host, "kept");

    // The helper prints its permissions followed by a newline.
    EXPECT_EQ(*decode<Permissions>("{\"screen_recording\":false,\"accessibility\":true}\n"), (Permissions{false, true}));
    EXPECT_FALSE(decode<Permissions>("{\"screenrecording\":false,\"accessibility\":true}"));
    EXPECT_TRUE(decode<RinglarkStatus>("{\"version\":2}").error().message.contains("version"));
}
