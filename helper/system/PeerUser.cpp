#include "helper/system/PeerUser.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <charconv>
#include <string>

namespace ringlark::helper {

namespace {

// "0100007F:1F41" → address and port, as /proc/net/tcp prints them: the
// address in the kernel's byte order as hex, the port in hex.
bool parseEnd(std::string_view text, std::uint32_t& address, std::uint16_t& port)
{
    const auto colon = text.find(':');
    if (colon != 8 || text.size() != 13)
        return false;
    std::uint32_t raw = 0;
    unsigned portValue = 0;
    const auto a = std::from_chars(text.data(), text.data() + 8, raw, 16);
    const auto p = std::from_chars(text.data() + 9, text.data() + 13, portValue, 16);
    if (a.ec != std::errc() || a.ptr != text.data() + 8 || p.ec != std::errc() || p.ptr != text.data() + 13)
        return false;
    address = ntohl(raw); // the table prints the address as stored, in network order read as a host integer
    port = static_cast<std::uint16_t>(portValue);
    return true;
}

// The n-th blank-separated field of a line.
std::string_view field(std::string_view line, int n)
{
    std::size_t position = 0;
    for (int i = 0;; ++i) {
        position = line.find_first_not_of(' ', position);
        if (position == std::string_view::npos)
            return {};
        const auto end = std::min(line.find(' ', position), line.size());
        if (i == n)
            return line.substr(position, end - position);
        position = end;
    }
}

std::optional<uid_t> askKernel(const TcpEnds& ends)
{
    const int fd = ::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
    if (fd < 0)
        return std::nullopt;
    // The kernel answers at once; a bound keeps the loop safe all the same.
    timeval bound{0, 200000};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &bound, sizeof bound);

    // Not a dump: one exact lookup of the peer's socket.
    struct {
        nlmsghdr header;
        inet_diag_req_v2 request;
    } query{};
    query.header.nlmsg_len = sizeof query;
    query.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    query.header.nlmsg_flags = NLM_F_REQUEST;
    query.request.sdiag_family = AF_INET;
    query.request.sdiag_protocol = IPPROTO_TCP;
    query.request.idiag_states = ~0u;
    query.request.id.idiag_sport = htons(ends.peerPort);
    query.request.id.idiag_dport = htons(ends.ourPort);
    query.request.id.idiag_src[0] = htonl(ends.peerAddress);
    query.request.id.idiag_dst[0] = htonl(ends.ourAddress);
    query.request.id.idiag_cookie[0] = INET_DIAG_NOCOOKIE;
    query.request.id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;

    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    alignas(nlmsghdr) char reply[1024];
    ssize_t n = -1;
    if (::sendto(fd, &query, sizeof query, 0, reinterpret_cast<sockaddr*>(&kernel), sizeof kernel) == sizeof query)
        n = ::recv(fd, reply, sizeof reply, 0);
    ::close(fd);
    return n > 0 ? uidFromDiagReply(reply, static_cast<std::size_t>(n)) : std::nullopt;
}

std::optional<uid_t> askTable(const TcpEnds& ends)
{
    const int fd = ::open("/proc/net/tcp", O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return std::nullopt;
    std::string table;
    char buffer[65536];
    ssize_t n;
    // Bounded: a machine with a huge table gets an unknown peer, not a stall.
    while (table.size() < (16u << 20) && (n = ::read(fd, buffer, sizeof buffer)) > 0)
        table.append(buffer, static_cast<std::size_t>(n));
    ::close(fd);
    return uidFromTcpTable(table, ends);
}

} // namespace

std::optional<uid_t> uidFromTcpTable(std::string_view table, const TcpEnds& ends)
{
    bool header = true;
    while (!table.empty()) {
        const auto end = std::min(table.find('\n'), table.size());
        const std::string_view line = table.substr(0, end);
        table.remove_prefix(std::min(end + 1, table.size()));
        if (header) {
            header = false;
            continue;
        }
        TcpEnds row;
        if (!parseEnd(field(line, 1), row.peerAddress, row.peerPort)
            || !parseEnd(field(line, 2), row.ourAddress, row.ourPort))
            continue;
        if (row.peerAddress != ends.peerAddress || row.peerPort != ends.peerPort
            || row.ourAddress != ends.ourAddress || row.ourPort != ends.ourPort)
            continue;
        const auto uidText = field(line, 7);
        uid_t uid = 0;
        const auto parsed = std::from_chars(uidText.data(), uidText.data() + uidText.size(), uid);
        if (uidText.empty() || parsed.ec != std::errc() || parsed.ptr != uidText.data() + uidText.size())
            return std::nullopt;
        return uid;
    }
    return std::nullopt;
}

std::optional<uid_t> uidFromDiagReply(const void* reply, std::size_t length)
{
    const auto* header = static_cast<const nlmsghdr*>(reply);
    if (length < sizeof(nlmsghdr) || !NLMSG_OK(header, length) || header->nlmsg_type != SOCK_DIAG_BY_FAMILY
        || header->nlmsg_len < NLMSG_LENGTH(sizeof(inet_diag_msg)))
        return std::nullopt;
    return static_cast<const inet_diag_msg*>(NLMSG_DATA(header))->idiag_uid;
}

std::optional<uid_t> peerUser(int fd)
{
    sockaddr_storage ours{}, theirs{};
    socklen_t ourLength = sizeof ours, theirLength = sizeof theirs;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&ours), &ourLength) != 0
        || ::getpeername(fd, reinterpret_cast<sockaddr*>(&theirs), &theirLength) != 0)
        return std::nullopt;
    if (ours.ss_family == AF_UNIX) {
        ucred credentials{};
        socklen_t size = sizeof credentials;
        if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &size) != 0)
            return std::nullopt;
        return credentials.uid;
    }
    if (ours.ss_family != AF_INET || theirs.ss_family != AF_INET)
        return std::nullopt;
    const auto& our = reinterpret_cast<const sockaddr_in&>(ours);
    const auto& their = reinterpret_cast<const sockaddr_in&>(theirs);
    const TcpEnds ends{ntohl(their.sin_addr.s_addr), ntohs(their.sin_port), ntohl(our.sin_addr.s_addr),
                       ntohs(our.sin_port)};
    if (auto uid = askKernel(ends))
        return uid;
    return askTable(ends);
}

} // namespace ringlark::helper
