#pragma once

#include <QProcess>
#include <QStringList>
#include <QTemporaryDir>

#include <nlohmann/json.hpp>

#include <chrono>
#include <map>
#include <memory>
#include <optional>
#include <string>

namespace ringlark::test {

// A loopback port that was free a moment ago.
int freePort();

struct HttpReply {
    int status = 0; // 0 when nothing answered
    std::string body;
    nlohmann::json json() const { return nlohmann::json::parse(body, nullptr, false); }
};

HttpReply http(const std::string& method, int port, const std::string& path, const std::string& body = "");
inline HttpReply httpGet(int port, const std::string& path) { return http("GET", port, path); }
inline HttpReply httpPost(int port, const std::string& path, const std::string& body = "")
{
    return http("POST", port, path, body);
}

// The helper executable run as a child with a temporary home and its own port.
class HelperRun {
public:
    // `extraEnvironment` adds to or replaces variables of the test's own
    // environment; PATH is an empty directory unless given.
    explicit HelperRun(QStringList arguments, std::map<QString, QString> extraEnvironment = {},
                       QString home = {}, int port = 0);
    ~HelperRun();

    QProcess& process() { return *m_process; }
    int port() const { return m_port; }
    QString home() const { return m_home; }

    // Polls the status endpoint until it answers, bounded.
    bool waitUntilServing(std::chrono::milliseconds timeout = std::chrono::seconds(5));
    bool finish(std::chrono::milliseconds timeout = std::chrono::seconds(5));
    void signal(int number);
    std::string standardError();

    // One line to standard input; the next JSON message from standard output, bounded.
    void send(const std::string& line);
    void send(const nlohmann::json& message) { send(message.dump()); }
    std::optional<nlohmann::json> nextMessage(std::chrono::milliseconds timeout = std::chrono::seconds(3));

private:
    QTemporaryDir m_homeDir;
    QTemporaryDir m_emptyDir;
    QString m_home;
    int m_port;
    std::unique_ptr<QProcess> m_process;
    std::string m_stderr;
};

} // namespace ringlark::test
