#include "support/Async.h"

#include <QTimer>

#include <coroutine>

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
// whichever comes first, and only once.
class SleepAwaiter {
public:
    SleepAwaiter(std::chrono::nanoseconds duration, TaskHandle token)
        : m_duration(duration), m_token(std::move(token)) {}

    bool await_ready() const noexcept { return m_token && m_token->isCancelled(); }

    void await_suspend(std::coroutine_handle<> handle)
    {
        m_handle = handle;
        m_timer = std::make_unique<QTimer>();
        m_timer->setSingleShot(true);
        m_timer->setTimerType(Qt::PreciseTimer);
        QObject::connect(m_timer.get(), &QTimer::timeout, [this] { finish(true); });
        if (m_token) {
            // Queued, so a cancel() never runs the sleeper's continuation inside its caller.
            QObject::connect(m_token.get(), &Cancellation::cancelled, m_timer.get(),
                             [this] { finish(false); }, Qt::QueuedConnection);
        }
        const auto ms = std::chrono::ceil<std::chrono::milliseconds>(m_duration);
        m_timer->start(std::max<std::chrono::milliseconds::rep>(0, ms.count()));
    }

    bool await_resume() const noexcept { return m_completed || !m_token || !m_token->isCancelled(); }

private:
    void finish(bool completed)
    {
        if (m_done)
            return;
        m_done = true;
        m_completed = completed;
        m_timer->stop();
        m_timer->disconnect();
        // Resume from a fresh event-loop turn: the coroutine may end and free
        // this awaiter, and with it the timer whose signal is being delivered.
        QTimer::singleShot(0, [handle = m_handle] { handle.resume(); });
    }

    std::chrono::nanoseconds m_duration;
    TaskHandle m_token;
    std::unique_ptr<QTimer> m_timer;
    std::coroutine_handle<> m_handle;
    bool m_done = false;
    bool m_completed = false;
};

} // namespace

QCoro::Task<bool> sleepFor(std::chrono::nanoseconds duration, TaskHandle token)
{
    co_return co_await SleepAwaiter(duration, std::move(token));
}

} // namespace ringlark
