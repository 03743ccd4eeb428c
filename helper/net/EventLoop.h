#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <unordered_map>

namespace ringlark::helper {

// One thread's epoll loop with deadlines. Nothing ticks: epoll_wait sleeps
// until a descriptor is ready or the earliest deadline comes. Everything but
// post() belongs to the loop's thread.
class EventLoop {
public:
    using Clock = std::chrono::steady_clock;
    using TimerId = std::uint64_t;
    using Job = std::function<void()>;

    EventLoop();
    ~EventLoop();
    EventLoop(const EventLoop&) = delete;
    EventLoop& operator=(const EventLoop&) = delete;

    bool valid() const { return m_epoll >= 0; }

    // `events` as for epoll (level-triggered); the callback gets what was ready.
    // False, with errno set, when epoll refuses the descriptor (EPERM: a regular file).
    bool watch(int fd, std::uint32_t events, std::function<void(std::uint32_t)> onReady);
    void modify(int fd, std::uint32_t events);
    void unwatch(int fd); // before closing the descriptor

    TimerId at(Clock::time_point when, Job fire);
    void cancel(TimerId timer); // unknown or fired timers are ignored
    std::size_t timerCount() const { return m_timers.size(); }

    // From any thread: runs `job` on the loop soon. Dropped once the loop is gone.
    void post(Job job);
    // A poster that outlives the loop safely, for threads that may.
    std::function<void(Job)> poster();

    bool run(); // until stop(); false, with errno set, if waiting fails
    void stop() { m_stopped = true; }

private:
    struct Mailbox;
    struct Watch {
        std::uint32_t generation;
        std::function<void(std::uint32_t)> onReady;
    };
    struct Timer {
        std::multimap<Clock::time_point, TimerId>::iterator position;
        Job fire;
    };

    void fireDueTimers();
    void drainMailbox();

    int m_epoll = -1;
    bool m_stopped = false;
    std::uint32_t m_generation = 0;
    std::unordered_map<int, Watch> m_watches;
    std::multimap<Clock::time_point, TimerId> m_deadlines;
    std::unordered_map<TimerId, Timer> m_timers;
    TimerId m_nextTimer = 1;
    std::shared_ptr<Mailbox> m_mailbox;
};

} // namespace ringlark::helper
