#pragma once

#include "helper/system/Process.h"

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

namespace ringlark::helper {

// What the daemon knows of Tailscale, as its status reports it.
struct TailscaleInfo {
    bool ok = false;
    std::optional<std::string> ip;
    std::optional<std::string> host;
    std::optional<std::string> owner;
    std::optional<std::string> error;
    // The machine's MagicDNS name without its final dot ("pc.tail1234.ts.net"),
    // where the phone reaches it through tailscale serve. Not reported.
    std::optional<std::string> dnsName;
    bool operator==(const TailscaleInfo&) const = default;
};

// The daemon's view of Tailscale from the output of `tailscale status --json`.
// Error texts carry "not logged in", "not connected" or "not installed" where
// those apply, since the app sorts the state by them.
TailscaleInfo parseTailscaleStatus(std::string_view json);

TailscaleInfo tailscaleNotInstalled();

// How the tailnet reaches the phone listener: tailscale serve on this HTTPS port.
inline constexpr int servePort = 8643;

// What `tailscale serve status --json` says of our HTTPS port.
enum class ServeUse { ours, free, taken };
ServeUse serveUse(std::string_view serveStatusJson, std::string_view dnsName, std::string_view ourTarget);

// Whether the tailnet hands out HTTPS certificates: `CertDomains` in the status.
bool hasCertificates(std::string_view statusJson);

// Takes a ready Tailscale state to one the phone can use, or to the one thing
// the person must do: each text says exactly what.
TailscaleInfo withoutCertificates(TailscaleInfo info);
TailscaleInfo withServeTaken(TailscaleInfo info);
TailscaleInfo withServeFailure(TailscaleInfo info, const RunResult& run);
// From a run of the status command: its output when it gave a status, else not connected.
TailscaleInfo tailscaleFromRun(const RunResult& run);

// How long a known state of Tailscale is trusted before the program is asked
// again. Network changes are watched, so an ok state can be kept for long;
// shortly after a change (or the start) tailscaled may still be coming up,
// and a failing state is often one the person is about to fix.
struct TailscaleFreshness {
    std::chrono::milliseconds settling{30000};       // after a network change or the start
    std::chrono::milliseconds maxAgeSettling{3000};
    std::chrono::milliseconds maxAgeOk{300000};
    std::chrono::milliseconds maxAgeFailing{60000};
};

// Whether a state that was `ok` (or not), learnt `age` ago, still stands
// `sinceChange` after the last relevant network change.
bool tailscaleStillFresh(const TailscaleFreshness& rules, bool ok, std::chrono::milliseconds age,
                         std::chrono::milliseconds sinceChange);

// Asks the tailscale program; a hung program is killed after `runTimeout`,
// so no status answer waits long. It keeps nothing: when to ask is the
// caller's decision, and the daemon asks from its one worker thread, one run
// at a time.
class TailscaleMonitor {
public:
    struct Options {
        std::string pathVariable;
        std::chrono::milliseconds runTimeout{2000};
        // The phone listener that tailscale serve should reach; none: no serving.
        std::optional<int> phonePort;
    };

    explicit TailscaleMonitor(Options options);

    TailscaleInfo current() const;

private:
    Options m_options;
};

} // namespace ringlark::helper
