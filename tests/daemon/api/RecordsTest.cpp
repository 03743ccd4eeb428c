#include "daemon/api/Records.h"

#include <gtest/gtest.h>

#include <string>

using namespace ringlark;

namespace {

// A minimal status with its first `from` replaced by `to`, decoded.
Expected<RinglarkStatus, DecodeError> statusWith(const std::string& from = {}, const std::string& to = {})
{
    std::string text = R"({"version":"1.0","tailscale":{"ok":false},"permissions":{"screen_recording":true,)"
                       R"("accessibility":false},"push":{"mode":"x","devices":0},"pending":0,"session_active":false})";
    const auto at = text.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    return decode<RinglarkStatus>(QByteArray::fromStdString(text.replace(at, from.size(), to)));
}

auto requests(const std::string& elements) { return decode<QList<HelpRequest>>(QByteArray::fromStdString("[" + elements + "]")); }
std::string request(const std::string& createdAt, const std::string& extra = {})
{
    return R"({"id":"a","status":"s","reason":"r","updated_at":7,"created_at":)" + createdAt + extra + "}";
}

} // namespace

TEST(KeyConversion, Corners)
{
    const std::pair<std::string, std::string> cases[] = {
        {"", ""}, {"_", "_"}, {"__", "__"}, {"_a_b_", "_aB_"}, {"__created_at__", "__createdAt__"},
        {"session_active", "sessionActive"}, {"SESSION_ACTIVE", "sessionActive"}, {"sessionActive", "sessionActive"},
        {"sessionactive", "sessionactive"}, {"_Session", "_Session"}, {"a__b", "aB"}, {"a_b_c", "aBC"},
    };
    for (const auto& [key, expected] : cases)
        EXPECT_EQ(convertFromSnakeCase(key), expected) << "key \"" << key << "\"";
}

TEST(StatusDecoding, AcceptsOrRejectsAsAWhole)
{
    // The pending count the decoded status carries, or {} when the whole status is rejected.
    const std::tuple<std::string, std::string, std::optional<std::int64_t>> cases[] = {
        {"\"session_active\"", "\"SESSION_ACTIVE\"", 0}, {"\"session_active\"", "\"sessionactive\"", {}},
        {",\"session_active\":false", "", {}}, {"\"session_active\":false", "\"session_active\":null", {}},
        {"\"session_active\":false", "\"session_active\":0", {}}, {"\"version\":\"1.0\"", "\"version\":1", {}},
        {"\"pending\":0", "\"pending\":9223372036854775807", INT64_MAX}, {"\"pending\":0", "\"pending\":2.0", 2},
        {"\"pending\":0", "\"pending\":-9223372036854775808", INT64_MIN}, {"\"pending\":0", "\"pending\":1e19", {}},
        {"\"pending\":0", "\"pending\":9223372036854775808", {}}, {"\"pending\":0", "\"pending\":1.5", {}},
        {"\"pending\":0", "\"pending\":-9223372036854775809", {}}, // a double that rounds into range
        {"\"pending\":0", "\"pending\":\"0\"", {}}, {"{\"ok\":false}", "null", {}},
        {"{\"ok\":false}", "{\"ok\":false,\"ip\":null,\"note\":[1]}", 0}, {"{\"ok\":false}", "{\"ok\":false,\"ip\":5}", {}},
    };
    for (const auto& [from, to, pending] : cases) {
        const auto status = statusWith(from, to);
        EXPECT_EQ(status ? std::optional(status->pending) : std::nullopt, pending) << from << " -> " << to;
    }

    // A missing optional text is absent; an empty one is present.
    auto status = statusWith(), withIp = statusWith("{\"ok\":false}", "{\"ok\":false,\"ip\":\"\"}");
    ASSERT_TRUE(status && withIp);
    EXPECT_EQ(status->tailscale.ip, std::nullopt);
    EXPECT_EQ(withIp->tailscale.ip, QString());
    EXPECT_EQ(status->permissions, (Permissions{true, false}));
}

TEST(HelpRequestDecoding, UnsignedTimesAndWholeListFailure)
{
    const std::pair<const char*, std::optional<std::uint64_t>> times[] = {
        {"18446744073709551615", UINT64_MAX}, {"-0", 0}, {"-1", {}}, {"1.5", {}},
        {"18446744073709551616", {}}, {"\"1\"", {}}, {"null", {}}};
    for (const auto& [text, value] : times) {
        const auto list = requests(request(text));
        EXPECT_EQ(list ? std::optional(list->front().createdAt) : std::nullopt, value) << text;
    }

    const std::string good = request("1", R"(,"app":"Mail","agent":null,"ask":"Click OK","note":"ignored")");
    auto list = requests(good);
    ASSERT_TRUE(list);
    EXPECT_EQ(list->front(), (HelpRequest{"a", "s", "r", "Mail", {}, {}, 1, 7, "Click OK"}));

    // One bad element fails the whole reply.
    EXPECT_FALSE(requests(good + "," + good + ",{}"));
    EXPECT_FALSE(requests(good + "," + request("1", R"(,"app":7)")));
}
