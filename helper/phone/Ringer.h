#pragma once

// Rings the paired phones when an agent asks for help: a Web Push to every
// device that holds a subscription ("direct"), else through the ntfy relay
// set in ~/.ringlark/phone.json ("ntfy"). Sending happens on the push
// sender's threads; what comes back is handled on the daemon's loop.

#include "helper/api/Records.h"
#include "helper/phone/Devices.h"
#include "helper/phone/PhoneAccess.h"
#include "helper/phone/push/Ntfy.h"
#include "helper/phone/push/PushSender.h"
#include "helper/phone/push/VapidKey.h"

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace ringlark::helper::phone {

// The relay's settings from phone.json: {"ntfy": {"server", "topic", "token"?}}.
std::optional<push::NtfyTarget> parseRelay(std::string_view phoneJson);

class Ringer {
public:
    struct Options {
        std::filesystem::path directory; // ~/.ringlark
        bool testMode = false;
        std::function<void(std::function<void()>)> post; // onto the daemon's loop, from any thread
        std::function<void(const std::string&)> log;
        std::function<void()> devicesChanged;             // a subscription was dropped
    };
    Ringer(Options options, DeviceStore& devices);
    ~Ringer();

    const std::string& vapidPublicKey() const { return m_publicKey; }
    // "direct" while a device holds a subscription, else "ntfy" with a relay, else "off".
    std::string mode() const;

    void ring(const HelpRequest& request, const std::optional<Site>& site);

    // The relay's Dismiss button carries a capability for its one request.
    std::string capability(const std::string& id) const;
    bool dismissAllowed(const std::string& id, std::string_view capability) const;

private:
    push::PushSender* senderFor(const std::string& subject);
    void pushed(const std::string& deviceId, const push::Outcome& outcome);

    Options m_options;
    DeviceStore& m_devices;
    std::optional<push::VapidKey> m_key;
    std::string m_publicKey;
    std::optional<push::NtfyTarget> m_relay;
    std::string m_capabilityKey;
    std::string m_subject;
    std::unique_ptr<push::PushSender> m_sender;
};

} // namespace ringlark::helper::phone
