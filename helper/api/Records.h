#pragma once

#include "helper/system/Tailscale.h"
#include "support/Expected.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace ringlark::helper {

// States of a help request. Only `pending` ones are listed and counted.
namespace RequestStatus {
inline constexpr const char* pending = "pending";
inline constexpr const char* resolved = "resolved";   // a person did what was asked
inline constexpr const char* dismissed = "dismissed"; // dismissed from the tray
inline constexpr const char* withdrawn = "withdrawn"; // the asking agent gave up
} // namespace RequestStatus

// What an agent asks a person for.
struct NewRequest {
    std::string reason;
    std::optional<std::string> ask;
    std::optional<std::string> app;
    std::optional<std::string> title;
    std::optional<std::string> agent;
};

struct HelpRequest {
    std::string id;
    std::string status;
    std::string reason;
    std::optional<std::string> app;
    std::optional<std::string> title;
    std::optional<std::string> agent;
    std::uint64_t createdAt = 0; // ms since the Unix epoch
    std::uint64_t updatedAt = 0;
    std::optional<std::string> ask;
    std::optional<std::string> answer; // what the person replied, when resolved with one

    bool isOpen() const { return status == RequestStatus::pending; }
};


struct DaemonStatus {
    std::string version;
    TailscaleInfo tailscale;
    bool screenRecording = false; // the daemon can capture windows of the display
    bool accessibility = false;   // and send them input
    std::string pushMode = "off"; // no phone link in this helper
    std::int64_t devices = 0;
    std::int64_t pending = 0;
    bool sessionActive = false;
    bool operator==(const DaemonStatus&) const = default;
};

nlohmann::json toJson(const TailscaleInfo& tailscale);
nlohmann::json toJson(const DaemonStatus& status);
nlohmann::json toJson(const HelpRequest& request);
// What `ringlark permissions` prints and the status carries.
nlohmann::json permissionsJson(bool screenRecording, bool accessibility);

// The longest `reason`, `ask`, `app`, `title` or `agent` accepted, in characters.
inline constexpr std::size_t maxFieldCharacters = 1000;

// Characters (code points) in UTF-8 text; stray bytes count one each.
std::size_t characterCount(std::string_view utf8);

// The complaint about the first field of `request` that is too long, naming
// the field and the bound; nothing when all fit.
std::optional<std::string> oversizedField(const NewRequest& request);

// Reads `reason` (required, not blank) and the optional texts `ask`, `app`,
// `title` and `agent`; the error names the offending field.
Expected<NewRequest, std::string> parseNewRequest(const nlohmann::json& object);

// The link a phone pairs with: the phone listener's page on this computer's
// serve name, with a pairing code.
std::string pairingUrl(std::string_view serveHost, int port, std::string_view code);

// Text of a JSON value for the wire: invalid UTF-8 is replaced, never thrown on.
std::string dumpJson(const nlohmann::json& value);

} // namespace ringlark::helper
