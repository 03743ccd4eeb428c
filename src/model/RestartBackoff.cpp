#include "model/RestartBackoff.h"

#include <algorithm>

namespace ringlark {

void RestartBackoff::observe(const Permissions& daemonSees)
{
    const auto seen = views(daemonSees);
    for (int which = 0; which < 2; ++which) {
        if (m_pending[which].active && seen[which] != m_pending[which].daemonSaw)
            m_pending[which] = Pending{};
    }
}

bool RestartBackoff::elapsed(int which, Clock::time_point now) const
{
    const Pending& pending = m_pending[which];
    return !pending.active || now - pending.at >= pending.wait;
}

bool RestartBackoff::worthChecking(const Permissions& daemonSees, Clock::time_point now) const
{
    const auto seen = views(daemonSees);
    for (int which = 0; which < 2; ++which) {
        if (!seen[which] && elapsed(which, now))
            return true;
    }
    return false;
}

bool RestartBackoff::restartFor(const Permissions& daemonSees, const Permissions& fresh, Clock::time_point now)
{
    const auto seen = views(daemonSees);
    const auto granted = views(fresh);
    bool restart = false;
    for (int which = 0; which < 2; ++which)
        restart = restart || (granted[which] && !seen[which] && elapsed(which, now));
    if (!restart)
        return false;
    // One restart serves every newly granted permission, so each waits anew.
    for (int which = 0; which < 2; ++which) {
        if (!granted[which] || seen[which])
            continue;
        Pending& pending = m_pending[which];
        pending.wait = pending.active ? std::min<std::chrono::seconds>(pending.wait * 2, longest) : first;
        pending.active = true;
        pending.daemonSaw = seen[which];
        pending.at = now;
    }
    return true;
}

} // namespace ringlark
