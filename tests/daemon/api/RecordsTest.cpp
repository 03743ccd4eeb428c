#include "daemon/api/Records.h"

#include "support/Files.h"

#include <QDir>

#include <gtest/gtest.h>

#include <set>
#include <string>

using namespace ringlark;

namespace {

// The records of tests/fixtures/records, exactly as the helper writes them
// (tests/helper/RecordsFixtureTest.cpp proves that side).
QByteArray fixture(const QString& name) { return test::readFile(QStringLiteral(RINGLARK_RECORD_FIXTURES "/") + name); }

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

RinglarkStatus status(Tailscale tailscale, Push push = {"off", 0}, std::int64_t pending = 0)
{
    return {"0.1.0", std::move(tailscale), {true, true}, std::move(push), pending, false};
}

Tailscale failing(const char* error) { return {false, {}, {}, {}, QString(error)}; }

HelpRequest pendingRequest(QString id, QString reason, std::uint64_t created, std::uint64_t updated)
{
    return {std::move(id), "pending", std::move(reason), {}, {}, {}, created, updated, {}};
}

// Every fixture named here has its expectation below; a fixture without one fails.
std::set<QString> expected;

template <typename T>
void expectDecodes(const QString& name, const T& value)
{
    expected.insert(name);
    const auto decoded = decode<T>(fixture(name));
    ASSERT_TRUE(decoded) << name.toStdString() << ": " << decoded.error().message.toStdString();
    EXPECT_TRUE(*decoded == value) << name.toStdString();
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

TEST(RecordFixtures, DecodeToTheValuesTheHelperWrote)
{
    RinglarkStatus permissionsMissing =
        status({true, "fd7a:115c:a1e0::1", "laptop", "ann@example.com", {}}, {"ntfy", 2}, 3);
    permissionsMissing.permissions = {false, false};
    RinglarkStatus sessionActive = status({true, "100.64.0.7", {}, {}, {}}, {"direct", 1}, 1);
    sessionActive.sessionActive = true;
    expectDecodes("status-ready.json", status({true, "100.101.102.103", "desk", "ann@example.com", {}}, {"direct", 1}));
    expectDecodes("status-not-logged-in.json", status(failing("Tailscale is not logged in")));
    expectDecodes("status-not-installed.json", status(failing("Tailscale is not installed")));
    expectDecodes("status-permissions-missing.json", permissionsMissing);
    expectDecodes("status-session-active.json", sessionActive);

    HelpRequest full = pendingRequest("r1", "Sign in to GitHub", 1733500000000, 1733500001234);
    full.ask = "Approve the device code", full.app = "Firefox", full.title = "GitHub login", full.agent = "Claude Code";
    HelpRequest unicode = pendingRequest("r2", QString::fromUtf8("Caf\u00e9 \u2615 needs a code \U0001F4F1"), 1733500005000, 1733500005000);
    unicode.ask = QString::fromUtf8("Type the 6 digits \u201c\u00e0 la carte\u201d"), unicode.agent = "Codex";
    HelpRequest escaped = pendingRequest("r3", QString::fromUtf8("Quote \" backslash \\ tab\t bell\x01 \u65e5\u672c"), UINT64_MAX, 0);
    escaped.title = QString("");
    expectDecodes("requests-empty.json", QList<HelpRequest>{});
    expectDecodes("requests-one.json", QList{pendingRequest("r1", "Sign in to GitHub", 1733500000000, 1733500000000)});
    expectDecodes("requests-several.json", QList{full, unicode, escaped});

    expectDecodes("pairing.json", Pairing{"https://desk.tail1234.ts.net:8643/pair?c=0123456789abcdef0123456789abcdef"});
    expectDecodes("devices.json", QList{PairedDevice{"0123456789abcdef", QString::fromUtf8("Ann\u2019s phone"), 1733500000000, 1733500060000, true},
                                        PairedDevice{"fedcba9876543210", "Pixel", 1733500000000, std::nullopt, false}});

    // Error replies are texts the client passes on as they are; the helper's tests check it sends them.
    expected.insert({"error-unknown-request.txt", "error-pairing-needs-tailscale.txt"});
    for (const QString& name : QDir(RINGLARK_RECORD_FIXTURES).entryList(QDir::Files))
        EXPECT_TRUE(expected.contains(name)) << name.toStdString() << " has no expectation";
}
