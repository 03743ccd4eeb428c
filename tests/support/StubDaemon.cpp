#include "support/StubDaemon.h"

#include "support/Files.h"

#include <httplib.h>
#include <nlohmann/json.hpp>

#include <chrono>

namespace ringlark::test {

StubDaemon::StubDaemon() : m_server(std::make_unique<httplib::Server>())
{
    auto handle = [this](const httplib::Request& request, httplib::Response& response) {
        const Reply reply = answer(Seen{request.method, request.target, request.body,
                                        request.get_header_value("X-Ringlark-Token"), request.get_header_value("Host"),
                                        request.get_header_value("Content-Type")});
        response.status = reply.code;
        response.set_content(reply.body, reply.contentType.c_str());
    };
    m_server->Get(".*", handle);
    m_server->Post(".*", handle);
    m_server->Delete(".*", handle);
    // One request per connection, so stopping never waits on an idle keep-alive.
    m_server->set_keep_alive_max_count(1);
    m_port = m_server->bind_to_any_port("127.0.0.1");
    m_thread = std::thread([this] { m_server->listen_after_bind(); });
    // stop() is ignored until the accept loop runs.
    while (!m_server->is_running())
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

StubDaemon::~StubDaemon()
{
    m_server->stop();
    m_thread.join();
}

QUrl StubDaemon::base() const
{
    return QUrl(QStringLiteral("http://127.0.0.1:%1").arg(m_port));
}

void StubDaemon::set(const std::string& path, Reply reply)
{
    std::lock_guard lock(m_mutex);
    m_replies[path] = std::move(reply);
}

void StubDaemon::remove(const std::string& path)
{
    std::lock_guard lock(m_mutex);
    m_replies.erase(path);
}

void StubDaemon::setToken(std::string token)
{
    std::lock_guard lock(m_mutex);
    m_token = std::move(token);
}

void StubDaemon::writeToken(const QString& configDirectory) const
{
    writeFile(configDirectory + QStringLiteral("/daemon.token"), QByteArray::fromStdString(m_token) + '\n');
}

std::vector<StubDaemon::Seen> StubDaemon::seen() const
{
    std::lock_guard lock(m_mutex);
    return m_seen;
}

int StubDaemon::count(const std::string& path) const
{
    std::lock_guard lock(m_mutex);
    int n = 0;
    for (const auto& s : m_seen)
        n += s.path == path;
    return n;
}

void StubDaemon::clearSeen()
{
    std::lock_guard lock(m_mutex);
    m_seen.clear();
}

StubDaemon::Reply StubDaemon::answer(const Seen& request)
{
    std::lock_guard lock(m_mutex);
    m_seen.push_back(request);
    if (!m_token.empty() && request.token != m_token)
        return Reply{403, "Missing or wrong token.", "text/plain"};
    if (auto it = m_replies.find(request.path); it != m_replies.end())
        return it->second;
    return Reply{404, "not found", "text/plain"};
}

std::string statusJson(bool tailscaleOk, long long pending, bool screenRecording, bool accessibility,
                       const std::string& version)
{
    nlohmann::json tailscale = {{"ok", tailscaleOk}};
    if (tailscaleOk) {
        tailscale["ip"] = "100.64.0.1";
        tailscale["host"] = "desk";
        tailscale["owner"] = "user@example.com";
    } else {
        tailscale["error"] = "not connected";
    }
    return nlohmann::json{
        {"version", version},
        {"tailscale", tailscale},
        {"permissions", {{"screen_recording", screenRecording}, {"accessibility", accessibility}}},
        {"push", {{"mode", "direct"}, {"devices", 1}}},
        {"pending", pending},
        {"session_active", false},
    }.dump();
}

} // namespace ringlark::test
