#pragma once

#include "helper/api/Records.h"

#include <chrono>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ringlark::helper {

std::uint64_t systemMillis();
// `bytes` random bytes as lower-case hex, from the system's random source.
std::string randomHex(std::size_t bytes);

// The daemon's help requests, in memory.
// A closed request is kept a while so that the agent waiting on it can read
// how it ended; only open ones are listed.
class RequestStore {
public:
    struct Options {
        std::function<std::uint64_t()> now = systemMillis;
        std::function<std::string()> newId = [] { return randomHex(8); };
        std::uint64_t keepClosedMs = 15 * 60 * 1000;
    };

    RequestStore() : RequestStore(Options{}) {}
    explicit RequestStore(Options options);

    HelpRequest create(const NewRequest& request);
    std::vector<HelpRequest> open() const; // oldest first
    std::int64_t openCount() const;
    std::optional<HelpRequest> find(const std::string& id) const;

    // Ends an open request with `status`; the first ending wins and later ones
    // change nothing. Gives the request as it now stands, or nothing for an unknown id.
    std::optional<HelpRequest> close(const std::string& id, std::string_view status,
                                     std::optional<std::string> answer = std::nullopt);

private:
    std::vector<HelpRequest>::iterator locate(const std::string& id);
    std::vector<HelpRequest>::const_iterator locate(const std::string& id) const;
    void forgetOldClosed(std::uint64_t now);

    Options m_options;
    mutable std::mutex m_mutex;
    std::vector<HelpRequest> m_requests; // in creation order
};

} // namespace ringlark::helper
