#include "helper/api/RequestStore.h"

#include <algorithm>
#include <random>

namespace ringlark::helper {

std::uint64_t systemMillis()
{
    using namespace std::chrono;
    return static_cast<std::uint64_t>(duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count());
}

std::string randomHex(std::size_t bytes)
{
    static constexpr char digits[] = "0123456789abcdef";
    std::random_device source;
    std::string text;
    for (std::size_t i = 0; i < bytes; ++i) {
        const auto byte = source() & 0xffu;
        text += digits[byte >> 4];
        text += digits[byte & 0xfu];
    }
    return text;
}

RequestStore::RequestStore(Options options) : m_options(std::move(options)) {}

HelpRequest RequestStore::create(const NewRequest& request)
{
    std::lock_guard lock(m_mutex);
    const auto now = m_options.now();
    forgetOldClosed(now);
    std::string id = m_options.newId();
    while (locate(id) != m_requests.end())
        id = m_options.newId();
    HelpRequest created{id,          RequestStatus::pending, request.reason, request.app, request.title,
                        request.agent, now,                  now,            request.ask, std::nullopt};
    m_requests.push_back(created);
    return created;
}

std::vector<HelpRequest> RequestStore::open() const
{
    std::lock_guard lock(m_mutex);
    std::vector<HelpRequest> result;
    std::copy_if(m_requests.begin(), m_requests.end(), std::back_inserter(result),
                 [](const HelpRequest& r) { return r.isOpen(); });
    return result;
}

std::int64_t RequestStore::openCount() const
{
    std::lock_guard lock(m_mutex);
    return std::count_if(m_requests.begin(), m_requests.end(), [](const HelpRequest& r) { return r.isOpen(); });
}

std::optional<HelpRequest> RequestStore::find(const std::string& id) const
{
    std::lock_guard lock(m_mutex);
    auto found = locate(id);
    return found == m_requests.end() ? std::nullopt : std::optional(*found);
}

std::optional<HelpRequest> RequestStore::close(const std::string& id, std::string_view status,
                                               std::optional<std::string> answer)
{
    std::lock_guard lock(m_mutex);
    auto found = locate(id);
    if (found == m_requests.end())
        return std::nullopt;
    if (found->isOpen()) {
        found->status = std::string(status);
        found->answer = std::move(answer);
        found->updatedAt = m_options.now();
    }
    return *found;
}

std::vector<HelpRequest>::iterator RequestStore::locate(const std::string& id)
{
    return std::find_if(m_requests.begin(), m_requests.end(), [&](const HelpRequest& r) { return r.id == id; });
}

std::vector<HelpRequest>::const_iterator RequestStore::locate(const std::string& id) const
{
    return std::find_if(m_requests.begin(), m_requests.end(), [&](const HelpRequest& r) { return r.id == id; });
}

void RequestStore::forgetOldClosed(std::uint64_t now)
{
    std::erase_if(m_requests, [&](const HelpRequest& r) {
        return !r.isOpen() && now - std::min(now, r.updatedAt) > m_options.keepClosedMs;
    });
}

} // namespace ringlark::helper
