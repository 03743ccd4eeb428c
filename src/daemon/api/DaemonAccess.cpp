#include "daemon/api/DaemonAccess.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <memory>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace ringlark {

namespace {

// A token file is 65 bytes; anything much larger is not one.
constexpr qsizetype tokenFileLimit = 4096;

struct Fd {
    int fd;
    ~Fd() { if (fd >= 0) ::close(fd); }
};

} // namespace

std::optional<QByteArray> parseToken(QByteArrayView content)
{
    const QByteArray token = content.trimmed().toByteArray();
    if (token.isEmpty())
        return std::nullopt;
    // It goes into a header line: no controls, no blanks, nothing beyond ASCII.
    for (const char c : token)
        if (c < 0x21 || c > 0x7e)
            return std::nullopt;
    return token;
}

TokenFile::TokenFile(QString path, std::uint32_t uid) : m_path(std::move(path)), m_uid(uid) {}

std::optional<QByteArray> TokenFile::read()
{
    struct stat st {};
    const QByteArray path = m_path.toLocal8Bit();
    if (::lstat(path.constData(), &st) != 0) {
        m_stamp.reset();
        m_token.reset();
        return std::nullopt;
    }
    const Stamp stamp{std::uint64_t(st.st_dev), std::uint64_t(st.st_ino), std::int64_t(st.st_size),
                      std::int64_t(st.st_mtim.tv_sec) * 1'000'000'000 + st.st_mtim.tv_nsec};
    if (m_stamp && *m_stamp == stamp)
        return m_token;
    return reread();
}

std::optional<QByteArray> TokenFile::reread()
{
    m_stamp.reset();
    m_token.reset();
    const Fd file{::open(m_path.toLocal8Bit().constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK)};
    struct stat st {};
    if (file.fd < 0 || ::fstat(file.fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != m_uid ||
        st.st_size > tokenFileLimit)
        return std::nullopt;
    char buffer[tokenFileLimit];
    const ssize_t n = ::read(file.fd, buffer, sizeof buffer);
    if (n < 0)
        return std::nullopt;
    m_stamp = Stamp{std::uint64_t(st.st_dev), std::uint64_t(st.st_ino), std::int64_t(st.st_size),
                    std::int64_t(st.st_mtim.tv_sec) * 1'000'000'000 + st.st_mtim.tv_nsec};
    m_token = parseToken(QByteArrayView(buffer, n));
    return m_token;
}

namespace {

// The next blank-separated field of `line` from `pos`.
std::string_view field(std::string_view line, std::size_t& pos)
{
    while (pos < line.size() && (line[pos] == ' ' || line[pos] == '\t'))
        ++pos;
    const std::size_t start = pos;
    while (pos < line.size() && line[pos] != ' ' && line[pos] != '\t')
        ++pos;
    return line.substr(start, pos - start);
}

bool isHex(std::string_view text)
{
    if (text.empty())
        return false;
    for (const char c : text)
        if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f')))
            return false;
    return true;
}

} // namespace

std::optional<SocketRow> parseSocketRow(std::string_view line)
{
    std::size_t pos = 0;
    const std::string_view slot = field(line, pos);
    if (slot.size() < 2 || slot.back() != ':')
        return std::nullopt; // the header starts with "sl"
    SocketRow row;
    row.local = field(line, pos);
    const std::string_view remote = field(line, pos);
    row.state = field(line, pos);
    for (int skip = 0; skip < 3; ++skip) // tx:rx queues, timer, retransmits
        field(line, pos);
    const std::string_view uid = field(line, pos);
    const auto colon = row.local.find(':');
    if (colon == std::string_view::npos || !isHex(row.local.substr(0, colon)) || !isHex(row.local.substr(colon + 1)) ||
        remote.find(':') == std::string_view::npos || row.state.size() != 2 || uid.empty())
        return std::nullopt;
    const auto [end, error] = std::from_chars(uid.data(), uid.data() + uid.size(), row.uid);
    if (error != std::errc() || end != uid.data() + uid.size())
        return std::nullopt;
    return row;
}

namespace {

enum class Scan { read, missing };

// Feeds every listening row of a socket table to `row`. The kernel lists
// listening sockets first, so the scan ends at the first row in another
// state; one small buffer, refilled, holds the partial line in between.
template <typename OnRow>
Scan scanListening(const char* path, OnRow&& row)
{
    const Fd file{::open(path, O_RDONLY | O_CLOEXEC)};
    if (file.fd < 0)
        return Scan::missing;
    char buffer[4096];
    std::size_t held = 0;
    bool header = true;
    for (;;) {
        // A few rows at a time: the kernel formats only what is asked for,
        // and a large read would have it walk the connections after the
        // listeners too.
        const ssize_t n = ::read(file.fd, buffer + held, std::min<std::size_t>(1024, sizeof buffer - held));
        if (n <= 0)
            return Scan::read;
        held += std::size_t(n);
        std::size_t start = 0;
        for (;;) {
            const void* newline = std::memchr(buffer + start, '\n', held - start);
            if (!newline)
                break;
            const std::size_t end = std::size_t(static_cast<const char*>(newline) - buffer);
            const std::string_view line(buffer + start, end - start);
            start = end + 1;
            if (header) {
                header = false;
                continue;
            }
            const auto parsed = parseSocketRow(line);
            if (!parsed || parsed->state != "0A")
                return Scan::read;
            row(*parsed);
        }
        if (start == 0 && held == sizeof buffer)
            return Scan::read; // a line longer than any real row
        std::memmove(buffer, buffer + start, held - start);
        held -= start;
    }
}

void add(ListenerOwners& owners, std::uint32_t uid)
{
    if (owners.count == int(std::size(owners.uids)))
        owners.complete = false;
    else
        owners.uids[owners.count++] = uid;
}

// "XXXXXXXX:PPPP" with the port in upper-case hex, compared without case.
bool sameAddress(std::string_view local, std::string_view address, const char (&port)[5])
{
    if (local.size() != address.size() + 5 || local[address.size()] != ':')
        return false;
    for (std::size_t i = 0; i < local.size(); ++i) {
        const char want = i < address.size() ? address[i] : i == address.size() ? ':' : port[i - address.size() - 1];
        char got = local[i];
        if (got >= 'a' && got <= 'f')
            got = char(got - 'a' + 'A');
        if (got != want)
            return false;
    }
    return true;
}

} // namespace

ListenerOwners findListeners(const char* procNet, std::uint16_t port, bool dualStack)
{
    static constexpr char digits[] = "0123456789ABCDEF";
    const char portHex[5] = {digits[(port >> 12) & 15], digits[(port >> 8) & 15], digits[(port >> 4) & 15],
                             digits[port & 15], 0};
    char path[512];

    ListenerOwners exact, wildcard;
    std::snprintf(path, sizeof path, "%s/tcp", procNet);
    // 127.0.0.1 as the kernel prints it, in host byte order.
    const Scan v4 = scanListening(path, [&](const SocketRow& row) {
        if (sameAddress(row.local, "0100007F", portHex))
            add(exact, row.uid);
        else if (sameAddress(row.local, "00000000", portHex))
            add(wildcard, row.uid);
    });
    if (v4 == Scan::missing)
        return {.complete = false};
    // The most specific listener takes the connection.
    if (exact.count > 0)
        return exact;
    if (wildcard.count > 0 || !dualStack)
        return wildcard;

    std::snprintf(path, sizeof path, "%s/tcp6", procNet);
    scanListening(path, [&](const SocketRow& row) {
        if (sameAddress(row.local, "00000000000000000000000000000000", portHex) ||
            sameAddress(row.local, "0000000000000000FFFF00000100007F", portHex))
            add(wildcard, row.uid);
    });
    return wildcard;
}

Listener classify(const ListenerOwners& owners, std::uint32_t uid)
{
    for (int i = 0; i < owners.count; ++i)
        if (owners.uids[i] != uid)
            return Listener::stranger;
    if (!owners.complete)
        return Listener::unknown;
    return owners.count == 0 ? Listener::nobody : Listener::ours;
}

DaemonAccess DaemonAccess::inDirectory(const QString& configDirectory, QByteArray procNet, std::uint32_t uid)
{
    auto file = std::make_shared<TokenFile>(configDirectory + QStringLiteral("/daemon.token"), uid);
    return {[file](bool reread) { return reread ? file->reread() : file->read(); },
            [procNet = std::move(procNet), uid](std::uint16_t port, bool dualStack) {
                return classify(findListeners(procNet.constData(), port, dualStack), uid);
            }};
}

} // namespace ringlark
