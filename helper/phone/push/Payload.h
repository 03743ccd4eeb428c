#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace ringlark::helper::push {

// What a phone is told about one help request.
struct Notice {
    std::string id;
    std::string reason;
    std::string ask;
    std::string agent;
    std::string app;
    std::string url;  // the request's page, "/r/<id>"
};

// Compact JSON for the service worker, never more than one record holds
// (3993 bytes): reason and ask are cut with "…" to fit, the rest capped.
std::string payloadFor(const Notice& notice);

// {"type":"ended","id":...}: the phone closes that request's notification.
std::string endedPayload(std::string_view id);

// The push Topic for a request: 32 base64url characters from a hash of its
// id, so a later message for the same request replaces an undelivered one.
std::string topicFor(std::string_view id);

// `text` with invalid UTF-8 replaced, cut on a character boundary so that its
// JSON string form (without quotes) takes at most `maxJsonBytes`, ending in
// "…" when cut.
std::string fitJsonText(std::string_view text, std::size_t maxJsonBytes);

} // namespace ringlark::helper::push
