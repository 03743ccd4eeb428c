#pragma once

#include <QObject>
#include <QCoroTask>

#include <chrono>
#include <functional>
#include <memory>

namespace ringlark {

// The cancel side of a started task: a flag the task polls, and a signal that
// wakes the task early from a cancellable sleep.
class Cancellation : public QObject {
    Q_OBJECT
public:
    bool isCancelled() const { return m_cancelled; }
    void cancel();

signals:
    void cancelled();

private:
    bool m_cancelled = false;
};

// Handle to a fire-and-forget task. Dropping the handle does not cancel it.
using TaskHandle = std::shared_ptr<Cancellation>;

inline TaskHandle makeTaskHandle() { return std::make_shared<Cancellation>(); }

// Sleeps for `duration` on the calling (GUI) thread's event loop. A cancel of
// `token` ends the sleep early; the result says whether the full time passed.
// The wake-up is always delivered from the event loop, never from inside cancel().
QCoro::Task<bool> sleepFor(std::chrono::nanoseconds duration, TaskHandle token = {});

// Clocks, injectable so that tests can move time by hand.
using SteadyClock = std::function<std::chrono::steady_clock::time_point()>;
using WallClock = std::function<std::chrono::system_clock::time_point()>;

inline SteadyClock systemSteadyClock() { return [] { return std::chrono::steady_clock::now(); }; }
inline WallClock systemWallClock() { return [] { return std::chrono::system_clock::now(); }; }

} // namespace ringlark
