#include "helper/system/NetworkWatch.h"

#include <linux/if_addr.h>
#include <linux/if_link.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <string_view>

namespace ringlark::helper {

namespace {

constexpr std::size_t align4(std::size_t length) { return (length + 3) & ~std::size_t{3}; }

// Copied out rather than cast: a buffer built by hand need not be aligned.
template <typename T>
T read(std::span<const std::byte> bytes)
{
    T value;
    std::memcpy(&value, bytes.data(), sizeof value);
    return value;
}

// Calls `visit(type, payload)` for each well-formed attribute; false stops.
template <typename Visit>
void eachAttribute(std::span<const std::byte> attributes, Visit visit)
{
    while (attributes.size() >= sizeof(rtattr)) {
        const auto attribute = read<rtattr>(attributes);
        if (attribute.rta_len < sizeof(rtattr) || attribute.rta_len > attributes.size())
            return;
        const auto payload = attributes.subspan(sizeof(rtattr), attribute.rta_len - sizeof(rtattr));
        if (!visit(attribute.rta_type & NLA_TYPE_MASK, payload))
            return;
        attributes = attributes.subspan(std::min(align4(attribute.rta_len), attributes.size()));
    }
}

bool tailscaleLink(std::span<const std::byte> body)
{
    if (body.size() < sizeof(ifinfomsg))
        return false;
    bool relevant = false;
    eachAttribute(body.subspan(align4(sizeof(ifinfomsg))), [&](unsigned type, std::span<const std::byte> payload) {
        if (type != IFLA_IFNAME)
            return true;
        const std::string_view name(reinterpret_cast<const char*>(payload.data()), payload.size());
        relevant = name.starts_with("tailscale");
        return false;
    });
    return relevant;
}

bool tailscaleAddress(std::span<const std::byte> address, unsigned char family)
{
    const auto byte = [&](std::size_t i) { return std::to_integer<unsigned>(address[i]); };
    if (family == AF_INET && address.size() == 4)
        return byte(0) == 100 && (byte(1) & 0xC0) == 64;
    static constexpr unsigned prefix[] = {0xfd, 0x7a, 0x11, 0x5c, 0xa1, 0xe0};
    if (family == AF_INET6 && address.size() == 16) {
        for (std::size_t i = 0; i < std::size(prefix); ++i)
            if (byte(i) != prefix[i])
                return false;
        return true;
    }
    return false;
}

bool tailscaleAddressMessage(std::span<const std::byte> body)
{
    if (body.size() < sizeof(ifaddrmsg))
        return false;
    const auto header = read<ifaddrmsg>(body);
    bool relevant = false;
    eachAttribute(body.subspan(align4(sizeof(ifaddrmsg))), [&](unsigned type, std::span<const std::byte> payload) {
        if (type == IFA_ADDRESS || type == IFA_LOCAL)
            relevant = tailscaleAddress(payload, header.ifa_family);
        return !relevant;
    });
    return relevant;
}

} // namespace

bool tailscaleRelevant(std::span<const std::byte> messages)
{
    while (messages.size() >= sizeof(nlmsghdr)) {
        const auto header = read<nlmsghdr>(messages);
        if (header.nlmsg_len < sizeof(nlmsghdr) || header.nlmsg_len > messages.size())
            return false;
        const auto body = messages.subspan(sizeof(nlmsghdr), header.nlmsg_len - sizeof(nlmsghdr));
        switch (header.nlmsg_type) {
        case NLMSG_OVERRUN:
            return true; // messages were lost
        case RTM_NEWLINK:
        case RTM_DELLINK:
            if (tailscaleLink(body))
                return true;
            break;
        case RTM_NEWADDR:
        case RTM_DELADDR:
            if (tailscaleAddressMessage(body))
                return true;
            break;
        default:
            break;
        }
        messages = messages.subspan(std::min(align4(header.nlmsg_len), messages.size()));
    }
    return false;
}

NetworkWatch::NetworkWatch(EventLoop& loop, std::function<void()> mayHaveChanged)
    : m_loop(loop), m_mayHaveChanged(std::move(mayHaveChanged))
{
    const int fd = ::socket(AF_NETLINK, SOCK_RAW | SOCK_NONBLOCK | SOCK_CLOEXEC, NETLINK_ROUTE);
    if (fd < 0)
        return;
    sockaddr_nl address{};
    address.nl_family = AF_NETLINK;
    address.nl_groups = RTMGRP_LINK | RTMGRP_IPV4_IFADDR | RTMGRP_IPV6_IFADDR;
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return;
    }
    m_fd = fd;
    m_loop.watch(m_fd, EPOLLIN, [this](std::uint32_t) { drain(); });
}

NetworkWatch::~NetworkWatch()
{
    if (m_fd < 0)
        return;
    m_loop.unwatch(m_fd);
    ::close(m_fd);
}

void NetworkWatch::drain()
{
    alignas(nlmsghdr) std::array<std::byte, 32 * 1024> buffer;
    bool relevant = false;
    for (;;) {
        sockaddr_nl sender{};
        iovec part{buffer.data(), buffer.size()};
        msghdr message{};
        message.msg_name = &sender;
        message.msg_namelen = sizeof sender;
        message.msg_iov = &part;
        message.msg_iovlen = 1;
        const ssize_t received = ::recvmsg(m_fd, &message, 0);
        if (received < 0) {
            if (errno == EINTR)
                continue;
            if (errno == ENOBUFS) { // the kernel dropped messages we never saw
                relevant = true;
                continue;
            }
            break; // all read, or wait for the next readiness
        }
        if (sender.nl_pid != 0)
            continue; // only the kernel speaks for the network
        if ((message.msg_flags & MSG_TRUNC) != 0
            || tailscaleRelevant(std::span(buffer.data(), static_cast<std::size_t>(received))))
            relevant = true;
    }
    if (relevant && m_mayHaveChanged)
        m_mayHaveChanged();
}

} // namespace ringlark::helper
