#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "helper/phone/push/Expected.h"
#include "helper/phone/push/Payload.h"

namespace ringlark::helper::push {

// Where ntfy notices go: a server ("https://ntfy.sh"), a topic, and an access
// token when the topic is protected.
struct NtfyTarget {
    std::string server;
    std::string topic;
    std::string token;
};

// A prepared POST.
struct HttpRequest {
    std::string url;
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;
    std::string contentType;
};

// The JSON publish for one notice: titled with the reason, opening `pageUrl`
// on a tap, with a Dismiss button that POSTs {} to `dismissUrl` (a capability
// URL good for this request only). Plain http servers only in test mode, and
// only on this computer.
Expected<HttpRequest> ntfyRequest(const NtfyTarget& target, const Notice& notice, std::string_view pageUrl,
                                  std::string_view dismissUrl, bool testMode);

} // namespace ringlark::helper::push
