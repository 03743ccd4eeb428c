// Tailscale and notify-send, played by shell scripts on the PATH.

#include "helper/HelperProcess.h"
#include "helper/Tailscale.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>

#include <signal.h>

#include <regex>
#include <thread>

using namespace ringlark::helper;
using namespace ringlark::test;
using namespace std::chrono_literals;

namespace {

const std::string loggedIn = R"({
  "Version": "1.76.1", "BackendState": "Running", "MagicDNSSuffix": "tail1234.ts.net",
  "Self": {"ID": "n1", "UserID": 4242, "HostName": "workstation", "DNSName": "box.tail1234.ts.net.",
           "TailscaleIPs": ["fd7a:115c:a1e0::1", "100.101.102.103"], "Online": true},
  "User": {"4242": {"ID": 4242, "LoginName": "ada@example.com", "DisplayName": "Ada"},
           "7": {"ID": 7, "LoginName": "someone@else.com"}}
})";

// A directory of executable scripts to put on the PATH.
class FakePrograms {
public:
    QString path() const { return m_dir.path(); }
    QString file(const QString& name) const { return m_dir.filePath(name); }

    void write(const QString& name, const std::string& body)
    {
        QFile script(file(name));
        script.open(QIODevice::WriteOnly | QIODevice::Truncate);
        script.write(QByteArray::fromStdString("#!/bin/sh\n" + body + "\n"));
        script.close();
        script.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    }

    // A tailscale that prints `json` for `status --json`.
    void tailscale(const std::string& json, int exitStatus = 0)
    {
        write("tailscale", "/bin/cat <<'END'\n" + json + "\nEND\nexit " + std::to_string(exitStatus));
    }

    QByteArray read(const QString& name) const
    {
        QFile f(file(name));
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }

private:
    QTemporaryDir m_dir;
};

TailscaleInfo probe(const FakePrograms& programs, std::chrono::milliseconds timeout = 2s)
{
    return TailscaleMonitor({programs.path().toStdString(), timeout}).current();
}

bool contains(const std::optional<std::string>& text, const std::string& part)
{
    return text && text->find(part) != std::string::npos;
}

} // namespace

TEST(Tailscale, ParsesTheStatesOfItsStatusOutput)
{
    auto ready = parseTailscaleStatus(loggedIn);
    EXPECT_TRUE(ready.ok);
    EXPECT_EQ(ready.ip, "100.101.102.103"); // IPv4 preferred whatever the order
    EXPECT_EQ(ready.host, "box");
    EXPECT_EQ(ready.owner, "ada@example.com");
    EXPECT_FALSE(ready.error);

    auto v6only = parseTailscaleStatus(
        R"({"BackendState":"Running","Self":{"UserID":1,"HostName":"h","TailscaleIPs":["fd7a::5"]},"User":{}})");
    EXPECT_TRUE(v6only.ok);
    EXPECT_EQ(v6only.ip, "fd7a::5");
    EXPECT_EQ(v6only.host, "h");
    EXPECT_FALSE(v6only.owner);

    EXPECT_FALSE(parseTailscaleStatus(R"({"BackendState":"Running","Self":{"TailscaleIPs":[]}})").ok);
    EXPECT_TRUE(contains(parseTailscaleStatus(R"({"BackendState":"Stopped"})").error, "not connected"));
}

TEST(Tailscale, MonitorMapsWhatTheProgramSaysAndBoundsItsRun)
{
    FakePrograms programs;
    EXPECT_TRUE(contains(probe(programs).error, "not installed"));

    programs.tailscale(loggedIn);
    auto ready = probe(programs);
    EXPECT_TRUE(ready.ok);
    EXPECT_EQ(ready.owner, "ada@example.com");

    programs.tailscale(R"({"BackendState":"NeedsLogin","Self":{"TailscaleIPs":[]}})");
    EXPECT_TRUE(contains(probe(programs).error, "not logged in"));

    programs.write("tailscale", "echo 'failed to connect to local tailscaled; it doesn'\"'\"'t appear to be running' >&2\n"
                                "exit 1");
    EXPECT_TRUE(contains(probe(programs).error, "not connected"));

    programs.write("tailscale", "exec /bin/sleep 20");
    const auto started = std::chrono::steady_clock::now();
    auto hung = probe(programs, 200ms);
    EXPECT_LT(std::chrono::steady_clock::now() - started, 1500ms);
    EXPECT_FALSE(hung.ok);
    EXPECT_TRUE(contains(hung.error, "not connected"));
}

