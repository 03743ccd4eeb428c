#pragma once

// The pairing code a QR code carries: 128 random bits, good for one pairing,
// for ten minutes, and for five wrong guesses. Pure: the caller gives the time.

#include <chrono>
#include <deque>
#include <functional>
#include <string>
#include <string_view>

namespace ringlark::helper::phone {

class PairingCodes {
public:
    using Clock = std::chrono::steady_clock;
    struct Rules {
        std::chrono::milliseconds lifetime{10 * 60 * 1000};
        int wrongTriesPerCode = 5;
        int triesPerMinute = 5; // all tries, right or wrong, from anyone
    };
    enum class Verdict { paired, wrong, tooMany };

    PairingCodes(Rules rules, std::function<std::string()> newCode);

    // The code to show now: a fresh one once the last was used, expired or guessed at too often.
    const std::string& current(Clock::time_point now);
    // Spends the code when `code` is it.
    Verdict redeem(std::string_view code, Clock::time_point now);

private:
    void replace(Clock::time_point now);

    Rules m_rules;
    std::function<std::string()> m_newCode;
    std::string m_code;
    Clock::time_point m_issuedAt{};
    int m_wrongTries = 0;
    std::deque<Clock::time_point> m_recentTries;
};

} // namespace ringlark::helper::phone
