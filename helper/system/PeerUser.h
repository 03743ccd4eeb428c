#pragma once

// Which user is at the other end of an accepted loopback connection. A local
// stranger must not be able to take the daemon's connections from its owner,
// so the server asks before it keeps one.

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string_view>

namespace ringlark::helper {

// One TCP connection as the peer's socket sees it: its own address and port,
// and ours. IPv4 addresses and ports in host byte order.
struct TcpEnds {
    std::uint32_t peerAddress = 0;
    std::uint16_t peerPort = 0;
    std::uint32_t ourAddress = 0;
    std::uint16_t ourPort = 0;
};

// The owner of the peer's socket from the text of /proc/net/tcp: the row whose
// local end is the peer's and whose remote end is ours. Nothing when no row
// matches or the table is malformed.
std::optional<uid_t> uidFromTcpTable(std::string_view table, const TcpEnds& ends);

// The owner from a socket-diagnostics reply of the kernel; nothing when the
// reply is an error or not about one socket.
std::optional<uid_t> uidFromDiagReply(const void* reply, std::size_t length);

// The user on the other end of `fd`: the peer's credentials on a Unix socket,
// the kernel's socket diagnostics on TCP, with /proc/net/tcp as the fallback.
std::optional<uid_t> peerUser(int fd);

} // namespace ringlark::helper
