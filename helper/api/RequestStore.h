#pragma once

#include "helper/api/Records.h"

#include <chrono>
#include <deque>
#include <map>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace ringlark::helper {

std::uint64_t systemMillis();
// `bytes` random bytes as lower-case hex, from the system's random source.
std::string randomHex(std::size_t bytes);

// The daemon's help requests, in memory.
// A closed request is kept a while (at most `keepClosedMs`, and only the
// latest `maxClosed`) so that the agent waiting on it can read how it ended;
// only open ones are listed. Lookups go by id, never through the whole store.
class RequestStore {
public:
    struct Options {
        std::function<std::uint64_t()> now = systemMillis;
        std::function<std::string()> newId = [] { return randomHex(8); };
        std::uint64_t keepClosedMs = 15 * 60 * 1000;
        std::size_t maxClosed = 1000;
    };

    RequestStore() : RequestStore(Options{}) {}
    explicit RequestStore(Options options);

    HelpRequest create(const NewRequest& request);
    std::vector<HelpRequest> open() const; // oldest first
    std::int64_t openCount() const;
    std::optional<HelpRequest> find(const std::string& id) const;
    // Counts every change to the list of open requests, so a watcher can tell
    // whether what it has seen is still current.
    std::uint64_t version() const;
    std::size_t size() const; // open and kept closed ones

    // Ends an open request with `status`; the first ending wins and later ones
    // change nothing. Gives the request as it now stands, or nothing for an unknown id.
    std::optional<HelpRequest> close(const std::string& id, std::string_view status,
                                     std::optional<std::string> answer = std::nullopt);

private:
    void forgetOldClosed(std::uint64_t now);

    Options m_options;
    mutable std::mutex m_mutex;
    std::unordered_map<std::string, HelpRequest> m_byId;
    std::map<std::uint64_t, std::string> m_open; // creation order → id
    std::unordered_map<std::string, std::uint64_t> m_openSlot;
    std::deque<std::string> m_closed; // in the order they closed
    std::uint64_t m_nextSlot = 1;
    std::uint64_t m_version = 1;
};

} // namespace ringlark::helper
