#pragma once

// The helper executable run as a child, and a small HTTP client for its daemon.

#include "support/Files.h"

#include <httplib.h>
#include <nlohmann/json.hpp>

#include <QDeadlineTimer>
#include <QFile>
#include <QProcess>
#include <QTcpServer>
#include <QTemporaryDir>

#include <signal.h>

#include <chrono>
#include <map>
#include <optional>
#include <thread>
#include <vector>

namespace ringlark::test {

using nlohmann::json;
using namespace std::chrono_literals;

struct HttpReply {
    int status = 0; // 0 when nothing answered
    std::string body;
    json parsed() const { return json::parse(body, nullptr, false); }
};

// The token of the daemon serving each port, as HelperRun::serving() found it.
inline std::map<int, std::string>& daemonTokens()
{
    static std::map<int, std::string> tokens;
    return tokens;
}

// A GET, or a POST of `body` when given; with the daemon's token when known.
inline HttpReply http(int port, const std::string& path, const std::optional<std::string>& body = {})
{
    httplib::Client client("127.0.0.1", port);
    client.set_read_timeout(5s);
    httplib::Headers headers;
    if (auto token = daemonTokens().find(port); token != daemonTokens().end())
        headers.emplace("X-Ringlark-Token", token->second);
    auto result = body ? client.Post(path.c_str(), headers, *body, "application/json") : client.Get(path.c_str(), headers);
    return result ? HttpReply{result->status, result->body} : HttpReply{};
}

class HelperRun {
    QTemporaryDir m_homeDir, m_emptyDir; // first: the members below use them

public:
    // `environment` adds to or replaces the test's own; PATH is an empty directory unless given.
    explicit HelperRun(const QStringList& arguments, const std::map<QString, QString>& environment = {},
                       const QString& homePath = {}, int daemonPort = 0)
        : home(homePath.isEmpty() ? m_homeDir.path() : homePath), port(daemonPort ? daemonPort : freePort()),
          phonePort(freePort())
    {
        auto variables = QProcessEnvironment::systemEnvironment();
        variables.insert("HOME", home);
        variables.insert("RINGLARK_PORT", QString::number(port));
        variables.insert("RINGLARK_PHONE_PORT", QString::number(phonePort));
        variables.insert("PATH", m_emptyDir.path());
        // No desktop unless a test brings one: what the daemon may show depends on it.
        for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "XDG_SESSION_TYPE"})
            variables.remove(name);
        for (const auto& [name, value] : environment)
            variables.insert(name, value);
        process.setProcessEnvironment(variables);
        process.start(QStringLiteral(RINGLARK_HELPER_PATH), arguments);
        process.waitForStarted(5000);
    }
    // Never leaves a helper behind.
    ~HelperRun() { if (process.state() != QProcess::NotRunning) process.kill(), process.waitForFinished(2000); }

    bool serving()
    {
        for (int i = 0; i < 500; ++i, std::this_thread::sleep_for(10ms)) {
            daemonTokens()[port] = token();
            if (http(port, "/v1/status").status == 200)
                return true;
        }
        return false;
    }
    // The token the daemon wrote into this run's home.
    std::string token() const
    {
        return readFile(home + "/.ringlark/daemon.token").trimmed().toStdString();
    }
    bool finish(std::chrono::milliseconds timeout = 5s)
    {
        return process.state() == QProcess::NotRunning || process.waitForFinished(int(timeout.count()));
    }

    void send(const json& message)
    {
        process.write(QByteArray::fromStdString(message.dump() + "\n"));
        process.waitForBytesWritten(1000);
    }

    // The next JSON line from standard output; progress notifications on the way go to `progress`.
    std::optional<json> nextMessage(std::chrono::milliseconds timeout = 3s)
    {
        QDeadlineTimer deadline(timeout);
        while (process.canReadLine() || process.waitForReadyRead(int(deadline.remainingTime()))) {
            if (!process.canReadLine())
                continue;
            auto message = json::parse(process.readLine().toStdString(), nullptr, false);
            if (!message.is_object() || message.value("method", "") != "notifications/progress")
                return message;
            progress.push_back(message["params"]);
        }
        return std::nullopt;
    }

    const QString home;
    const int port;
    const int phonePort;
    QProcess process;
    std::vector<json> progress;

private:
    static int freePort() { QTcpServer probe; return probe.listen(QHostAddress::LocalHost) ? probe.serverPort() : 0; }
};

} // namespace ringlark::test
