#pragma once

#include <functional>
#include <memory>

namespace ringlark::helper {

// One background thread for work that may block (running a program), so the
// event loop never waits on it. Jobs run in order. The thread sleeps on a
// condition variable while there is nothing to do.
class Worker {
public:
    using Job = std::function<void()>;

    Worker();
    // Lets a job in progress finish on its own: the thread is not joined, so a
    // hung program cannot hold up the daemon's exit.
    ~Worker();
    Worker(const Worker&) = delete;
    Worker& operator=(const Worker&) = delete;

    void post(Job job);

private:
    struct State;
    std::shared_ptr<State> m_state;
};

} // namespace ringlark::helper
