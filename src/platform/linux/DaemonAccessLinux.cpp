// The Linux side of daemon/api/DaemonAccess.h: the kernel names the owner of a listener.
#include "daemon/api/DaemonAccess.h"

#include <cerrno>
#include <cstring>

#include <arpa/inet.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

namespace ringlark {

Listener askKernelForListener(std::uint16_t port, std::uint32_t uid)
{
    const int fd = ::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
    if (fd < 0)
        return Listener::unknown;

    // Not a dump: the kernel looks the socket up as it would for a
    // connection from nowhere to 127.0.0.1:<port>, so the answer is exactly
    // the listener that would take ours, IPv4 or dual-stack IPv6.
    struct {
        nlmsghdr header;
        inet_diag_req_v2 request;
    } query{};
    query.header.nlmsg_len = sizeof query;
    query.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    query.header.nlmsg_flags = NLM_F_REQUEST;
    query.request.sdiag_family = AF_INET;
    query.request.sdiag_protocol = IPPROTO_TCP;
    query.request.idiag_states = 1u << TCP_LISTEN;
    query.request.id.idiag_sport = htons(port);
    query.request.id.idiag_src[0] = htonl(INADDR_LOOPBACK);
    query.request.id.idiag_cookie[0] = INET_DIAG_NOCOOKIE;
    query.request.id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;

    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    alignas(nlmsghdr) char reply[1024];
    ssize_t n = -1;
    if (::sendto(fd, &query, sizeof query, 0, reinterpret_cast<sockaddr*>(&kernel), sizeof kernel) == sizeof query)
        n = ::recv(fd, reply, sizeof reply, 0);
    ::close(fd);

    const auto* header = reinterpret_cast<const nlmsghdr*>(reply);
    if (n < ssize_t(sizeof(nlmsghdr)) || !NLMSG_OK(header, std::size_t(n)))
        return Listener::unknown;
    if (header->nlmsg_type == NLMSG_ERROR) {
        const auto* error = static_cast<const nlmsgerr*>(NLMSG_DATA(header));
        return header->nlmsg_len >= NLMSG_LENGTH(sizeof(nlmsgerr)) && error->error == -ENOENT ? Listener::nobody
                                                                                              : Listener::unknown;
    }
    if (header->nlmsg_type != SOCK_DIAG_BY_FAMILY || header->nlmsg_len < NLMSG_LENGTH(sizeof(inet_diag_msg)))
        return Listener::unknown;
    const auto* socket = static_cast<const inet_diag_msg*>(NLMSG_DATA(header));
    if (socket->idiag_state != TCP_LISTEN)
        return Listener::unknown;
    return socket->idiag_uid == uid ? Listener::ours : Listener::stranger;
}

DaemonAccess DaemonAccess::inDirectory(const QString& configDirectory)
{
    DaemonAccess access = inDirectory(configDirectory, QByteArrayLiteral("/proc/net"), ::geteuid());
    // The socket tables are the fallback where the kernel's lookup is not
    // allowed: reading them costs the kernel a walk of all its connections.
    access.listener = [tables = std::move(access.listener), uid = ::geteuid()](std::uint16_t port, bool dualStack) {
        const Listener asked = askKernelForListener(port, uid);
        return asked == Listener::unknown ? tables(port, dualStack) : asked;
    };
    return access;
}

} // namespace ringlark
