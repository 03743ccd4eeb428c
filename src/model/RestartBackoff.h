#pragma once

#include "daemon/api/Records.h"

#include <array>
#include <chrono>

namespace ringlark {

// Decides when a permission that a fresh helper run sees granted, but the
// running daemon does not, is worth restarting the daemon for. A daemon
// whose own view never flips (the system caches the verdict per process
// image, say) would otherwise be restarted every few seconds forever: after
// a restart for a permission, the next one for the same permission waits
// until the daemon's view of it changed, or a back-off passed that doubles
// with every restart, from `first` up to `longest`. A plain value.
class RestartBackoff {
public:
    using Clock = std::chrono::steady_clock;

    static constexpr std::chrono::seconds first{30};
    static constexpr std::chrono::seconds longest{600};

    // A poll's view from the daemon; a permission whose view changed since
    // its last restart starts afresh.
    void observe(const Permissions& daemonSees);

    // Whether a fresh check could lead to a restart now: some permission the
    // daemon misses is not waiting out a back-off. Saves helper runs that
    // could change nothing.
    bool worthChecking(const Permissions& daemonSees, Clock::time_point now) const;

    // Whether to restart now for what the fresh run sees; records the restart.
    bool restartFor(const Permissions& daemonSees, const Permissions& fresh, Clock::time_point now);

private:
    enum Which { screenRecording, accessibility };

    struct Pending {
        bool active = false;
        bool daemonSaw = false; // the daemon's view when the daemon was restarted
        Clock::time_point at;
        std::chrono::seconds wait{0};
    };

    static std::array<bool, 2> views(const Permissions& permissions)
    {
        return {permissions.screenRecording, permissions.accessibility};
    }
    bool elapsed(int which, Clock::time_point now) const;

    std::array<Pending, 2> m_pending{};
};

} // namespace ringlark
