#pragma once

#include "helper/Process.h"
#include "helper/Records.h"

#include <chrono>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

namespace ringlark::helper {

// The daemon's view of Tailscale from the output of `tailscale status --json`.
// Error texts carry "not logged in", "not connected" or "not installed" where
// those apply, since the app sorts the state by them.
TailscaleInfo parseTailscaleStatus(std::string_view json);

TailscaleInfo tailscaleNotInstalled();
// From a run of the status command: its output when it gave a status, else not connected.
TailscaleInfo tailscaleFromRun(const RunResult& run);

// Asks the tailscale program at most once per `maxAge`; a hung program is
// killed after `runTimeout`, so no status answer waits long.
class TailscaleMonitor {
public:
    struct Options {
        std::string pathVariable;
        std::chrono::milliseconds runTimeout{2000};
        std::chrono::milliseconds maxAge{3000};
        std::function<std::chrono::steady_clock::time_point()> clock = std::chrono::steady_clock::now;
    };

    explicit TailscaleMonitor(Options options);

    TailscaleInfo current();

private:
    Options m_options;
    std::mutex m_mutex; // one run at a time; callers meanwhile wait for its result
    std::optional<TailscaleInfo> m_cached;
    std::chrono::steady_clock::time_point m_cachedAt;
};

} // namespace ringlark::helper
