#include "helper/phone/Pairing.h"

#include "helper/api/Access.h"

namespace ringlark::helper::phone {

PairingCodes::PairingCodes(Rules rules, std::function<std::string()> newCode)
    : m_rules(rules), m_newCode(std::move(newCode))
{
}

void PairingCodes::replace(Clock::time_point now)
{
    m_code = m_newCode();
    m_issuedAt = now;
    m_wrongTries = 0;
}

const std::string& PairingCodes::current(Clock::time_point now)
{
    if (m_code.empty() || now - m_issuedAt >= m_rules.lifetime || now < m_issuedAt)
        replace(now);
    return m_code;
}

PairingCodes::Verdict PairingCodes::redeem(std::string_view code, Clock::time_point now)
{
    while (!m_recentTries.empty() && now - m_recentTries.front() >= std::chrono::minutes(1))
        m_recentTries.pop_front();
    if (static_cast<int>(m_recentTries.size()) >= m_rules.triesPerMinute)
        return Verdict::tooMany;
    m_recentTries.push_back(now);

    // An expired code is as good as a wrong one; neither says which it was.
    const bool valid = !m_code.empty() && now - m_issuedAt < m_rules.lifetime && now >= m_issuedAt;
    if (valid && sameSecret(code, m_code)) {
        replace(now);
        return Verdict::paired;
    }
    if (valid && ++m_wrongTries >= m_rules.wrongTriesPerCode)
        replace(now);
    return Verdict::wrong;
}

} // namespace ringlark::helper::phone
