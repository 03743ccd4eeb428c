#pragma once

// HTTP/1.1 by hand over TCP or the daemon's Unix socket, so tests choose every
// byte: headers a library would add or refuse, bodies of any shape.

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>
#include <string_view>

namespace ringlark::test {

struct RawReply {
    int status = 0; // 0: no complete reply before the time-out or the close
    std::string body;
    bool closed = false; // the daemon closed the connection after it
    std::string head;    // status line and header fields
};

inline int connectTcp(int port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

inline int connectLocal(const std::string& path)
{
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

inline bool sendAll(int fd, std::string_view bytes)
{
    while (!bytes.empty()) {
        const auto count = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (count <= 0)
            return false;
        bytes.remove_prefix(static_cast<std::size_t>(count));
    }
    return true;
}

// One reply (Content-Length framed), read within `timeout`. Bytes read past it
// (the next pipelined reply) are kept in `carry` when given.
inline RawReply readReply(int fd, std::chrono::milliseconds timeout = std::chrono::seconds(3),
                          std::string* carry = nullptr)
{
    RawReply reply;
    std::string buffer = carry ? std::move(*carry) : std::string();
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    std::size_t headEnd = std::string::npos, length = 0;
    while (true) {
        if (headEnd == std::string::npos && (headEnd = buffer.find("\r\n\r\n")) != std::string::npos) {
            reply.status = std::atoi(buffer.c_str() + 9);
            const auto at = buffer.find("Content-Length: ");
            length = at < headEnd ? std::strtoul(buffer.c_str() + at + 16, nullptr, 10) : 0;
            reply.closed = buffer.find("Connection: close") < headEnd;
        }
        if (headEnd != std::string::npos && buffer.size() >= headEnd + 4 + length) {
            reply.body = buffer.substr(headEnd + 4, length);
            reply.head = buffer.substr(0, headEnd);
            if (carry)
                *carry = buffer.substr(headEnd + 4 + length);
            return reply;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        pollfd watched{fd, POLLIN, 0};
        char chunk[65536];
        if (left.count() <= 0 || ::poll(&watched, 1, int(left.count())) <= 0)
            break;
        const auto count = ::read(fd, chunk, sizeof chunk);
        if (count <= 0)
            break;
        buffer.append(chunk, static_cast<std::size_t>(count));
    }
    return {0, buffer, true, {}};
}

inline std::string requestText(const std::string& method, const std::string& target, const std::string& token,
                               const std::string& host, const std::string& body = {}, const std::string& extra = {})
{
    std::string text = method + " " + target + " HTTP/1.1\r\nHost: " + host + "\r\n";
    if (!token.empty())
        text += "X-Ringlark-Token: " + token + "\r\n";
    if (!body.empty())
        text += "Content-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) + "\r\n";
    return text + extra + "\r\n" + body;
}

// A fresh connection for one exchange; fd < 0 gives status 0.
inline RawReply exchangeOn(int fd, const std::string& wire,
                           std::chrono::milliseconds timeout = std::chrono::seconds(3))
{
    if (fd < 0)
        return {};
    RawReply reply = sendAll(fd, wire) ? readReply(fd, timeout) : RawReply{};
    ::close(fd);
    return reply;
}

} // namespace ringlark::test
