// The records of tests/fixtures/records, exactly as the helper writes them
// (tests/helper/RecordsFixtureTest.cpp proves that side), decode to these values.

#include "daemon/api/LocalAPI.h"

#include "support/EventLoop.h"
#include "support/Files.h"
#include "support/StubDaemon.h"

#include <QDir>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <set>

using namespace ringlark;
using namespace std::chrono_literals;
using test::StubDaemon;

namespace {

QByteArray fixture(const QString& name) { return test::readFile(QStringLiteral(RINGLARK_RECORD_FIXTURES "/") + name); }

RinglarkStatus status(Tailscale tailscale, Push push = {"off", 0}, std::int64_t pending = 0)
{
    return {"0.1.0", std::move(tailscale), {true, true}, std::move(push), pending, false};
}

Tailscale failing(const char* error) { return {false, {}, {}, {}, QString(error)}; }

HelpRequest request(QString id, QString reason, std::uint64_t created, std::uint64_t updated)
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

const std::pair<const char*, int> errorReplies[] = {
    {"error-unknown-request.txt", 404},
    {"error-pairing-needs-tailscale.txt", 503},
};

LocalAPI client(const StubDaemon& daemon)
{
    const DaemonAccess access{[](bool) { return std::optional(QByteArray(StubDaemon::defaultToken)); }, {}};
    return LocalAPI(daemon.base(), {}, access);
}
} // namespace

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

    HelpRequest full = request("r1", "Sign in to GitHub", 1733500000000, 1733500001234);
    full.ask = "Approve the device code", full.app = "Firefox", full.title = "GitHub login", full.agent = "Claude Code";
    HelpRequest unicode = request("r2", QString::fromUtf8("Caf\u00e9 \u2615 needs a code \U0001F4F1"), 1733500005000, 1733500005000);
    unicode.ask = QString::fromUtf8("Type the 6 digits \u201c\u00e0 la carte\u201d"), unicode.agent = "Codex";
    HelpRequest escaped = request("r3", QString::fromUtf8("Quote \" backslash \\ tab\t bell\x01 \u65e5\u672c"), UINT64_MAX, 0);
    escaped.title = QString("");
    expectDecodes("requests-empty.json", QList<HelpRequest>{});
    expectDecodes("requests-one.json", QList{request("r1", "Sign in to GitHub", 1733500000000, 1733500000000)});
    expectDecodes("requests-several.json", QList{full, unicode, escaped});

    expectDecodes("pairing.json", Pairing{"ringlark://pair?host=100.101.102.103:8641&token=" + QString("0123456789abcdef").repeated(4)});
    expectDecodes("pairing-ipv6.json", Pairing{"ringlark://pair?host=[fd7a:115c:a1e0::1]:8641&token=" + QString("fedcba9876543210").repeated(4)});

    for (const auto& [name, code] : errorReplies)
        expected.insert(name);
    for (const QString& name : QDir(RINGLARK_RECORD_FIXTURES).entryList(QDir::Files))
        EXPECT_TRUE(expected.contains(name)) << name.toStdString() << " has no expectation";
}

TEST(RecordFixtures, ErrorRepliesReachTheCallerAsTheDaemonWroteThem)
{
    StubDaemon daemon;
    const LocalAPI api = client(daemon);
    for (const auto& [name, code] : errorReplies) {
        const QByteArray body = fixture(name);
        ASSERT_FALSE(body.isEmpty()) << name;
        daemon.set("/v1/requests/r-404/cancel", StubDaemon::Reply{code, body.toStdString(), "text/plain; charset=utf-8"});
        const auto result = test::await(api.dismiss("r-404"), 3000ms);
        ASSERT_TRUE(result && !*result) << name;
        EXPECT_EQ(result->error(), LocalAPIError::status(code, QString::fromUtf8(body))) << name;
        EXPECT_EQ(result->error().message(), QString::fromUtf8(body)) << name;
    }
}

// The longest list the daemon may legitimately send: 100 open requests, each
// text at its 1,000-character limit, in characters JSON writes longest.
TEST(RecordFixtures, TheLongestLegitimateListIsRead)
{
    QString controls, emoji; // 6 bytes each as JSON ("\u0001"), and 4 bytes each
    for (int i = 0; i < 1000; ++i) {
        controls += QChar(i % 2 ? 0x01 : 0x1F);
        emoji += QString::fromUtf8("\U0001F4F1");
    }
    QList<HelpRequest> longest;
    auto list = nlohmann::json::array();
    for (int i = 0; i < 100; ++i) {
        const QString id = QString::number(0x1000000000000000ull + i, 16);
        // One text of emoji, to see that 4-byte characters come through as well.
        const QString title = i == 50 ? emoji : controls;
        longest.append({id, "pending", controls, controls, title, controls, UINT64_MAX, UINT64_MAX, controls});
        list.push_back({{"id", id.toStdString()}, {"status", "pending"}, {"reason", controls.toStdString()},
                        {"app", controls.toStdString()}, {"title", title.toStdString()},
                        {"agent", controls.toStdString()}, {"ask", controls.toStdString()},
                        {"created_at", UINT64_MAX}, {"updated_at", UINT64_MAX}});
    }
    const std::string body = list.dump();
    EXPECT_GT(body.size(), 3'000'000u);
    EXPECT_LT(qsizetype(body.size()), requestListCap);

    StubDaemon daemon;
    const LocalAPI api = client(daemon);
    daemon.set("/v1/requests", body);
    const auto read = test::await(api.requests(), 5000ms);
    ASSERT_TRUE(read && *read);
    EXPECT_TRUE(**read == longest);
}
