// Tailscale and notify-send, played by shell scripts on the PATH.

#include "helper/HelperProcess.h"
#include "helper/Tailscale.h"

#include <gtest/gtest.h>

#include <regex>

using namespace ringlark::helper;
using namespace ringlark::test;

namespace {

const std::string loggedIn = R"({"BackendState": "Running", "Self": {"UserID": 4242, "HostName": "workstation",
  "DNSName": "box.tail1234.ts.net.", "TailscaleIPs": ["fd7a:115c:a1e0::1", "100.101.102.103"]},
  "User": {"4242": {"LoginName": "ada@example.com"}, "7": {"LoginName": "someone@else.com"}}})";
const json ready{{"ok", true}, {"ip", "100.101.102.103"}, {"host", "box"}, {"owner", "ada@example.com"}};

std::string printing(const std::string& output) { return "/bin/cat <<'END'\n" + output + "\nEND"; }

// An executable script in `programs`, a directory to put on the PATH.
void writeScript(const QTemporaryDir& programs, const QString& name, const std::string& body)
{
    writeFile(programs.filePath(name), QByteArray::fromStdString("#!/bin/sh\n" + body + "\n"), true);
}

} // namespace

TEST(Tailscale, MonitorMapsWhatTheProgramSays)
{
    QTemporaryDir programs;
    auto probe = [&] { return TailscaleMonitor({programs.path().toStdString(), 500ms}).current(); };
    writeScript(programs, "tailscale", printing(loggedIn));
    EXPECT_EQ(toJson(probe()), ready); // IPv4 preferred whatever the order

    const std::pair<std::string, std::string> failures[] = {
        {printing(R"({"BackendState":"NeedsLogin","Self":{"TailscaleIPs":[]}})"), "not logged in"},
        {printing(R"({"BackendState":"Stopped"})"), "not connected"},
        {"echo 'failed to connect to local tailscaled' >&2; exit 1", "not connected"},
        {"exec /bin/sleep 20", "not connected"}, // hung: killed after the run time-out
    };
    for (const auto& [script, expected] : failures) {
        writeScript(programs, "tailscale", script);
        const auto started = std::chrono::steady_clock::now();
        auto info = probe();
        EXPECT_LT(std::chrono::steady_clock::now() - started, 2s);
        EXPECT_FALSE(info.ok) << script;
        EXPECT_NE(info.error.value_or("").find(expected), std::string::npos) << script;
    }
}

TEST(DaemonDesktop, ReportsTailscalePairsAndRingsTheDesktopOnCreate)
{
    QTemporaryDir programs;
    writeScript(programs, "tailscale", printing(loggedIn));
    writeScript(programs, "notify-send", "if [ \"$1\" = --help ]; then echo '  -A, --action=NAME=Text'; exit 0; fi\n"
                                         "printf '%s\\n' \"$@\" > \"${0%/*}/args\"; echo done");
    HelperRun daemon({"daemon"}, {{"PATH", programs.path()}});
    ASSERT_TRUE(daemon.serving());

    EXPECT_EQ(http(daemon.port, "/v1/status").parsed()["tailscale"], ready);
    const std::string url = http(daemon.port, "/v1/pairing").parsed().value("url", "");
    EXPECT_TRUE(std::regex_match(url, std::regex("ringlark://pair\\?host=100\\.101\\.102\\.103:" +
                                                 std::to_string(daemon.port) + "&token=[0-9a-f]{32}"))) << url;
    EXPECT_EQ(http(daemon.port, "/v1/pairing").parsed()["url"], url); // the token is stable

    // The notification's "done" action resolves the request.
    auto created = http(daemon.port, "/v1/requests",
                        R"({"reason":"Approve <sudo>","ask":"Type your password","agent":"Codex"})").parsed();
    auto ended = http(daemon.port, "/v1/requests/" + created["id"].get<std::string>() + "/wait?timeout_ms=3000");
    EXPECT_EQ(ended.parsed()["status"], "resolved");
    const QByteArray shown = readFile(programs.filePath("args"));
    EXPECT_TRUE(shown.contains("--action=default=Open Ringlark\n--action=done=Done"));
    EXPECT_TRUE(shown.contains("Approve &lt;sudo&gt;\nAsks: Type your password")) << shown.toStdString();
}
