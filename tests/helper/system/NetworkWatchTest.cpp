// Which routing messages concern Tailscale, and how long its state is trusted.

#include "helper/system/NetworkWatch.h"
#include "helper/system/Tailscale.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <linux/if_addr.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>

#include <cstring>
#include <string>
#include <vector>

using namespace ringlark::helper;
using namespace std::chrono_literals;

namespace {

using Bytes = std::vector<std::byte>;

template <typename T>
void append(Bytes& to, const T& value, std::size_t size = sizeof(T))
{
    const auto* bytes = reinterpret_cast<const std::byte*>(&value);
    to.insert(to.end(), bytes, bytes + size);
    to.resize((to.size() + 3) & ~std::size_t{3}); // netlink pads to 4 bytes
}

// One message: header, the fixed part, and one attribute.
template <typename Fixed>
Bytes message(std::uint16_t type, const Fixed& fixed, std::uint16_t attributeType, const void* payload,
              std::size_t size)
{
    Bytes out;
    append(out, nlmsghdr{});
    append(out, fixed);
    append(out, rtattr{static_cast<unsigned short>(RTA_LENGTH(size)), attributeType});
    out.insert(out.end(), static_cast<const std::byte*>(payload), static_cast<const std::byte*>(payload) + size);
    out.resize((out.size() + 3) & ~std::size_t{3});
    const nlmsghdr header{static_cast<std::uint32_t>(out.size()), type, 0, 0, 0};
    std::memcpy(out.data(), &header, sizeof header);
    return out;
}

Bytes link(std::uint16_t type, const std::string& name)
{
    return message(type, ifinfomsg{}, IFLA_IFNAME, name.c_str(), name.size() + 1);
}

Bytes address(std::uint16_t type, const char* text)
{
    const int family = std::strchr(text, ':') ? AF_INET6 : AF_INET;
    unsigned char raw[16]{};
    inet_pton(family, text, raw);
    ifaddrmsg fixed{};
    fixed.ifa_family = static_cast<unsigned char>(family);
    return message(type, fixed, IFA_ADDRESS, raw, family == AF_INET ? 4 : 16);
}

Bytes joined(std::initializer_list<Bytes> parts)
{
    Bytes out;
    for (const auto& part : parts)
        out.insert(out.end(), part.begin(), part.end());
    return out;
}

} // namespace

TEST(NetworkWatch, OnlyTailscaleLinksAndAddressesCount)
{
    const Bytes tunnel = link(RTM_NEWLINK, "tailscale0");
    Bytes cut = tunnel;
    cut.resize(cut.size() - 8);
    Bytes overlong = tunnel;
    overlong[0] = std::byte{0xff}; // claims more bytes than there are
    Bytes odd{std::byte{0}};       // at an unaligned address
    odd.insert(odd.end(), tunnel.begin(), tunnel.end());

    const struct {
        const char* what;
        Bytes buffer;
        std::size_t skip;
        bool relevant;
    } cases[] = {
        {"tunnel appears", tunnel, 0, true},
        {"tunnel goes", link(RTM_DELLINK, "tailscale1"), 0, true},
        {"other link", link(RTM_NEWLINK, "eth0"), 0, false},
        {"name merely contains it", link(RTM_NEWLINK, "mytailscale"), 0, false},
        {"tailnet IPv4", address(RTM_NEWADDR, "100.101.102.103"), 0, true},
        {"just past 100.64/10", address(RTM_NEWADDR, "100.128.0.1"), 0, false},
        {"just before 100.64/10", address(RTM_NEWADDR, "100.63.255.255"), 0, false},
        {"home LAN", address(RTM_NEWADDR, "192.168.1.2"), 0, false},
        {"tailnet IPv6 removed", address(RTM_DELADDR, "fd7a:115c:a1e0::1"), 0, true},
        {"just past the /48", address(RTM_NEWADDR, "fd7a:115c:a1e1::1"), 0, false},
        {"documentation IPv6", address(RTM_NEWADDR, "2001:db8::1"), 0, false},
        {"a route is not a link", message(RTM_NEWROUTE, ifinfomsg{}, IFLA_IFNAME, "tailscale0", 11), 0, false},
        {"second of several", joined({link(RTM_NEWLINK, "eth0"), address(RTM_NEWADDR, "10.0.0.1"),
                                      address(RTM_NEWADDR, "100.64.0.1")}), 0, true},
        {"truncated", cut, 0, false},
        {"length past the end", overlong, 0, false},
        {"zero length", Bytes(64, std::byte{0}), 0, false},
        {"empty", {}, 0, false},
        {"unaligned", odd, 1, true},
    };
    for (const auto& [what, buffer, skip, relevant] : cases)
        EXPECT_EQ(tailscaleRelevant(std::span(buffer).subspan(skip)), relevant) << what;
}

TEST(TailscaleFreshness, ShortWhileSettlingThenLongerWhenOk)
{
    const TailscaleFreshness rules; // 30 s settling at 3 s, then 5 min ok, 60 s failing
    const struct {
        bool ok;
        std::chrono::milliseconds age, sinceChange;
        bool fresh;
    } cases[] = {
        {true, 2900ms, 10s, true},   {true, 3s, 10s, false},       // settling, ok or not
        {false, 2900ms, 29s, true},  {true, 4s, 30s, true},        // settled
        {true, 299s, 10min, true},   {true, 300s, 10min, false},
        {false, 59s, 10min, true},   {false, 60s, 10min, false},
        {true, -1ms, 10min, false},                                // a clock that went back
    };
    for (const auto& [ok, age, sinceChange, fresh] : cases)
        EXPECT_EQ(tailscaleStillFresh(rules, ok, age, sinceChange), fresh)
            << ok << " " << age.count() << " " << sinceChange.count();
}
