#pragma once

// The phones paired with this computer, kept in ~/.ringlark/devices.json.
// A device proves itself with a cookie holding its id and a 256-bit secret;
// the file holds only the secret's SHA-256, so reading it pairs nobody.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ringlark::helper::phone {

// A browser's push subscription, as PushSubscription.toJSON() gives it.
struct PushSubscription {
    std::string endpoint;
    std::string p256dh;
    std::string auth;
    bool operator==(const PushSubscription&) const = default;
};

struct Device {
    std::string id;
    std::string name;
    std::string secretHash; // SHA-256 of the secret, hex
    std::uint64_t pairedAt = 0; // ms since the Unix epoch
    std::uint64_t lastSeen = 0; // 0: not since pairing
    std::optional<PushSubscription> push;
    bool operator==(const Device&) const = default;
};

// The file's text and back; nothing when the text is not a device list.
std::string devicesFileText(const std::vector<Device>& devices);
std::optional<std::vector<Device>> parseDevicesFile(std::string_view text);

std::string sha256Hex(std::string_view bytes);

// The list GET /v1/devices gives the application: no secrets, no endpoints.
std::string devicesForApp(const std::vector<Device>& devices);

// "<id>.<secret>" → the two parts; nothing when malformed.
std::optional<std::pair<std::string, std::string>> splitCredential(std::string_view cookieValue);

class DeviceStore {
public:
    struct Options {
        std::filesystem::path directory; // ~/.ringlark, private already
        std::function<std::uint64_t()> now;
        std::function<std::string(std::size_t bytes)> randomHex;
    };
    explicit DeviceStore(Options options);

    // Reads the file. A file that is not a device list is set aside (renamed,
    // never deleted) and the store starts empty; a link or another user's
    // file is left alone and the store refuses to change anything. The
    // reason, for the log, when it was not simply read.
    std::optional<std::string> load();
    bool writable() const { return m_writable; }

    struct Paired {
        Device device;
        std::string credential; // what the cookie carries, shown once
    };
    // Nothing when the file cannot be written: an unsaved pairing would be lost at the next start.
    std::optional<Paired> pair(std::string name);
    // The device the credential belongs to, compared in constant time.
    const Device* authenticate(std::string_view credential) const;
    const Device* find(std::string_view id) const;
    const std::vector<Device>& devices() const { return m_devices; }

    bool remove(std::string_view id);
    bool subscribe(std::string_view id, PushSubscription subscription);
    void unsubscribe(std::string_view id);
    // Notes that a device was seen; written at most once a minute per device.
    void seen(std::string_view id);

private:
    bool save();
    Device* findMutable(std::string_view id);

    Options m_options;
    std::vector<Device> m_devices;
    bool m_writable = true;
};

} // namespace ringlark::helper::phone
