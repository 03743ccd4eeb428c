#include "helper/net/DaemonClient.h"

#include "helper/net/Http.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace ringlark::helper::daemon {

namespace {

std::optional<std::size_t> parseNumber(std::string_view text, int base)
{
    if (text.empty() || text.size() > 12)
        return std::nullopt;
    std::size_t value = 0;
    for (const char c : text) {
        const int digit = c >= '0' && c <= '9'               ? c - '0'
                          : base == 16 && c >= 'a' && c <= 'f' ? c - 'a' + 10
                          : base == 16 && c >= 'A' && c <= 'F' ? c - 'A' + 10
                                                               : -1;
        if (digit < 0)
            return std::nullopt;
        value = value * static_cast<std::size_t>(base) + static_cast<std::size_t>(digit);
    }
    return value;
}

// Ours and closed to group and others.
bool isPrivate(const struct stat& info) { return info.st_uid == ::getuid() && (info.st_mode & 077) == 0; }

} // namespace

std::string requestText(std::string_view method, std::string_view target, std::string_view token,
                        std::string_view jsonBody)
{
    std::string text;
    text.reserve(160 + target.size() + jsonBody.size());
    text.append(method).append(" ").append(target).append(" HTTP/1.1\r\n");
    text.append("Host: localhost\r\nX-Ringlark-Token: ").append(token).append("\r\nConnection: close\r\n");
    if (!jsonBody.empty())
        text.append("Content-Type: application/json\r\n");
    text.append("Content-Length: ").append(std::to_string(jsonBody.size())).append("\r\n\r\n").append(jsonBody);
    return text;
}

// ---------------------------------------------------------------------------

ResponseParser::State ResponseParser::feed(std::string_view bytes)
{
    if (m_state != State::more)
        return m_state;
    m_buffer.append(bytes);
    if (!m_headDone && parseHead() != State::more)
        return m_state;
    return m_headDone ? parseBody() : m_state;
}

ResponseParser::State ResponseParser::finish()
{
    if (m_state != State::more)
        return m_state;
    if (m_headDone && m_framing == Framing::close)
        return m_state = State::done;
    return fail();
}

ResponseParser::State ResponseParser::parseHead()
{
    for (;;) {
        const auto end = m_buffer.find("\r\n\r\n");
        if (end == std::string::npos)
            return m_buffer.size() > maxHeaderBytes ? fail() : State::more;
        if (end > maxHeaderBytes)
            return fail();
        const std::string_view head(m_buffer.data(), end);

        // "HTTP/1.1 200 OK"
        const auto lineEnd = std::min(head.find("\r\n"), head.size());
        const std::string_view statusLine = head.substr(0, lineEnd);
        if (statusLine.substr(0, 7) != "HTTP/1." || statusLine.size() < 12 || statusLine[8] != ' ')
            return fail();
        const auto status = parseNumber(statusLine.substr(9, 3), 10);
        if (!status || *status < 100 || *status > 599 || (statusLine.size() > 12 && statusLine[12] != ' '))
            return fail();

        http::Headers headers;
        if (!http::parseHeaderLines(lineEnd < head.size() ? head.substr(lineEnd + 2) : std::string_view(), headers))
            return fail();
        std::optional<std::size_t> length;
        bool chunked = false;
        for (const auto& [name, value] : headers) {
            if (name == "content-length") {
                length = parseNumber(value, 10);
                if (!length || *length > maxBodyBytes)
                    return fail();
            } else if (name == "transfer-encoding") {
                chunked = http::lower(value).ends_with("chunked");
                if (!chunked)
                    return fail(); // a coding we cannot undo
            }
        }
        m_buffer.erase(0, end + 4);
        if (*status < 200)
            continue; // an interim reply such as 100 Continue; the real one follows

        m_response.status = static_cast<int>(*status);
        m_headDone = true;
        if (*status == 204 || *status == 304) {
            m_framing = Framing::length;
            m_remaining = 0;
        } else if (chunked) {
            m_framing = Framing::chunked;
        } else if (length) {
            m_framing = Framing::length;
            m_remaining = *length;
        } else {
            m_framing = Framing::close;
        }
        return State::more;
    }
}

ResponseParser::State ResponseParser::parseBody()
{
    auto& body = m_response.body;
    switch (m_framing) {
    case Framing::close:
        body.append(m_buffer);
        m_buffer.clear();
        return body.size() > maxBodyBytes ? fail() : State::more;
    case Framing::length: {
        const auto taken = std::min(m_remaining, m_buffer.size());
        body.append(m_buffer, 0, taken);
        m_buffer.erase(0, taken);
        m_remaining -= taken;
        return m_remaining == 0 ? (m_state = State::done) : State::more;
    }
    case Framing::chunked:
        for (;;) {
            if (m_inChunk) {
                const auto taken = std::min(m_remaining, m_buffer.size());
                body.append(m_buffer, 0, taken);
                m_buffer.erase(0, taken);
                m_remaining -= taken;
                if (m_remaining > 0 || m_buffer.size() < 2)
                    return State::more;
                if (m_buffer.compare(0, 2, "\r\n") != 0)
                    return fail();
                m_buffer.erase(0, 2);
                m_inChunk = false;
            }
            const auto lineEnd = m_buffer.find("\r\n");
            if (lineEnd == std::string::npos)
                return m_buffer.size() > 1024 ? fail() : State::more;
            const std::string_view sizeLine(m_buffer.data(), lineEnd);
            const auto size = parseNumber(http::trim(sizeLine.substr(0, sizeLine.find(';'))), 16);
            if (!size || body.size() + *size > maxBodyBytes)
                return fail();
            m_buffer.erase(0, lineEnd + 2);
            if (*size == 0)
                return m_state = State::done; // trailers, if any, go with the closing connection
            m_remaining = *size;
            m_inChunk = true;
        }
    }
    return fail();
}

