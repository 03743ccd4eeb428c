#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

#include "helper/phone/push/Expected.h"
#include "helper/phone/push/VapidKey.h"

namespace ringlark::helper::push {

// How long a signed token stays valid; push services refuse more than 24 hours.
inline constexpr std::chrono::hours kTokenLifetime{12};

// The ES256 token that tells the push service who sends: audience is the
// origin of the subscription's endpoint ("https://host"), subject a contact
// ("https://..." or "mailto:...").
Expected<std::string> vapidJwt(const VapidKey& key, std::string_view audience, std::string_view subject,
                               std::chrono::system_clock::time_point now);

// "vapid t=<token>, k=<public key>"
std::string vapidAuthorization(std::string_view jwt, const VapidKey& key);

// Why a push service would refuse this subject, or nullopt. Apple turns away
// contacts at localhost, .local and .invalid names.
std::optional<std::string> subjectProblem(std::string_view subject);

} // namespace ringlark::helper::push
