#include "helper/net/HttpServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace ringlark::helper {

namespace {

Listener failed(int fd)
{
    const int error = errno;
    if (fd >= 0)
        ::close(fd);
    return {-1, error};
}

} // namespace

Listener listenTcp(int port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return failed(fd);
    // Reuse addresses in TIME_WAIT after a restart, but never share the port
    // (no SO_REUSEPORT): a second copy must fail to bind.
    int yes = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(fd, SOMAXCONN) != 0)
        return failed(fd);
    return {fd, 0};
}

Listener listenLocal(const std::filesystem::path& path)
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string text = path.string();
    if (text.size() >= sizeof address.sun_path) {
        errno = ENAMETOOLONG;
        return failed(-1);
    }
    std::memcpy(address.sun_path, text.c_str(), text.size() + 1);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return failed(fd);
    // A socket left by an earlier run (or anything but a directory) gives way.
    struct stat existing {};
    if (::lstat(text.c_str(), &existing) == 0 && !S_ISDIR(existing.st_mode))
        ::unlink(text.c_str());
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::chmod(text.c_str(), 0600) != 0
        || ::listen(fd, SOMAXCONN) != 0)
        return failed(fd);
    return {fd, 0};
}

struct HttpServer::Connection {
    ConnectionId id = 0;
    int fd = -1;
    int listener = -1;
    Transport transport = Transport::tcp;
    http::RequestParser parser;
    std::string out;
    std::size_t sent = 0;
    bool awaiting = false;       // a request waits for its reply
    bool keepAlive = true;       // of the request that waits
    bool closeAfterSend = false; // the last reply is going out
    bool dispatching = false;    // inside the handler: closing must wait
    bool closing = false;
    bool heard = false; // a whole request came
    EventLoop::TimerId idleTimer = 0;
    std::uint32_t armed = EPOLLIN | EPOLLRDHUP; // what epoll watches for now
};

HttpServer::HttpServer(EventLoop& loop, Options options, Handler handler, ClosedHandler closed)
    : m_loop(loop), m_options(options), m_handler(std::move(handler)), m_closed(std::move(closed))
{
}

HttpServer::~HttpServer()
{
    for (auto& [id, connection] : m_connections) {
        m_loop.cancel(connection->idleTimer);
        m_loop.unwatch(connection->fd);
        ::close(connection->fd);
    }
    for (auto& [fd, listener] : m_listeners) {
        m_loop.unwatch(fd);
        ::close(fd);
    }
    m_loop.cancel(m_resumeTimer);
}

void HttpServer::serve(int listeningFd, Transport transport, ListenerOptions options)
{
    m_listeners[listeningFd] = {transport, std::move(options), 0};
    m_loop.watch(listeningFd, EPOLLIN, [this, listeningFd](std::uint32_t) { accept(listeningFd); });
}

void HttpServer::accept(int listeningFd)
{
    ListenerState& listener = m_listeners.at(listeningFd);
    while (true) {
        const int fd = ::accept4(listeningFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED)
                continue;
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM)
                pauseListeners();
            return;
        }
        if (listener.connections >= listener.options.maxConnections
            || (listener.options.admit && !listener.options.admit(fd))) {
            ::close(fd);
            continue;
        }
        ++listener.connections;
        auto connection = std::make_unique<Connection>();
        connection->id = m_nextId++;
        connection->fd = fd;
        connection->listener = listeningFd;
        connection->transport = listener.transport;
        connection->parser = http::RequestParser(m_options.limits);
        const ConnectionId id = connection->id;
        Connection& added = *connection;
        m_connections.emplace(id, std::move(connection));
        m_loop.watch(fd, EPOLLIN | EPOLLRDHUP, [this, id](std::uint32_t events) { onReady(id, events); });
        rearm(added);
    }
}

// Out of descriptors: stop accepting for a moment rather than spin on a
// listener that stays readable.
void HttpServer::pauseListeners()
{
    if (m_resumeTimer)
        return;
    for (auto& [fd, listener] : m_listeners)
        m_loop.modify(fd, 0);
    m_resumeTimer = m_loop.at(EventLoop::Clock::now() + std::chrono::milliseconds(100), [this] {
        m_resumeTimer = 0;
        for (auto& [fd, listener] : m_listeners)
            m_loop.modify(fd, EPOLLIN);
    });
}

