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
    if (auto dns = text(self, "DNSName")) {
        while (dns->ends_with('.'))
            dns->pop_back();
        info.dnsName = *dns;
    }
    return info;
}

ServeUse serveUse(std::string_view serveStatusJson, std::string_view dnsName, std::string_view ourTarget)
{
    const auto config = nlohmann::json::parse(serveStatusJson, nullptr, false);
    if (!config.is_object())
        return ServeUse::free; // "tailscale serve status --json" prints nothing when nothing is served
    const std::string port = std::to_string(servePort);
    const auto tcp = config.value("TCP", nlohmann::json::object());
    const bool portUsed = tcp.is_object() && tcp.contains(port);
    const auto web = config.value("Web", nlohmann::json::object());
    const std::string site = std::string(dnsName) + ":" + port;
    if (web.is_object() && web.contains(site)) {
        const auto& handlers = web[site].value("Handlers", nlohmann::json::object());
        // Ours only when the whole site is exactly our one proxy.
        if (handlers.is_object() && handlers.size() == 1 && handlers.contains("/") && handlers["/"].is_object()
            && handlers["/"].value("Proxy", "") == ourTarget)
            return ServeUse::ours;
        return ServeUse::taken;
    }
    return portUsed ? ServeUse::taken : ServeUse::free;
}

bool hasCertificates(std::string_view statusJson)
{
    const auto status = nlohmann::json::parse(statusJson, nullptr, false);
    if (!status.is_object())
        return false;
    const auto domains = status.find("CertDomains");
    return domains != status.end() && domains->is_array() && !domains->empty();
}

TailscaleInfo withoutCertificates(TailscaleInfo info)
{
    info.ok = false;
    info.error = "Turn on HTTPS certificates for your tailnet (Tailscale admin console, DNS page, HTTPS "
                 "Certificates) so your phone can reach this computer securely; the computer's name then "
                 "appears in public certificate logs";
    return info;
}

TailscaleInfo withServeTaken(TailscaleInfo info)
{
    info.ok = false;
    info.error = "Port " + std::to_string(servePort) + " of tailscale serve already shares something else on this "
                 "computer; free it with \"tailscale serve --https=" + std::to_string(servePort) + " off\" so your "
                 "phone can reach Ringlark";
    return info;
}

TailscaleInfo withServeFailure(TailscaleInfo info, const RunResult& run)
{
    info.ok = false;
    if (run.output.find("Access denied") != std::string::npos || run.output.find("access denied") != std::string::npos) {
        info.error = "Let Ringlark share this computer with your phone over Tailscale: run once in a terminal "
                     "\"sudo tailscale set --operator=$USER\"";
        return info;
    }
    std::string line = run.output.substr(0, run.output.find('\n'));
    if (line.size() > 200)
        line.resize(200);
    info.error = run.timedOut ? std::string("tailscale serve did not answer; Ringlark tries again shortly")
                              : "tailscale serve failed" + (line.empty() ? std::string() : ": " + line);
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
    const auto program = findExecutable("tailscale", m_options.pathVariable);
    if (!program)
        return tailscaleNotInstalled();
    const RunResult status = runCaptured({*program, "status", "--json"}, m_options.runTimeout);
    TailscaleInfo info = tailscaleFromRun(status);
    if (!info.ok || !m_options.phonePort)
        return info;
    if (!info.dnsName)
        return withServeFailure(info, {true, false, 1, "Tailscale gives this computer no DNS name (turn on MagicDNS)"});
    if (!hasCertificates(status.output))
        return withoutCertificates(info);

    // Never replaces what the person serves on that port for something else.
    const std::string target = "http://127.0.0.1:" + std::to_string(*m_options.phonePort);
    const RunResult serving = runCaptured({*program, "serve", "status", "--json"}, m_options.runTimeout);
    switch (serveUse(serving.output, *info.dnsName, target)) {
    case ServeUse::ours:
        return info;
    case ServeUse::taken:
        return withServeTaken(info);
    case ServeUse::free:
        break;
    }
    const RunResult setUp = runCaptured(
        {*program, "serve", "--bg", "--yes", "--https=" + std::to_string(servePort), target}, m_options.runTimeout * 3,
        ErrorOutput::capture);
    if (setUp.timedOut || setUp.exitStatus != 0)
        return withServeFailure(info, setUp);
    return info;
}

} // namespace ringlark::helper
