#pragma once

#include <QCoroTask>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>

namespace ringlark::test {

using namespace std::chrono_literals;

// Runs the event loop until `done` holds or `timeout` passes; says whether it held.
bool spinUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout = 5000ms);

// Runs the event loop for `duration`.
void spinFor(std::chrono::milliseconds duration);

// Runs a task to completion on the event loop, bounded by `timeout`.
// Gives nothing when the task did not finish in time.
template <typename T>
std::optional<T> await(QCoro::Task<T> task, std::chrono::milliseconds timeout = 10000ms)
{
    // Shared, so a task that outlives a timed-out wait writes into live memory.
    auto result = std::make_shared<std::optional<T>>();
    auto runner = [](QCoro::Task<T> t, std::shared_ptr<std::optional<T>> out) -> QCoro::Task<> {
        out->emplace(co_await std::move(t));
    };
    auto started = runner(std::move(task), result);
    spinUntil([&] { return result->has_value(); }, timeout);
    return *result;
}

// Says whether the task finished in time.
inline bool await(QCoro::Task<> task, std::chrono::milliseconds timeout = 10000ms)
{
    auto done = std::make_shared<bool>(false);
    auto runner = [](QCoro::Task<> t, std::shared_ptr<bool> flag) -> QCoro::Task<> {
        co_await std::move(t);
        *flag = true;
    };
    auto started = runner(std::move(task), done);
    spinUntil([&] { return *done; }, timeout);
    return *done;
}

} // namespace ringlark::test
