// Who is on the other end of a loopback connection.

#include "helper/system/PeerUser.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>

using namespace ringlark::helper;

namespace {

constexpr std::uint32_t loopback = 0x7f000001;

const char* table =
    "  sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid  timeout inode\n"
    "   0: 0100007F:21C1 00000000:0000 0A 00000000:00000000 00:00000000 00000000  1000        0 1 1 0 100 0 0 10 0\n"
    "   1: 0100007F:9C40 0100007F:21C1 01 00000000:00000000 00:00000000 00000000 65534        0 2 1 0 20 4 30 10 -1\n"
    "   2: 0100007F:21C1 0100007F:9C40 01 00000000:00000000 00:00000000 00000000  1000        0 3 1 0 20 4 30 10 -1\n"
    "   3: 0100007F:9C41 0100007F:21C1 01 00000000:00000000 00:00000000 00000000     0        0 4 1 0 20 4 30 10 -1\n"
    "   4: 0100007F:9C42 0100007F:21C1 01 garbage\n";

} // namespace

TEST(PeerUser, TheTableRowOfThePeersOwnEndNamesItsUser)
{
    struct Row {
        std::uint16_t peerPort;
        std::optional<uid_t> expected;
    } rows[] = {
        {0x9c40, 65534}, // not the daemon's own end of the same connection (uid 1000)
        {0x9c41, 0},
        {0x9c42, std::nullopt}, // a row cut short
        {0x9c43, std::nullopt}, // no such connection
    };
    for (const auto& row : rows)
        EXPECT_EQ(uidFromTcpTable(table, {loopback, row.peerPort, loopback, 0x21c1}), row.expected) << row.peerPort;
    EXPECT_EQ(uidFromTcpTable("", {loopback, 0x9c40, loopback, 0x21c1}), std::nullopt);
    EXPECT_EQ(uidFromTcpTable("header only\n", {loopback, 0x9c40, loopback, 0x21c1}), std::nullopt);
}

TEST(PeerUser, TheKernelsReplyNamesAUserOnlyWhenItIsAboutASocket)
{
    alignas(nlmsghdr) char reply[NLMSG_SPACE(sizeof(inet_diag_msg))] = {};
    auto* header = reinterpret_cast<nlmsghdr*>(reply);
    header->nlmsg_len = NLMSG_LENGTH(sizeof(inet_diag_msg));
    header->nlmsg_type = SOCK_DIAG_BY_FAMILY;
    static_cast<inet_diag_msg*>(NLMSG_DATA(header))->idiag_uid = 4242;
    EXPECT_EQ(uidFromDiagReply(reply, sizeof reply), 4242u);
    EXPECT_EQ(uidFromDiagReply(reply, sizeof(nlmsghdr) - 1), std::nullopt);
    header->nlmsg_type = NLMSG_ERROR;
    EXPECT_EQ(uidFromDiagReply(reply, sizeof reply), std::nullopt);
}

TEST(PeerUser, ARealConnectionIsOursAndAnotherUsersIsTheirs)
{
    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(listener, 4), 0);
    ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);

    auto connectAs = [&](std::optional<uid_t> user) {
        const pid_t child = ::fork();
        if (child == 0) {
            if (user && (::setgid(*user) != 0 || ::setuid(*user) != 0))
                ::_exit(10);
            const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
            if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
                ::_exit(11);
            char byte;
            (void)::read(fd, &byte, 1); // until the parent has looked
            ::_exit(0);
        }
        const int accepted = ::accept(listener, nullptr, nullptr);
        const auto user_ = peerUser(accepted);
        ::close(accepted);
        ::waitpid(child, nullptr, 0);
        return user_;
    };
    EXPECT_EQ(connectAs(std::nullopt), ::geteuid());
    if (::geteuid() == 0)
        EXPECT_EQ(connectAs(65534), 65534u);
    else
        std::printf("not root: the other-user connection is left out\n");
    ::close(listener);
}
