#include "helper/net/EventLoop.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <mutex>
#include <vector>

namespace ringlark::helper {

struct EventLoop::Mailbox {
    std::mutex mutex;
    std::vector<Job> jobs;
    int wake = -1; // eventfd, -1 once the loop is gone

    void post(Job job)
    {
        std::lock_guard lock(mutex);
        if (wake < 0)
            return;
        jobs.push_back(std::move(job));
        const std::uint64_t one = 1;
        [[maybe_unused]] auto written = ::write(wake, &one, sizeof one);
    }
};

EventLoop::EventLoop() : m_mailbox(std::make_shared<Mailbox>())
{
    m_epoll = ::epoll_create1(EPOLL_CLOEXEC);
    m_mailbox->wake = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (m_epoll >= 0 && m_mailbox->wake >= 0)
        watch(m_mailbox->wake, EPOLLIN, [this](std::uint32_t) { drainMailbox(); });
}

EventLoop::~EventLoop()
{
    {
        std::lock_guard lock(m_mailbox->mutex);
        if (m_mailbox->wake >= 0)
            ::close(m_mailbox->wake);
        m_mailbox->wake = -1;
        m_mailbox->jobs.clear();
    }
    if (m_epoll >= 0)
        ::close(m_epoll);
}

bool EventLoop::watch(int fd, std::uint32_t events, std::function<void(std::uint32_t)> onReady)
{
    const std::uint32_t generation = ++m_generation;
    epoll_event event{};
    event.events = events;
    event.data.u64 = (std::uint64_t(generation) << 32) | std::uint32_t(fd);
    // A refused descriptor leaves any earlier watch of the same number as it was.
    if (::epoll_ctl(m_epoll, EPOLL_CTL_ADD, fd, &event) != 0)
        return false;
    m_watches[fd] = {generation, std::move(onReady)};
    return true;
}

void EventLoop::modify(int fd, std::uint32_t events)
{
    auto found = m_watches.find(fd);
    if (found == m_watches.end())
        return;
    epoll_event event{};
    event.events = events;
    event.data.u64 = (std::uint64_t(found->second.generation) << 32) | std::uint32_t(fd);
    ::epoll_ctl(m_epoll, EPOLL_CTL_MOD, fd, &event);
}

void EventLoop::unwatch(int fd)
{
    if (m_watches.erase(fd))
        ::epoll_ctl(m_epoll, EPOLL_CTL_DEL, fd, nullptr);
}

EventLoop::TimerId EventLoop::at(Clock::time_point when, Job fire)
{
    const TimerId id = m_nextTimer++;
    m_timers.emplace(id, Timer{m_deadlines.emplace(when, id), std::move(fire)});
    return id;
}

void EventLoop::cancel(TimerId timer)
{
    auto found = m_timers.find(timer);
    if (found == m_timers.end())
        return;
    m_deadlines.erase(found->second.position);
    m_timers.erase(found);
}

void EventLoop::post(Job job) { m_mailbox->post(std::move(job)); }

std::function<void(EventLoop::Job)> EventLoop::poster()
{
    return [mailbox = m_mailbox](Job job) { mailbox->post(std::move(job)); };
}

void EventLoop::drainMailbox()
{
    std::vector<Job> jobs;
    {
        std::lock_guard lock(m_mailbox->mutex);
        std::uint64_t count = 0;
        [[maybe_unused]] auto read = ::read(m_mailbox->wake, &count, sizeof count);
        jobs.swap(m_mailbox->jobs);
    }
    for (auto& job : jobs)
        job();
}

void EventLoop::fireDueTimers()
{
    const auto now = Clock::now();
    // One at a time: a timer's job may add or cancel others.
    while (!m_deadlines.empty() && m_deadlines.begin()->first <= now) {
        const TimerId id = m_deadlines.begin()->second;
        m_deadlines.erase(m_deadlines.begin());
        auto found = m_timers.find(id);
        Job fire = std::move(found->second.fire);
        m_timers.erase(found);
        fire();
    }
}

bool EventLoop::run()
{
    m_stopped = false;
    epoll_event events[128];
    while (!m_stopped) {
        int timeout = -1;
        if (!m_deadlines.empty()) {
            const auto left = m_deadlines.begin()->first - Clock::now();
            // Rounded up, so a deadline never wakes the loop just before it is due.
            const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
            timeout = ms <= 0 ? 0 : ms > INT_MAX ? INT_MAX : static_cast<int>(ms);
        }
        const int ready = ::epoll_wait(m_epoll, events, 128, timeout);
        if (ready < 0 && errno != EINTR)
            return false;
        for (int i = 0; i < ready && !m_stopped; ++i) {
            const int fd = static_cast<int>(events[i].data.u64 & 0xffffffffu);
            const auto generation = static_cast<std::uint32_t>(events[i].data.u64 >> 32);
            auto found = m_watches.find(fd);
            // A descriptor closed (and maybe reused) earlier in this batch is skipped.
            if (found == m_watches.end() || found->second.generation != generation)
                continue;
            auto onReady = found->second.onReady; // the callback may unwatch itself
            onReady(events[i].events);
        }
        if (!m_stopped)
            fireDueTimers();
    }
    return true;
}

} // namespace ringlark::helper
