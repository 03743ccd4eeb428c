// The application's client against the real helper daemon: what one writes,
// the other reads.

#include "daemon/api/LocalAPI.h"

#include "support/EventLoop.h"
#include "support/Files.h"

#include <QProcess>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTemporaryDir>

#include <gtest/gtest.h>
#include <httplib.h>
#include <nlohmann/json.hpp>

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

// `ringlark daemon` in a temporary home on a free port, with only a fake tailscale on PATH.
struct Daemon {
    QTemporaryDir home, bin;
    int port = 0;
    QProcess process;

    Daemon()
    {
        QTcpServer probe, phoneProbe;
        probe.listen(QHostAddress::LocalHost);
        phoneProbe.listen(QHostAddress::LocalHost);
        port = probe.serverPort();
        const int phonePort = phoneProbe.serverPort();
        probe.close();
        phoneProbe.close();
        test::writeFile(bin.filePath("tailscale"), fakeTailscale, true);
        auto environment = QProcessEnvironment::systemEnvironment();
        environment.insert("HOME", home.path());
        environment.insert("PATH", bin.path());
        environment.insert("RINGLARK_PORT", QString::number(port));
        environment.insert("RINGLARK_PHONE_PORT", QString::number(phonePort));
        for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "XDG_SESSION_TYPE"})
            environment.remove(name);
        environment.insert("RINGLARK_TEST_HOOKS", "1");
        process.setProcessEnvironment(environment);
        process.setProcessChannelMode(QProcess::ForwardedChannels);
        process.start(RINGLARK_HELPER_PATH, {"daemon"});
    }
    ~Daemon()
    {
        process.terminate();
        if (!process.waitForFinished(3000))
            process.kill(), process.waitForFinished(3000);
    }

    QString config() const { return home.filePath(".ringlark"); }
    LocalAPI api() const
    {
        return LocalAPI(QUrl(QStringLiteral("http://127.0.0.1:%1").arg(port)), {}, DaemonAccess::inDirectory(config()));
    }

    // What an agent does through `ringlark mcp`: POST /v1/requests with the token.
    std::string raise(const nlohmann::json& request) const
    {
        httplib::Client client("127.0.0.1", port);
        const httplib::Headers headers{{"X-Ringlark-Token", test::readFile(config() + "/daemon.token").trimmed().toStdString()}};
        const auto reply = client.Post("/v1/requests", headers, request.dump(), "application/json");
        EXPECT_TRUE(reply && reply->status == 201) << (reply ? reply->body : "no reply");
        return reply ? nlohmann::json::parse(reply->body, nullptr, false).value("id", "") : "";
    }
};

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
    Daemon daemon;
    const LocalAPI api = daemon.api();
    // Started once it answers: the token is written before the port opens.
    bool up = false;
    for (int tries = 0; tries < 100 && !up; ++tries) {
        const auto answer = test::await(api.status(), 1000ms);
        up = answer && answer->has_value();
        if (!up)
            test::spinFor(100ms);
    }
    ASSERT_TRUE(up);

    const RinglarkStatus ready{RINGLARK_VERSION, {true, "100.101.102.103", "desk", "ann@example.com", {}}, {false, false}, {"off", 0}, 0, false};
    EXPECT_TRUE(value(api.status()) == ready);
    const QString url = value(api.pairing()).url;
    EXPECT_TRUE(QRegularExpression("^https://desk\\.tail1234\\.ts\\.net:8643/pair\\?c=[0-9a-f]{32}$").match(url).hasMatch())
        << url.toStdString();
    EXPECT_TRUE(value(api.requests()).isEmpty());

    const std::string first = daemon.raise({{"reason", "Caf\u00e9 \U0001F4F1 login"}, {"ask", "Type \"1\x01\""}, {"app", "Firefox"},
                                            {"title", "Sign in"}, {"agent", "Claude Code"}});
    const std::string second = daemon.raise({{"reason", "Approve"}});
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
