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
    while (m_byId.contains(id))
        id = m_options.newId();
    HelpRequest created{id,          RequestStatus::pending, request.reason, request.app, request.title,
                        request.agent, now,                  now,            request.ask, std::nullopt};
    m_byId.emplace(id, created);
    m_open.emplace(m_nextSlot, id);
    m_openSlot.emplace(id, m_nextSlot++);
    ++m_version;
    return created;
}

std::vector<HelpRequest> RequestStore::open() const
{
    std::lock_guard lock(m_mutex);
    std::vector<HelpRequest> result;
    result.reserve(m_open.size());
    for (const auto& [slot, id] : m_open)
        result.push_back(m_byId.at(id));
    return result;
}

std::int64_t RequestStore::openCount() const
{
    std::lock_guard lock(m_mutex);
    return static_cast<std::int64_t>(m_open.size());
}

std::optional<HelpRequest> RequestStore::find(const std::string& id) const
{
    std::lock_guard lock(m_mutex);
    auto found = m_byId.find(id);
    return found == m_byId.end() ? std::nullopt : std::optional(found->second);
}

std::uint64_t RequestStore::version() const
{
    std::lock_guard lock(m_mutex);
    return m_version;
}

std::size_t RequestStore::size() const
{
    std::lock_guard lock(m_mutex);
    return m_byId.size();
}

std::optional<HelpRequest> RequestStore::close(const std::string& id, std::string_view status,
                                               std::optional<std::string> answer)
{
    std::lock_guard lock(m_mutex);
    auto found = m_byId.find(id);
    if (found == m_byId.end())
        return std::nullopt;
    HelpRequest& request = found->second;
    if (request.isOpen()) {
        request.status = std::string(status);
        request.answer = std::move(answer);
        request.updatedAt = m_options.now();
        m_open.erase(m_openSlot.at(id));
        m_openSlot.erase(id);
        m_closed.push_back(id);
        ++m_version;
        HelpRequest ended = request; // the trim below may drop it
        forgetOldClosed(ended.updatedAt);
        return ended;
    }
    return request;
}

void RequestStore::forgetOldClosed(std::uint64_t now)
{
    // Closed in time order, so the oldest are at the front.
    while (!m_closed.empty()) {
        const auto& request = m_byId.at(m_closed.front());
        const bool tooOld = now - std::min(now, request.updatedAt) > m_options.keepClosedMs;
        if (!tooOld && m_closed.size() <= m_options.maxClosed)
            break;
        m_byId.erase(m_closed.front());
        m_closed.pop_front();
    }
}

} // namespace ringlark::helper
