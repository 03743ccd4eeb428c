#include "support/Async.h"

#include <QTimer>

#include <coroutine>
#include <memory>

namespace ringlark {

void Cancellation::cancel()
{
    if (m_cancelled)
        return;
    m_cancelled = true;
    emit cancelled();
}

namespace {

// Resumes the awaiting coroutine on the timer's expiry or the token's cancel,
// whichever comes first, and only once. An expiry resumes it right in the
// timer's own event, which Qt ends by deleting that timer itself, so a sleep
// costs the event loop no turn of its own.
class SleepAwaiter {
public:
    SleepAwaiter(std::chrono::nanoseconds duration, TaskHandle token)
        : m_duration(duration), m_token(std::move(token)) {}

    bool await_ready() const noexcept { return m_token && m_token->isCancelled(); }

    void await_suspend(std::coroutine_handle<> handle)
    {
        auto state = std::make_shared<State>();
        state->handle = handle;
        m_state = state;
        if (m_token) {
            // Queued, so a cancel() never runs the sleeper's continuation inside its caller.
            state->cancel = QObject::connect(
                m_token.get(), &Cancellation::cancelled, m_token.get(), [state] { finish(*state, false); },
                Qt::QueuedConnection);
        }
        // A timer that fires after a cancel finds the sleep over and does nothing.
        const auto ms = std::chrono::ceil<std::chrono::milliseconds>(m_duration);
        QTimer::singleShot(std::max<std::chrono::milliseconds::rep>(0, ms.count()), Qt::PreciseTimer,
                           [state] { finish(*state, true); });
    }

    bool await_resume() const noexcept
    {
        return (m_state && m_state->completed) || !m_token || !m_token->isCancelled();
    }

private:
    struct State {
        std::coroutine_handle<> handle;
        QMetaObject::Connection cancel;
        bool done = false;
        bool completed = false;
    };

    static void finish(State& state, bool completed)
    {
        if (state.done)
            return;
        state.done = true;
        state.completed = completed;
        QObject::disconnect(state.cancel);
        state.handle.resume(); // may end the coroutine and free the awaiter
    }

    std::chrono::nanoseconds m_duration;
    TaskHandle m_token;
    std::shared_ptr<State> m_state;
};

} // namespace

QCoro::Task<bool> sleepFor(std::chrono::nanoseconds duration, TaskHandle token)
{
    co_return co_await SleepAwaiter(duration, std::move(token));
}

} // namespace ringlark
