#include "helper/net/Worker.h"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

namespace ringlark::helper {

struct Worker::State {
    std::mutex mutex;
    std::condition_variable wake;
    std::deque<Job> jobs;
    bool stopping = false;
};

Worker::Worker() : m_state(std::make_shared<State>())
{
    std::thread([state = m_state] {
        std::unique_lock lock(state->mutex);
        while (true) {
            state->wake.wait(lock, [&] { return state->stopping || !state->jobs.empty(); });
            if (state->stopping)
                return;
            Job job = std::move(state->jobs.front());
            state->jobs.pop_front();
            lock.unlock();
            job();
            lock.lock();
        }
    }).detach();
}

Worker::~Worker()
{
    std::lock_guard lock(m_state->mutex);
    m_state->stopping = true;
    m_state->jobs.clear();
    m_state->wake.notify_all();
}

void Worker::post(Job job)
{
    std::lock_guard lock(m_state->mutex);
    m_state->jobs.push_back(std::move(job));
    m_state->wake.notify_one();
}

} // namespace ringlark::helper
