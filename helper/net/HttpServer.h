#pragma once

#include "helper/net/EventLoop.h"
#include "helper/net/Http.h"

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>

namespace ringlark::helper {

// A listening socket ready for the server, or why there is none.
struct Listener {
    int fd = -1;
    int error = 0; // errno of the step that failed
};
// 127.0.0.1:<port>, with SO_REUSEADDR only: a port someone else holds fails with EADDRINUSE.
Listener listenTcp(int port);
// A Unix stream socket at `path` (replacing whatever socket was there), mode 0600.
Listener listenLocal(const std::filesystem::path& path);

// HTTP/1.1 over non-blocking sockets on an EventLoop. Each connection carries
// one request at a time; the handler answers it now or later through respond()
// (a long poll parks its connection meanwhile, costing no thread).
class HttpServer {
public:
    using ConnectionId = std::uint64_t;
    struct Options {
        http::RequestParser::Limits limits;
        std::chrono::milliseconds idleTimeout{60000}; // between requests
        // From the accept to the first whole request: a connection that says
        // nothing does not hold a place for long.
        std::chrono::milliseconds firstRequestTimeout{5000};
    };
    // Each listener has a budget of its own, so one kind of client cannot use
    // up another's, and may refuse a connection before it is read.
    struct ListenerOptions {
        std::size_t maxConnections = 1024;
        std::function<bool(int fd)> admit; // may this peer talk to us at all
    };
    struct Exchange {
        ConnectionId connection;
        Transport transport;
    };
    using Handler = std::function<void(const Exchange&, http::Request)>;
    // A connection ended; `awaiting` when its request had no reply yet.
    using ClosedHandler = std::function<void(ConnectionId, bool awaiting)>;

    HttpServer(EventLoop& loop, Options options, Handler handler, ClosedHandler closed = {});
    ~HttpServer();
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;

    // Takes the listening descriptor.
    void serve(int listeningFd, Transport transport) { serve(listeningFd, transport, ListenerOptions()); }
    void serve(int listeningFd, Transport transport, ListenerOptions options);

    // Answers a connection's request; ignored when the connection is gone.
    void respond(ConnectionId connection, const http::Response& response);

    std::size_t connectionCount() const { return m_connections.size(); }

private:
    struct Connection;

    struct ListenerState {
        Transport transport;
        ListenerOptions options;
        std::size_t connections = 0;
    };

    void accept(int listeningFd);
    void onReady(ConnectionId id, std::uint32_t events);
    void dispatch(Connection& connection);
    void send(Connection& connection, const http::Response& response, bool keepAlive);
    void armIdleTimer(Connection& connection);
    bool flush(Connection& connection); // false once the connection failed
    void rearm(Connection& connection);
    void close(ConnectionId id);
    void pauseListeners();

    EventLoop& m_loop;
    Options m_options;
    Handler m_handler;
    ClosedHandler m_closed;
    std::unordered_map<ConnectionId, std::unique_ptr<Connection>> m_connections;
    std::unordered_map<int, ListenerState> m_listeners;
    ConnectionId m_nextId = 1;
    EventLoop::TimerId m_resumeTimer = 0;
};

} // namespace ringlark::helper
