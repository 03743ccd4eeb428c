#include "helper/screen/FrameGate.h"

#include <algorithm>

namespace ringlark::helper::screen {

FrameGate::Action FrameGate::request(std::uint64_t after)
{
    m_waiting = after > m_last ? 0 : after;
    return decide();
}

FrameGate::Action FrameGate::changed()
{
    m_dirty = true;
    return decide();
}

std::uint64_t FrameGate::captured()
{
    m_dirty = false;
    m_waiting.reset();
    return ++m_last;
}

FrameGate::Action FrameGate::decide() const
{
    if (!m_waiting)
        return Action::Wait;
    if (m_dirty)
        return Action::Capture;
    // Clean: the last frame shows the window as it is.
    return *m_waiting < m_last ? Action::SendLast : Action::Wait;
}

void DamageSettle::damaged(Clock::time_point now)
{
    if (!m_first)
        m_first = now;
    m_last = now;
}

DamageSettle::Clock::time_point DamageSettle::readyAt() const
{
    if (!m_first)
        return Clock::time_point::min();
    return std::min(m_last + m_quiet, *m_first + m_longest);
}

} // namespace ringlark::helper::screen