TEST(Tailscale, MonitorAsksAgainOnlyAfterItsCacheAges)
{
    FakePrograms programs;
    programs.tailscale(loggedIn);
    programs.write("tailscale", "echo run >> '" + programs.file("runs").toStdString() + "'\n/bin/cat <<'END'\n" +
                                    loggedIn + "\nEND");
    auto now = std::chrono::steady_clock::time_point{};
    TailscaleMonitor monitor({programs.path().toStdString(), 2s, 3s, [&] { return now; }});
    EXPECT_TRUE(monitor.current().ok);
    now += 2900ms;
    EXPECT_TRUE(monitor.current().ok);
    EXPECT_EQ(programs.read("runs").count("run"), 1);
    now += 200ms;
    monitor.current();
    EXPECT_EQ(programs.read("runs").count("run"), 2);
}

TEST(DaemonDesktop, ReportsTailscaleAndPairsOnceItIsUsable)
{
    FakePrograms programs;
    programs.tailscale(loggedIn);
    HelperRun daemon({"daemon"}, {{"PATH", programs.path()}});
    ASSERT_TRUE(daemon.waitUntilServing());

    auto tailscale = httpGet(daemon.port(), "/v1/status").json()["tailscale"];
    EXPECT_EQ(tailscale, (nlohmann::json{{"ok", true}, {"ip", "100.101.102.103"}, {"host", "box"},
                                         {"owner", "ada@example.com"}}));
    auto first = httpGet(daemon.port(), "/v1/pairing");
    ASSERT_EQ(first.status, 200);
    const std::string url = first.json()["url"];
    const std::regex link("ringlark://pair\\?host=100\\.101\\.102\\.103:" + std::to_string(daemon.port()) +
                          "&token=[0-9a-f]{32}");
    EXPECT_TRUE(std::regex_match(url, link)) << url;
    EXPECT_EQ(httpGet(daemon.port(), "/v1/pairing").json()["url"], url); // the token is stable
}

TEST(DaemonDesktop, RingsTheDesktopAndTakesDoneFromTheNotification)
{
    FakePrograms programs;
    const std::string args = programs.file("args").toStdString();
    programs.write("notify-send", "if [ \"$1\" = --help ]; then echo '  -A, --action=[NAME=]Text...'; exit 0; fi\n"
                                  "printf '%s\\n' \"$@\" > '" + args + "'\n"
                                  "echo done");
    HelperRun daemon({"daemon"}, {{"PATH", programs.path()}});
    ASSERT_TRUE(daemon.waitUntilServing());

    auto created = httpPost(daemon.port(), "/v1/requests",
                            R"({"reason":"Approve <sudo>","ask":"Type your password","agent":"Codex"})").json();
    auto ended = httpGet(daemon.port(), "/v1/requests/" + created["id"].get<std::string>() + "/wait?timeout_ms=3000");
    EXPECT_EQ(ended.json()["status"], "resolved");
    const QByteArray shown = programs.read("args");
    EXPECT_TRUE(shown.contains("--action=done=Done"));
    EXPECT_TRUE(shown.contains("Codex needs you"));
    EXPECT_TRUE(shown.contains("Approve &lt;sudo&gt;\nAsks: Type your password"));
}

TEST(DaemonDesktop, AnEndedRequestStopsWaitingOnItsNotification)
{
    FakePrograms programs;
    const std::string pidFile = programs.file("pid").toStdString();
    // Without --action in its help text: a plain notification that stays until closed.
    programs.write("notify-send", "[ \"$1\" = --help ] && exit 0\necho $$ > '" + pidFile + "'\nexec /bin/sleep 20");
    HelperRun daemon({"daemon"}, {{"PATH", programs.path()}});
    ASSERT_TRUE(daemon.waitUntilServing());

    auto created = httpPost(daemon.port(), "/v1/requests", R"({"reason":"Scan the QR code"})").json();
    pid_t shown = 0;
    for (int i = 0; i < 300 && !shown; ++i) {
        shown = programs.read("pid").trimmed().toInt();
        std::this_thread::sleep_for(10ms);
    }
    ASSERT_GT(shown, 0);
    EXPECT_EQ(httpGet(daemon.port(), "/v1/status").json()["pending"], 1); // no "done" from this one

    httpPost(daemon.port(), "/v1/requests/" + created["id"].get<std::string>() + "/cancel");
    bool gone = false;
    for (int i = 0; i < 200 && !gone; ++i) {
        gone = ::kill(shown, 0) != 0;
        std::this_thread::sleep_for(10ms);
    }
    EXPECT_TRUE(gone);
}
