#include "helper/phone/Ringer.h"

#include "helper/api/Access.h"
#include "helper/api/RequestStore.h"
#include "helper/phone/push/Payload.h"
#include "helper/system/Files.h"

#include <nlohmann/json.hpp>
#include <openssl/evp.h>
#include <openssl/hmac.h>

namespace ringlark::helper::phone {

std::optional<push::NtfyTarget> parseRelay(std::string_view phoneJson)
{
    const auto root = nlohmann::json::parse(phoneJson, nullptr, false);
    if (!root.is_object() || !root.contains("ntfy") || !root["ntfy"].is_object())
        return std::nullopt;
    const auto& ntfy = root["ntfy"];
    push::NtfyTarget target;
    if (!ntfy.contains("server") || !ntfy["server"].is_string() || !ntfy.contains("topic") || !ntfy["topic"].is_string())
        return std::nullopt;
    target.server = ntfy["server"];
    target.topic = ntfy["topic"];
    if (ntfy.contains("token") && ntfy["token"].is_string())
        target.token = ntfy["token"];
    if (target.server.empty() || target.topic.empty())
        return std::nullopt;
    return target;
}

Ringer::Ringer(Options options, DeviceStore& devices) : m_options(std::move(options)), m_devices(devices)
{
    auto key = push::VapidKey::loadOrCreate(m_options.directory / "vapid.pem");
    if (key) {
        m_key.emplace(std::move(*key));
        m_publicKey = m_key->publicKeyBase64Url();
    } else {
        m_options.log("pushes are off: " + key.error());
    }
    if (auto text = readPlainFile(m_options.directory / "phone.json", 64 * 1024)) {
        m_relay = parseRelay(*text);
        if (!m_relay)
            m_options.log("phone.json has no usable ntfy relay ({\"ntfy\": {\"server\", \"topic\"}})");
    }
    m_capabilityKey = newToken();
}

// Stops the senders first: their last outcomes run before the devices go.
Ringer::~Ringer() { m_sender.reset(); }

std::string Ringer::mode() const
{
    for (const auto& device : m_devices.devices())
        if (device.push)
            return "direct";
    return m_relay ? "ntfy" : "off";
}

push::PushSender* Ringer::senderFor(const std::string& subject)
{
    if (!m_key)
        return nullptr;
    // The contact names this machine; it is known only once Tailscale is.
    if (!m_sender || subject != m_subject) {
        push::PushSender::Options options;
        options.testMode = m_options.testMode;
        options.subject = subject;
        m_sender.reset();
        m_sender = std::make_unique<push::PushSender>(options, *m_key);
        m_subject = subject;
    }
    return m_sender.get();
}

void Ringer::ring(const HelpRequest& request, const std::optional<Site>& site)
{
    if (!site)
        return; // no phone can open what a push would point at
    push::Notice notice{request.id, request.reason, request.ask.value_or(""), request.agent.value_or(""),
                        request.app.value_or(""), "/r/" + request.id};
    push::PushSender* sender = senderFor("https://" + site->host.substr(0, site->host.rfind(':')));
    if (!sender)
        return;
    bool direct = false;
    for (const auto& device : m_devices.devices()) {
        if (!device.push)
            continue;
        direct = true;
        sender->send({device.push->endpoint, device.push->p256dh, device.push->auth}, push::payloadFor(notice),
                     push::topicFor(request.id), [this, id = device.id](push::Outcome outcome) {
                         m_options.post([this, id, outcome] { pushed(id, outcome); });
                     });
    }
    if (direct || !m_relay)
        return;
    const std::string base = site->origin();
    auto published = push::ntfyRequest(*m_relay, notice, base + notice.url,
                                       base + "/api/v1/requests/" + request.id + "/dismiss?cap=" + capability(request.id),
                                       m_options.testMode);
    if (!published) {
        m_options.log("the ntfy relay is not usable: " + published.error());
        return;
    }
    sender->publishNtfy(std::move(*published), [this](push::Outcome outcome) {
        if (!outcome.delivered())
            m_options.post([this, outcome] { m_options.log("the ntfy relay refused a push: " + outcome.error); });
    });
}

void Ringer::pushed(const std::string& deviceId, const push::Outcome& outcome)
{
    if (outcome.gone()) {
        // The browser dropped the subscription: so do we.
        m_devices.unsubscribe(deviceId);
        if (m_options.devicesChanged)
            m_options.devicesChanged();
        m_options.log("a phone's push subscription has expired; it must turn notifications on again");
    } else if (!outcome.delivered()) {
        m_options.log("a push was not delivered: " + outcome.error);
    }
}

std::string Ringer::capability(const std::string& id) const
{
    unsigned char mac[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    HMAC(EVP_sha256(), m_capabilityKey.data(), static_cast<int>(m_capabilityKey.size()),
         reinterpret_cast<const unsigned char*>(id.data()), id.size(), mac, &length);
    static constexpr char digits[] = "0123456789abcdef";
    std::string hex;
    for (unsigned i = 0; i < 16 && i < length; ++i) {
        hex += digits[mac[i] >> 4];
        hex += digits[mac[i] & 0xf];
    }
    return hex;
}

bool Ringer::dismissAllowed(const std::string& id, std::string_view capability) const
{
    return !m_capabilityKey.empty() && sameSecret(capability, this->capability(id));
}

} // namespace ringlark::helper::phone