void HttpServer::onReady(ConnectionId id, std::uint32_t events)
{
    auto found = m_connections.find(id);
    if (found == m_connections.end())
        return;
    Connection& connection = *found->second;
    if (events & (EPOLLERR | EPOLLHUP)) {
        close(id);
        return;
    }
    // The peer hung up while its request waits or a reply goes out: nobody to answer.
    if ((events & EPOLLRDHUP) && (connection.awaiting || connection.closeAfterSend || !connection.out.empty())) {
        close(id);
        return;
    }
    if (events & EPOLLOUT) {
        if (!flush(connection) || (connection.closeAfterSend && connection.out.empty())) {
            close(id);
            return;
        }
        dispatch(connection); // requests that came while the reply was going out
        if (connection.closing) {
            close(id);
            return;
        }
    }
    const bool reading = !connection.awaiting && !connection.closeAfterSend && connection.out.empty();
    if ((events & (EPOLLIN | EPOLLRDHUP)) && reading) {
        char buffer[16384];
        while (true) {
            const auto count = ::read(connection.fd, buffer, sizeof buffer);
            if (count > 0) {
                connection.parser.feed(std::string_view(buffer, static_cast<std::size_t>(count)));
                dispatch(connection);
                if (connection.closing) {
                    close(id);
                    return;
                }
                if (connection.awaiting || connection.closeAfterSend || !connection.out.empty())
                    break;
                continue;
            }
            if (count < 0 && errno == EINTR)
                continue;
            if (count < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
                break;
            close(id); // end of stream or a broken connection
            return;
        }
    }
    rearm(connection);
}

void HttpServer::dispatch(Connection& connection)
{
    // One reply at a time on the wire: a client that sends but does not read
    // stops being read until its replies have gone out.
    while (!connection.awaiting && !connection.closeAfterSend && !connection.closing && connection.out.empty()) {
        const auto state = connection.parser.parse();
        if (state == http::RequestParser::State::needMore)
            return;
        if (state == http::RequestParser::State::failed) {
            send(connection, connection.parser.failure(), false);
            return;
        }
        http::Request request = connection.parser.take();
        connection.heard = true;
        connection.awaiting = true;
        connection.keepAlive = request.keepAlive;
        m_loop.cancel(connection.idleTimer);
        connection.idleTimer = 0;
        connection.dispatching = true;
        m_handler({connection.id, connection.transport}, std::move(request));
        connection.dispatching = false;
    }
}

void HttpServer::respond(ConnectionId id, const http::Response& response)
{
    auto found = m_connections.find(id);
    if (found == m_connections.end() || !found->second->awaiting)
        return;
    Connection& connection = *found->second;
    connection.awaiting = false;
    send(connection, response, connection.keepAlive);
    if (connection.dispatching)
        return; // dispatch() goes on with what follows
    dispatch(connection);
    if (connection.closing)
        close(id);
    else
        rearm(connection);
}

void HttpServer::send(Connection& connection, const http::Response& response, bool keepAlive)
{
    keepAlive = keepAlive && !response.close;
    connection.out += http::serialize(response, keepAlive);
    if (!keepAlive)
        connection.closeAfterSend = true;
    if (!flush(connection) || (connection.closeAfterSend && connection.out.empty()))
        connection.closing = true;
}

bool HttpServer::flush(Connection& connection)
{
    while (connection.sent < connection.out.size()) {
        const auto count = ::send(connection.fd, connection.out.data() + connection.sent,
                                  connection.out.size() - connection.sent, MSG_NOSIGNAL);
        if (count >= 0) {
            connection.sent += static_cast<std::size_t>(count);
            continue;
        }
        if (errno == EINTR)
            continue;
        return errno == EAGAIN || errno == EWOULDBLOCK;
    }
    connection.out.clear();
    connection.sent = 0;
    return true;
}

void HttpServer::rearm(Connection& connection)
{
    std::uint32_t events = EPOLLRDHUP;
    if (!connection.awaiting && !connection.closeAfterSend && connection.out.empty())
        events |= EPOLLIN;
    if (!connection.out.empty())
        events |= EPOLLOUT;
    // A poll's request and reply leave the interest as it was: no system call.
    if (events != connection.armed) {
        m_loop.modify(connection.fd, events);
        connection.armed = events;
    }

    const bool idle = !connection.awaiting && connection.out.empty();
    if (idle && !connection.idleTimer) {
        armIdleTimer(connection);
    } else if (!idle && connection.idleTimer) {
        m_loop.cancel(connection.idleTimer);
        connection.idleTimer = 0;
    }
}

void HttpServer::armIdleTimer(Connection& connection)
{
    const ConnectionId id = connection.id;
    const auto timeout = connection.heard ? m_options.idleTimeout : m_options.firstRequestTimeout;
    connection.idleTimer = m_loop.at(EventLoop::Clock::now() + timeout, [this, id] {
        if (auto found = m_connections.find(id); found != m_connections.end()) {
            found->second->idleTimer = 0;
            close(id);
        }
    });
}

void HttpServer::close(ConnectionId id)
{
    auto found = m_connections.find(id);
    if (found == m_connections.end())
        return;
    Connection& connection = *found->second;
    if (connection.dispatching) {
        connection.closing = true;
        return;
    }
    m_loop.cancel(connection.idleTimer);
    m_loop.unwatch(connection.fd);
    ::close(connection.fd);
    if (auto listener = m_listeners.find(connection.listener); listener != m_listeners.end())
        --listener->second.connections;
    const bool awaiting = connection.awaiting;
    m_connections.erase(found);
    if (m_closed)
        m_closed(id, awaiting);
}

} // namespace ringlark::helper
