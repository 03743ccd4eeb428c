#include "helper/system/Tailscale.h"

#include <nlohmann/json.hpp>

namespace ringlark::helper {

namespace {

TailscaleInfo failing(std::string error)
{
    TailscaleInfo info;
    info.error = std::move(error);
    return info;
}

std::optional<std::string> text(const nlohmann::json& object, const char* key)
{
    auto found = object.find(key);
    if (found == object.end() || !found->is_string() || found->get_ref<const std::string&>().empty())
        return std::nullopt;
    return found->get<std::string>();
}

// The MagicDNS name's first label, which is what Tailscale shows as the
// machine's name; the OS host name when there is none.
std::optional<std::string> hostName(const nlohmann::json& self)
{
    if (auto dns = text(self, "DNSName")) {
        auto label = dns->substr(0, dns->find('.'));
        if (!label.empty())
            return label;
    }
    return text(self, "HostName");
}

std::optional<std::string> ownerOf(const nlohmann::json& status, const nlohmann::json& self)
{
    auto userId = self.find("UserID");
    auto users = status.find("User");
    if (userId == self.end() || users == status.end() || !users->is_object())
        return std::nullopt;
    const std::string key = userId->is_string() ? userId->get<std::string>() : userId->dump();
    auto user = users->find(key);
    if (user == users->end() || !user->is_object())
        return std::nullopt;
    return text(*user, "LoginName");
}

} // namespace

TailscaleInfo tailscaleNotInstalled() { return failing("Tailscale is not installed"); }

TailscaleInfo parseTailscaleStatus(std::string_view json)
{
    const auto status = nlohmann::json::parse(json, nullptr, false);
    if (!status.is_object() || !status.contains("BackendState") || !status["BackendState"].is_string())
        return failing("Tailscale is not connected");
    const std::string state = status["BackendState"];
    if (state == "NeedsLogin")
        return failing("Tailscale is not logged in");
    if (state == "NeedsMachineAuth")
        return failing("Tailscale is waiting for this computer to be approved");
    if (state == "Starting" || state == "NoState")
        return failing("Tailscale is starting");
    if (state != "Running")
        return failing(state == "Stopped" ? "Tailscale is not connected" : "Tailscale is not connected (" + state + ")");

    const auto& self = status.value("Self", nlohmann::json::object());
    std::optional<std::string> ip;
    if (self.is_object() && self.contains("TailscaleIPs") && self["TailscaleIPs"].is_array()) {
        for (const auto& address : self["TailscaleIPs"]) {
            if (!address.is_string())
                continue;
            const std::string value = address;
            if (!ip || (ip->find(':') != std::string::npos && value.find(':') == std::string::npos))
                ip = value; // an IPv4 address is the easier one to pair with
        }
    }
    if (!ip)
        return failing("Tailscale has no address for this computer yet");
    TailscaleInfo info;
    info.ok = true;
    info.ip = ip;
    info.host = hostName(self);
    info.owner = ownerOf(status, self);
    return info;
}

TailscaleInfo tailscaleFromRun(const RunResult& run)
{
    if (!run.started)
        return failing("Tailscale is not connected (its command could not run)");
    if (run.timedOut)
        return failing("Tailscale is not connected (tailscale status did not answer)");
    return parseTailscaleStatus(run.output);
}

bool tailscaleStillFresh(const TailscaleFreshness& rules, bool ok, std::chrono::milliseconds age,
                         std::chrono::milliseconds sinceChange)
{
    if (age < std::chrono::milliseconds::zero())
        return false; // learnt "in the future": a clock that went wrong, so ask
    if (sinceChange < rules.settling)
        return age < rules.maxAgeSettling;
    return age < (ok ? rules.maxAgeOk : rules.maxAgeFailing);
}

TailscaleMonitor::TailscaleMonitor(Options options) : m_options(std::move(options)) {}

TailscaleInfo TailscaleMonitor::current() const
{
    if (auto program = findExecutable("tailscale", m_options.pathVariable))
        return tailscaleFromRun(runCaptured({*program, "status", "--json"}, m_options.runTimeout));
    return tailscaleNotInstalled();
}

} // namespace ringlark::helper
