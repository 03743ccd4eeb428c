// Tailscale and notify-send, played by shell scripts on the PATH.

#include "helper/HelperProcess.h"
#include "helper/api/Records.h"
#include "helper/system/Tailscale.h"

#include <gtest/gtest.h>

#include <regex>

using namespace ringlark::helper;
using namespace ringlark::test;

namespace {

const std::string loggedIn = R"({"BackendState": "Running", "Self": {"UserID": 4242, "HostName": "workstation",
  "DNSName": "box.tail1234.ts.net.", "TailscaleIPs": ["fd7a:115c:a1e0::1", "100.101.102.103"]},
  "User": {"4242": {"LoginName": "ada@example.com"}, "7": {"LoginName": "someone@else.com"}},
  "CertDomains": ["box.tail1234.ts.net"]})";
const json ready{{"ok", true}, {"ip", "100.101.102.103"}, {"host", "box"}, {"owner", "ada@example.com"}};

std::string printing(const std::string& output) { return "/bin/cat <<'END'\n" + output + "\nEND"; }

// An executable script in `programs`, a directory to put on the PATH.
void writeScript(const QTemporaryDir& programs, const QString& name, const std::string& body)
{
    writeFile(programs.filePath(name), QByteArray::fromStdString("#!/bin/sh\n" + body + "\n"), true);
}

// A stand-in tailscale: `status` prints `status`, `serve status` prints
// `serving`, and setting serve up runs `setUp`, logging its arguments.
std::string tailscaleScript(const std::string& status, const std::string& serving, const std::string& setUp)
{
    return "case \"$1 $2\" in\n"
           "'status --json') " + printing(status) + "\n;;\n"
           "'serve status') " + printing(serving) + "\n;;\n"
           "serve*) printf '%s\\n' \"$*\" >> \"${0%/*}/served\"; " + setUp + " ;;\n"
           "esac";
}

TailscaleMonitor::Options monitorOptions(const QTemporaryDir& programs, std::optional<int> phonePort)
{
    TailscaleMonitor::Options options;
    options.pathVariable = programs.path().toStdString();
    options.runTimeout = 500ms;
    options.phonePort = phonePort;
    return options;
}

} // namespace

TEST(Tailscale, ServeIsSetUpOnlyWhereItIsFreeAndEveryObstacleSaysWhatToDo)
{
    const std::string withoutCertificates = R"({"BackendState": "Running", "Self": {"UserID": 1,
      "DNSName": "box.tail1234.ts.net.", "TailscaleIPs": ["100.1.2.3"]}, "User": {"1": {"LoginName": "a@b.c"}}})";
    const std::string ours = R"({"TCP": {"8643": {"HTTPS": true}}, "Web": {"box.tail1234.ts.net:8643":
      {"Handlers": {"/": {"Proxy": "http://127.0.0.1:8642"}}}}})";
    const std::string taken = R"({"TCP": {"8643": {"HTTPS": true}}, "Web": {"box.tail1234.ts.net:8643":
      {"Handlers": {"/": {"Proxy": "http://127.0.0.1:3000"}}}}})";
    struct Row {
        std::string status, serving, setUp;
        bool ok;
        std::string errorHas;
        bool setsUp;
    } rows[] = {
        {loggedIn, "{}", "exit 0", true, "", true},
        {loggedIn, ours, "exit 1", true, "", false},
        {loggedIn, taken, "exit 0", false, "tailscale serve --https=8643 off", false},
        {withoutCertificates, "{}", "exit 0", false, "HTTPS certificates", false},
        {loggedIn, "{}", "echo 'Access denied: serve config denied' >&2; exit 1", false,
         "sudo tailscale set --operator=$USER", true},
        {loggedIn, "{}", "echo 'something odd' >&2; exit 1", false, "tailscale serve failed: something odd", true},
    };
    for (const auto& row : rows) {
        QTemporaryDir programs;
        writeScript(programs, "tailscale", tailscaleScript(row.status, row.serving, row.setUp));
        const auto info = TailscaleMonitor(monitorOptions(programs, 8642)).current();
        EXPECT_EQ(info.ok, row.ok) << row.serving << row.setUp;
        EXPECT_NE(info.error.value_or("").find(row.errorHas), std::string::npos) << info.error.value_or("");
        const QByteArray served = readFile(programs.filePath("served"));
        EXPECT_EQ(served.contains("serve --bg --yes --https=8643 http://127.0.0.1:8642"), row.setsUp) << served.toStdString();
        EXPECT_EQ(info.dnsName.value_or(""), "box.tail1234.ts.net");
    }
}

TEST(Tailscale, MonitorMapsWhatTheProgramSays)
{
    QTemporaryDir programs;
    auto probe = [&] { return TailscaleMonitor(monitorOptions(programs, std::nullopt)).current(); };
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
    writeScript(programs, "tailscale", tailscaleScript(loggedIn, "{}", "exit 0"));
    writeScript(programs, "notify-send", "if [ \"$1\" = --help ]; then echo '  -A, --action=NAME=Text'; exit 0; fi\n"
                                         "printf '%s\\n' \"$@\" > \"${0%/*}/args\"; echo done");
    HelperRun daemon({"daemon"}, {{"PATH", programs.path()}});
    ASSERT_TRUE(daemon.serving());

    EXPECT_EQ(http(daemon.port, "/v1/status").parsed()["tailscale"], ready);
    const std::string url = http(daemon.port, "/v1/pairing").parsed().value("url", "");
    EXPECT_TRUE(std::regex_match(url, std::regex("https://box\\.tail1234\\.ts\\.net:8643/pair\\?c=[0-9a-f]{32}"))) << url;
    EXPECT_EQ(http(daemon.port, "/v1/pairing").parsed()["url"], url); // the code stands until it is used

    // The notification's "done" action resolves the request.
    auto created = http(daemon.port, "/v1/requests",
                        R"({"reason":"Approve <sudo>","ask":"Type your password","agent":"Codex"})").parsed();
    auto ended = http(daemon.port, "/v1/requests/" + created["id"].get<std::string>() + "/wait?timeout_ms=3000");
    EXPECT_EQ(ended.parsed()["status"], "resolved");
    const QByteArray shown = readFile(programs.filePath("args"));
    EXPECT_TRUE(shown.contains("--action=default=Open Ringlark\n--action=done=Done"));
    EXPECT_TRUE(shown.contains("Approve &lt;sudo&gt;\nAsks: Type your password")) << shown.toStdString();
}
