#include "helper/net/Http.h"

#include <algorithm>
#include <cctype>

namespace ringlark::helper::http {

namespace {

bool isToken(std::string_view text)
{
    return !text.empty() && std::all_of(text.begin(), text.end(), [](unsigned char c) {
        return std::isalnum(c) || std::string_view("!#$%&'*+-.^_`|~").find(static_cast<char>(c)) != std::string_view::npos;
    });
}

} // namespace

std::string lower(std::string_view text)
{
    std::string result(text);
    std::transform(result.begin(), result.end(), result.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return result;
}

std::string_view trim(std::string_view text)
{
    const auto first = text.find_first_not_of(" \t\r\n");
    if (first == std::string_view::npos)
        return {};
    return text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
}

bool parseHeaderLines(std::string_view lines, Headers& into)
{
    while (!lines.empty()) {
        const auto end = std::min(lines.find("\r\n"), lines.size());
        const auto line = lines.substr(0, end);
        lines.remove_prefix(std::min(end + 2, lines.size()));
        const auto colon = line.find(':');
        if (colon == std::string_view::npos || !isToken(line.substr(0, colon)))
            return false;
        into.emplace_back(lower(line.substr(0, colon)), std::string(trim(line.substr(colon + 1))));
    }
    return true;
}

const std::string* findHeader(const Headers& headers, std::string_view name)
{
    for (const auto& [key, value] : headers)
        if (key == name)
            return &value;
    return nullptr;
}

const std::string* Request::header(std::string_view name) const { return findHeader(headers, name); }

std::optional<std::string> Request::queryValue(std::string_view name) const
{
    std::string_view rest = query;
    while (!rest.empty()) {
        const auto end = std::min(rest.find('&'), rest.size());
        const auto pair = rest.substr(0, end);
        const auto equals = pair.find('=');
        if (pair.substr(0, equals) == name)
            return std::string(equals == std::string_view::npos ? std::string_view() : pair.substr(equals + 1));
        rest.remove_prefix(std::min(end + 1, rest.size()));
    }
    return std::nullopt;
}

namespace {

Response withBody(int status, const char* contentType, std::string body)
{
    Response response;
    response.status = status;
    response.contentType = contentType;
    response.body = std::move(body);
    return response;
}

} // namespace

Response text(int status, std::string message)
{
    return withBody(status, "text/plain; charset=utf-8", std::move(message));
}

Response json(int status, std::string body) { return withBody(status, "application/json", std::move(body)); }

std::string_view reasonPhrase(int status)
{
    switch (status) {
    case 200: return "OK";
    case 201: return "Created";
    case 204: return "No Content";
    case 400: return "Bad Request";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 405: return "Method Not Allowed";
    case 408: return "Request Timeout";
    case 411: return "Length Required";
    case 413: return "Content Too Large";
    case 415: return "Unsupported Media Type";
    case 429: return "Too Many Requests";
    case 431: return "Request Header Fields Too Large";
    case 500: return "Internal Server Error";
    case 503: return "Service Unavailable";
    case 505: return "HTTP Version Not Supported";
    default: return "Unknown";
    }
}

std::string serialize(const Response& response, bool keepAlive)
{
    std::string out = "HTTP/1.1 " + std::to_string(response.status) + " " + std::string(reasonPhrase(response.status)) + "\r\n";
    if (response.status == 405)
        out += "Allow: GET, POST, PUT, DELETE\r\n";
    if (response.status != 204) {
        if (!response.contentType.empty())
            out += "Content-Type: " + response.contentType + "\r\n";
        out += "Content-Length: " + std::to_string(response.body.size()) + "\r\n";
    }
    for (const auto& [name, value] : response.headers)
        out.append(name).append(": ").append(value).append("\r\n");
    out += keepAlive && !response.close ? "Connection: keep-alive\r\n" : "Connection: close\r\n";
    out += "Cache-Control: no-store\r\n\r\n";
    if (response.status != 204)
        out += response.body;
    return out;
}

bool knownMethod(std::string_view method)
{
    return method == "GET" || method == "POST" || method == "PUT" || method == "DELETE";
}

RequestParser::State RequestParser::feed(std::string_view bytes)
{
    if (m_state == State::failed)
        return m_state;
    m_buffer.append(bytes);
    return parse();
}

RequestParser::State RequestParser::fail(int status, std::string message)
{
    m_failure = text(status, std::move(message));
    m_head.reset();
    m_buffer.clear();
    return m_state = State::failed;
}

RequestParser::State RequestParser::parse()
{
    if (m_state != State::needMore)
        return m_state;
    if (!m_head) {
        // Leading empty lines before a request line are tolerated.
        while (m_buffer.starts_with("\r\n"))
            m_buffer.erase(0, 2);
        // The method is judged as soon as it is complete (the longest known one has 6 letters).
        const auto space = m_buffer.find(' ');
        if (space != std::string::npos ? !knownMethod(std::string_view(m_buffer).substr(0, space)) : m_buffer.size() > 7)
            return fail(405, "This method is not allowed.");
        const auto headEnd = m_buffer.find("\r\n\r\n");
        if (headEnd == std::string::npos) {
            if (m_buffer.size() > m_limits.maxHeaderBytes)
                return fail(431, "The request's header block is larger than 16 KiB.");
            return State::needMore;
        }
        if (headEnd + 4 > m_limits.maxHeaderBytes)
            return fail(431, "The request's header block is larger than 16 KiB.");
        if (auto state = parseHead(headEnd); state == State::failed)
            return state;
        m_buffer.erase(0, headEnd + 4);
    }
    if (m_buffer.size() < m_bodyLength)
        return State::needMore;
    m_head->body = m_buffer.substr(0, m_bodyLength);
    m_buffer.erase(0, m_bodyLength);
    return m_state = State::complete;
}

RequestParser::State RequestParser::parseHead(std::size_t headEnd)
{
    const std::string_view head = std::string_view(m_buffer).substr(0, headEnd);
    const auto lineEnd = std::min(head.find("\r\n"), head.size());
    const std::string_view requestLine = head.substr(0, lineEnd);

    const auto firstSpace = requestLine.find(' ');
    const auto lastSpace = requestLine.rfind(' ');
    if (firstSpace == std::string_view::npos || lastSpace == firstSpace)
        return fail(400, "The request line is malformed.");
    Request request;
    request.method = std::string(requestLine.substr(0, firstSpace));
    request.target = std::string(requestLine.substr(firstSpace + 1, lastSpace - firstSpace - 1));
    const auto version = requestLine.substr(lastSpace + 1);
    if (request.target.empty() || request.target.front() != '/' || request.target.find(' ') != std::string::npos)
        return fail(400, "The request target is malformed.");
    if (version != "HTTP/1.1" && version != "HTTP/1.0")
        return fail(version.starts_with("HTTP/") ? 505 : 400, "Only HTTP/1.1 is spoken here.");
    const auto question = request.target.find('?');
    request.path = request.target.substr(0, question);
    if (question != std::string::npos)
        request.query = request.target.substr(question + 1);

    if (!parseHeaderLines(lineEnd < head.size() ? head.substr(lineEnd + 2) : std::string_view(), request.headers))
        return fail(400, "A header line is malformed.");

    if (request.header("transfer-encoding"))
        return fail(411, "Send the body with a Content-Length; chunked bodies are not accepted.");
    m_bodyLength = 0;
    const std::string* length = nullptr;
    for (const auto& [key, value] : request.headers) {
        if (key != "content-length")
            continue;
        if (length && *length != value)
            return fail(400, "The request carries conflicting Content-Length headers.");
        length = &value;
    }
    if (length) {
        if (length->empty() || length->size() > 12 || length->find_first_not_of("0123456789") != std::string::npos)
            return fail(400, "The Content-Length header is malformed.");
        const auto value = std::stoull(*length);
        if (value > m_limits.maxBodyBytes)
            return fail(413, "The request body is larger than 65536 bytes.");
        m_bodyLength = static_cast<std::size_t>(value);
    }

    const std::string* connection = request.header("connection");
    const std::string connectionValue = connection ? lower(*connection) : "";
    request.keepAlive = version == "HTTP/1.1" ? connectionValue.find("close") == std::string::npos
                                              : connectionValue.find("keep-alive") != std::string::npos;
    m_head = std::move(request);
    return State::needMore;
}

Request RequestParser::take()
{
    Request request = std::move(*m_head);
    m_head.reset();
    m_bodyLength = 0;
    m_state = State::needMore;
    return request;
}

} // namespace ringlark::helper::http
