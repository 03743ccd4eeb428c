// The application's client against the real helper daemon: what one writes,
// the other reads.

#include "daemon/api/LocalAPI.h"

#include "helper/HelperProcess.h"
#include "support/EventLoop.h"

#include <QRegularExpression>

#include <gtest/gtest.h>

using namespace ringlark;
using namespace std::chrono_literals;

namespace {

// `tailscale status --json` of a computer that is connected, with HTTPS
// certificates; serve takes whatever it is asked.
const QByteArray fakeTailscale = R"(#!/bin/sh
case "$1 $2" in
"status --json") printf '%s\n' '{"BackendState":"Running","Self":{"DNSName":"desk.tail1234.ts.net.","HostName":"desk","TailscaleIPs":["fd7a:115c:a1e0::1","100.101.102.103"],"UserID":42},"User":{"42":{"LoginName":"ann@example.com"}},"CertDomains":["desk.tail1234.ts.net"]}' ;;
"serve status") echo '{}' ;;
esac
)";

template <typename T>
T value(QCoro::Task<Expected<T, ApiFailure>> call)
{
    auto result = test::await(std::move(call), 5000ms);
    if (!result || !*result) {
        ADD_FAILURE() << (result ? describe(result->error()).toStdString() : "no answer");
        return {};
    }
    return **result;
}
} // namespace

TEST(RealDaemon, TheClientReadsWhatTheHelperWrites)
{
    QTemporaryDir bin;
    test::writeFile(bin.filePath("tailscale"), fakeTailscale, true);
    test::HelperRun daemon({"daemon"}, {{"PATH", bin.path()}});
    ASSERT_TRUE(daemon.serving());
    const LocalAPI api(QUrl(QStringLiteral("http://127.0.0.1:%1").arg(daemon.port)), {},
                       DaemonAccess::inDirectory(daemon.home + "/.ringlark"));
    // What an agent does through `ringlark mcp`.
    const auto raise = [&](const nlohmann::json& request) {
        const auto reply = test::http(daemon.port, "/v1/requests", request.dump());
        EXPECT_EQ(reply.status, 201) << reply.body;
        return reply.parsed().value("id", "");
    };

    const RinglarkStatus ready{RINGLARK_VERSION, {true, "100.101.102.103", "desk", "ann@example.com", {}}, {false, false}, {"off", 0}, 0, false};
    EXPECT_TRUE(value(api.status()) == ready);
    const QString url = value(api.pairing()).url;
    EXPECT_TRUE(QRegularExpression("^https://desk\\.tail1234\\.ts\\.net:8643/pair\\?c=[0-9a-f]{32}$").match(url).hasMatch())
        << url.toStdString();
    EXPECT_TRUE(value(api.requests()).isEmpty());

    const std::string first = raise({{"reason", "Caf\u00e9 \U0001F4F1 login"}, {"ask", "Type \"1\x01\""}, {"app", "Firefox"},
                                            {"title", "Sign in"}, {"agent", "Claude Code"}});
    const std::string second = raise({{"reason", "Approve"}});
    const QList<HelpRequest> listed = value(api.requests());
    ASSERT_EQ(listed.size(), 2);
    const HelpRequest& full = listed[0];
    EXPECT_EQ(full.id.toStdString(), first);
    EXPECT_EQ(std::tuple(full.status, full.reason, full.ask, full.app, full.title, full.agent),
              std::tuple(QString("pending"), QString::fromUtf8("Caf\u00e9 \U0001F4F1 login"), std::optional<QString>("Type \"1\x01\""),
                         std::optional<QString>("Firefox"), std::optional<QString>("Sign in"), std::optional<QString>("Claude Code")));
    EXPECT_GT(full.createdAt, 1'700'000'000'000u);
    EXPECT_EQ(std::tuple(listed[1].id.toStdString(), listed[1].reason, listed[1].ask, listed[1].app),
              std::tuple(second, QString("Approve"), std::optional<QString>(), std::optional<QString>()));
    EXPECT_EQ(value(api.status()).pending, 2);

    // A dismissal takes the request off the list; an unknown one is refused in the daemon's words.
    EXPECT_TRUE(test::await(api.dismiss(QString::fromStdString(first)), 5000ms).value().has_value());
    const QList<HelpRequest> left = value(api.requests());
    ASSERT_EQ(left.size(), 1);
    EXPECT_EQ(left[0].id.toStdString(), second);
    EXPECT_EQ(value(api.status()).pending, 1);
    const auto unknown = test::await(api.dismiss("gone"), 5000ms).value();
    ASSERT_FALSE(unknown);
    EXPECT_EQ(unknown.error(), LocalAPIError::status(404, "No help request with id \"gone\"."));
}
