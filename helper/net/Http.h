#pragma once

// HTTP/1.1 messages as the daemon reads and writes them: pure values and an
// incremental, bounded request parser. No sockets here.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace ringlark::helper {

// Where a request came in: the loopback TCP port or the private Unix socket.
enum class Transport { tcp, local };

} // namespace ringlark::helper

namespace ringlark::helper::http {

// ASCII lower case, as header names and tokens compare.
std::string lower(std::string_view text);
// Without the blanks (spaces, tabs, line ends) around it.
std::string_view trim(std::string_view text);

// Header fields in the order they came, names in lower case.
using Headers = std::vector<std::pair<std::string, std::string>>;

// Reads the header lines of a message head (after its first line, joined by
// CRLF, without the blank line). False when a line is malformed; requests and
// replies alike are read with it.
bool parseHeaderLines(std::string_view lines, Headers& into);
// The first field of that (lower-case) name.
const std::string* findHeader(const Headers& headers, std::string_view name);

struct Request {
    std::string method;
    std::string target; // as sent: path and query
    std::string path;   // before "?", percent-decoding left to the router
    std::string query;  // after "?", without it
    Headers headers;
    std::string body;
    bool keepAlive = true;

    // The first header of that (lower-case) name.
    const std::string* header(std::string_view name) const;
    // A query parameter's raw value; nothing when absent.
    std::optional<std::string> queryValue(std::string_view name) const;
};

struct Response {
    int status = 200;
    std::string contentType;
    std::string body;
    Headers headers;    // beside the framing ones the server writes itself
    bool close = false; // end the connection after this reply
};

Response text(int status, std::string message); // text/plain; charset=utf-8
Response json(int status, std::string body);    // application/json

std::string_view reasonPhrase(int status);
// The bytes on the wire; never compressed. Header names and values must not
// hold line breaks: only the server's own code sets them.
std::string serialize(const Response& response, bool keepAlive);

// Methods this server knows; any other is refused with 405 as soon as the
// request line is read.
bool knownMethod(std::string_view method);

// Reads requests from a byte stream one at a time. Feed it what the socket
// gave; once it reports `complete`, take() the request and call parse() again
// for the bytes that followed (pipelining).
class RequestParser {
public:
    struct Limits {
        std::size_t maxHeaderBytes = 16 * 1024;
        std::size_t maxBodyBytes = 64 * 1024;
    };
    enum class State { needMore, complete, failed };

    RequestParser() : RequestParser(Limits{}) {}
    explicit RequestParser(Limits limits) : m_limits(limits) {}

    State feed(std::string_view bytes);
    State parse();
    Request take();
    // Why parsing failed: the reply to send before closing.
    const Response& failure() const { return m_failure; }
    std::size_t buffered() const { return m_buffer.size(); }

private:
    State fail(int status, std::string message);
    State parseHead(std::size_t headEnd);

    Limits m_limits;
    std::string m_buffer;
    State m_state = State::needMore;
    std::optional<Request> m_head; // headers read, waiting for the body
    std::size_t m_bodyLength = 0;
    Response m_failure;
};

} // namespace ringlark::helper::http
