#pragma once

// Tells the daemon when the network changed in a way that may concern
// Tailscale, from the kernel's routing messages, so it need not keep asking
// the tailscale program just in case.

#include "helper/net/EventLoop.h"

#include <cstddef>
#include <functional>
#include <span>

namespace ringlark::helper {

// Whether a buffer of routing messages, as one read from a NETLINK_ROUTE
// socket gave it, holds one that concerns Tailscale: a link named
// "tailscale…" appearing or going, or an address in Tailscale's ranges
// (100.64.0.0/10, fd7a:115c:a1e0::/48) being added or removed, whatever the
// interface is called. Reading stops at the first malformed message.
bool tailscaleRelevant(std::span<const std::byte> messages);

// A routing socket on the loop. Where none can be had (a sandbox, say) it
// stays inactive and the daemon relies on its safety intervals.
class NetworkWatch {
public:
    NetworkWatch(EventLoop& loop, std::function<void()> mayHaveChanged);
    ~NetworkWatch();
    NetworkWatch(const NetworkWatch&) = delete;
    NetworkWatch& operator=(const NetworkWatch&) = delete;

    bool active() const { return m_fd >= 0; }

private:
    void drain();

    EventLoop& m_loop;
    std::function<void()> m_mayHaveChanged;
    int m_fd = -1;
};

} // namespace ringlark::helper
