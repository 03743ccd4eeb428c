#pragma once

#include <QUrl>

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace httplib {
class Server;
}

namespace ringlark::test {

// An HTTP server on an ephemeral loopback port that answers each path with a
// reply the test sets, and records every request it receives. Like the real
// daemon it refuses (403) a request without its token.
class StubDaemon {
public:
    struct Reply {
        int code = 200;
        std::string body;
        std::string contentType = "application/json";
    };
    struct Seen {
        std::string method;
        std::string path; // as sent, still percent-encoded
        std::string body;
        std::string token; // the X-Ringlark-Token header, empty when absent
        std::string host;
        std::string contentType;
    };

    // The token a fresh fake daemon expects.
    static constexpr const char* defaultToken = "5eed0f1a2b3c4d5e6f708192a3b4c5d6e7f8091a2b3c4d5e6f708192a3b4c5d6";

    StubDaemon();
    ~StubDaemon();
    StubDaemon(const StubDaemon&) = delete;
    StubDaemon& operator=(const StubDaemon&) = delete;

    int port() const { return m_port; }
    QUrl base() const;

    // Answers GET, POST and DELETE requests for exactly `path`; unset paths get 404.
    void set(const std::string& path, Reply reply);
    void set(const std::string& path, std::string json) { set(path, Reply{200, std::move(json)}); }
    void remove(const std::string& path);

    // The token requests must carry; empty accepts any request.
    void setToken(std::string token);
    const std::string& token() const { return m_token; }
    // Writes the token as the daemon does, into `<configDirectory>/daemon.token`.
    void writeToken(const QString& configDirectory) const;

    std::vector<Seen> seen() const;
    int count(const std::string& path) const;
    void clearSeen();

private:
    Reply answer(const Seen& request);

    std::unique_ptr<httplib::Server> m_server;
    std::thread m_thread;
    int m_port = 0;
    mutable std::mutex m_mutex;
    std::map<std::string, Reply> m_replies;
    std::string m_token = defaultToken;
    std::vector<Seen> m_seen;
};

// A status document with the usual fields; tests replace what they need.
std::string statusJson(bool tailscaleOk = true, long long pending = 0, bool screenRecording = true,
                       bool accessibility = true, const std::string& version = "1.0");

} // namespace ringlark::test