// ---------------------------------------------------------------------------

ChannelPaths ChannelPaths::in(const std::filesystem::path& home)
{
    const auto directory = home / ".ringlark";
    return {directory, directory / "daemon.sock", directory / "daemon.token"};
}

ChannelState checkSocket(const ChannelPaths& paths)
{
    struct stat info {};
    if (::lstat(paths.directory.c_str(), &info) != 0)
        return ChannelState::missing;
    if (!S_ISDIR(info.st_mode) || !isPrivate(info))
        return ChannelState::unsafe;
    if (::lstat(paths.socket.c_str(), &info) != 0 || !S_ISSOCK(info.st_mode))
        return ChannelState::missing;
    return info.st_uid == ::getuid() ? ChannelState::ready : ChannelState::unsafe;
}

TokenRead readToken(const std::filesystem::path& file)
{
    const int fd = ::open(file.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0)
        return {errno == ELOOP ? ChannelState::unsafe : ChannelState::missing, {}};
    struct stat info {};
    std::string text;
    ChannelState state = ChannelState::ready;
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || !isPrivate(info)) {
        state = ChannelState::unsafe;
    } else {
        char buffer[512];
        ssize_t count = 0;
        while (text.size() <= 256 && (count = ::read(fd, buffer, sizeof buffer)) > 0)
            text.append(buffer, static_cast<std::size_t>(count));
    }
    ::close(fd);
    if (state != ChannelState::ready)
        return {state, {}};
    const auto token = http::trim(text);
    // It goes into a header line: nothing that could end or split it.
    const bool printable = std::all_of(token.begin(), token.end(), [](char c) { return c > ' ' && c < 127; });
    if (token.empty() || token.size() > 256 || !printable)
        return {ChannelState::missing, {}};
    return {ChannelState::ready, std::string(token)};
}

ChannelState Channel::prepare()
{
    if (const auto state = checkSocket(m_paths); state != ChannelState::ready)
        return state;
    if (m_token.empty()) {
        auto read = readToken(m_paths.token);
        if (read.state != ChannelState::ready)
            return read.state;
        m_token = std::move(read.token);
    }
    return ChannelState::ready;
}

bool Channel::reloadToken()
{
    auto read = readToken(m_paths.token);
    if (read.state != ChannelState::ready || read.token == m_token)
        return false;
    m_token = std::move(read.token);
    return true;
}

// ---------------------------------------------------------------------------

Exchange::Exchange(const std::filesystem::path& socket, std::string request, Clock::time_point deadline)
    : m_request(std::move(request)), m_deadline(deadline)
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string path = socket.string();
    if (path.size() >= sizeof address.sun_path) {
        m_result = Result::failed;
        return;
    }
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    m_fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (m_fd < 0) {
        // Out of descriptors passes as other calls end.
        m_result = errno == EMFILE || errno == ENFILE ? Result::busy : Result::failed;
        return;
    }
    if (::connect(m_fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 && errno != EINPROGRESS) {
        end(errno == EAGAIN                             ? Result::busy
            : errno == ENOENT || errno == ECONNREFUSED ? Result::refused
                                                       : Result::failed);
        return;
    }
    // Whoever listens there must be us: the socket's place guards it, this checks it.
    ucred peer{};
    socklen_t size = sizeof peer;
    if (::getsockopt(m_fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0 || peer.uid != ::getuid())
        end(Result::unsafe);
}

Exchange::~Exchange()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

short Exchange::events() const { return m_sent < m_request.size() ? POLLOUT : POLLIN; }

void Exchange::end(Result result)
{
    m_result = result;
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
    m_request = {};
}

void Exchange::onEvents(short revents)
{
    if (m_result != Result::pending || revents == 0)
        return;
    if (m_sent < m_request.size()) {
        const auto sent = ::send(m_fd, m_request.data() + m_sent, m_request.size() - m_sent, MSG_NOSIGNAL);
        if (sent < 0) {
            if (errno != EAGAIN && errno != EINTR)
                end(Result::failed);
            return;
        }
        m_sent += static_cast<std::size_t>(sent);
        return;
    }
    char buffer[16384];
    const auto received = ::recv(m_fd, buffer, sizeof buffer, 0);
    if (received < 0) {
        if (errno != EAGAIN && errno != EINTR)
            end(Result::failed);
        return;
    }
    const auto state = received == 0 ? m_parser.finish()
                                     : m_parser.feed(std::string_view(buffer, static_cast<std::size_t>(received)));
    if (state != ResponseParser::State::more)
        end(state == ResponseParser::State::done ? Result::replied : Result::failed);
}

bool Exchange::expire(Clock::time_point now)
{
    if (m_result != Result::pending || now < m_deadline)
        return false;
    end(Result::failed);
    return true;
}

} // namespace ringlark::helper::daemon
