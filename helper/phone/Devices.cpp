#include "helper/phone/Devices.h"

#include "helper/api/Access.h"
#include "helper/system/Files.h"

#include <nlohmann/json.hpp>
#include <openssl/evp.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace ringlark::helper::phone {

namespace {

constexpr const char* fileName = "devices.json";

bool isHex(std::string_view text, std::size_t length)
{
    return text.size() == length && std::all_of(text.begin(), text.end(), [](char c) {
               return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
           });
}

std::optional<std::string> stringAt(const nlohmann::json& object, const char* key)
{
    auto found = object.find(key);
    if (found == object.end() || !found->is_string())
        return std::nullopt;
    return found->get<std::string>();
}

std::optional<std::uint64_t> numberAt(const nlohmann::json& object, const char* key)
{
    auto found = object.find(key);
    if (found == object.end() || !found->is_number_unsigned())
        return std::nullopt;
    return found->get<std::uint64_t>();
}

} // namespace

std::string sha256Hex(std::string_view bytes)
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_sha256(), nullptr);
    static constexpr char digits[] = "0123456789abcdef";
    std::string hex;
    for (unsigned i = 0; i < length; ++i) {
        hex += digits[digest[i] >> 4];
        hex += digits[digest[i] & 0xf];
    }
    return hex;
}

std::string devicesForApp(const std::vector<Device>& devices)
{
    auto list = nlohmann::json::array();
    for (const auto& device : devices) {
        nlohmann::json entry{{"id", device.id}, {"name", device.name}, {"paired_at", device.pairedAt},
                             {"push", device.push.has_value()}};
        if (device.lastSeen)
            entry["last_seen"] = device.lastSeen;
        list.push_back(std::move(entry));
    }
    return list.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::optional<std::pair<std::string, std::string>> splitCredential(std::string_view cookieValue)
{
    const auto dot = cookieValue.find('.');
    if (dot == std::string_view::npos)
        return std::nullopt;
    const auto id = cookieValue.substr(0, dot);
    const auto secret = cookieValue.substr(dot + 1);
    if (!isHex(id, 16) || !isHex(secret, 64))
        return std::nullopt;
    return std::pair{std::string(id), std::string(secret)};
}

std::string devicesFileText(const std::vector<Device>& devices)
{
    auto list = nlohmann::json::array();
    for (const auto& device : devices) {
        nlohmann::json entry{{"id", device.id},
                             {"name", device.name},
                             {"secret_sha256", device.secretHash},
                             {"paired_at", device.pairedAt},
                             {"last_seen", device.lastSeen}};
        if (device.push)
            entry["push"] = {{"endpoint", device.push->endpoint},
                             {"keys", {{"p256dh", device.push->p256dh}, {"auth", device.push->auth}}}};
        list.push_back(std::move(entry));
    }
    return nlohmann::json{{"version", 1}, {"devices", list}}.dump(2, ' ', false, nlohmann::json::error_handler_t::replace)
           + "\n";
}

std::optional<std::vector<Device>> parseDevicesFile(std::string_view text)
{
    const auto root = nlohmann::json::parse(text, nullptr, false);
    if (!root.is_object() || !root.contains("devices") || !root["devices"].is_array())
        return std::nullopt;
    std::vector<Device> devices;
    for (const auto& entry : root["devices"]) {
        if (!entry.is_object())
            return std::nullopt;
        Device device;
        auto id = stringAt(entry, "id");
        auto name = stringAt(entry, "name");
        auto hash = stringAt(entry, "secret_sha256");
        auto pairedAt = numberAt(entry, "paired_at");
        if (!id || !isHex(*id, 16) || !name || !hash || !isHex(*hash, 64) || !pairedAt)
            return std::nullopt;
        device.id = *id;
        device.name = *name;
        device.secretHash = *hash;
        device.pairedAt = *pairedAt;
        device.lastSeen = numberAt(entry, "last_seen").value_or(0);
        if (auto push = entry.find("push"); push != entry.end() && push->is_object()) {
            const auto keys = push->value("keys", nlohmann::json::object());
            auto endpoint = stringAt(*push, "endpoint");
            auto p256dh = keys.is_object() ? stringAt(keys, "p256dh") : std::nullopt;
            auto auth = keys.is_object() ? stringAt(keys, "auth") : std::nullopt;
            if (endpoint && p256dh && auth)
                device.push = PushSubscription{*endpoint, *p256dh, *auth};
        }
        devices.push_back(std::move(device));
    }
    return devices;
}

DeviceStore::DeviceStore(Options options) : m_options(std::move(options)) {}

std::optional<std::string> DeviceStore::load()
{
    m_devices.clear();
    m_writable = true;
    const auto path = m_options.directory / fileName;
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        if (errno == ENOENT)
            return std::nullopt;
        m_writable = false;
        return path.string() + " cannot be read (" + std::string(errno == ELOOP ? "it is a link" : std::strerror(errno))
               + "); paired phones are unavailable until it is fixed";
    }
    struct stat info {};
    std::string text;
    if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_uid == ::getuid() && info.st_size < (1 << 20)) {
        char buffer[65536];
        ssize_t count;
        while ((count = ::read(fd, buffer, sizeof buffer)) > 0)
            text.append(buffer, static_cast<std::size_t>(count));
        ::close(fd);
    } else {
        ::close(fd);
        m_writable = false;
        return path.string() + " is not a file of this user's; paired phones are unavailable until it is removed";
    }
    if (auto devices = parseDevicesFile(text)) {
        m_devices = std::move(*devices);
        ::chmod(path.c_str(), 0600);
        return std::nullopt;
    }
    // Beside any copy set aside before, never over it.
    for (int attempt = 0; attempt < 100; ++attempt) {
        const auto aside = m_options.directory
                           / (std::string(fileName) + ".unreadable" + (attempt ? "." + std::to_string(attempt) : ""));
        std::error_code failed;
        if (std::filesystem::exists(aside, failed) || failed)
            continue;
        std::filesystem::rename(path, aside, failed);
        if (failed)
            break;
        return path.string() + " was not a list of devices; it was kept as " + aside.string() + " and no phone is paired";
    }
    // Saving now would overwrite it: pairing waits until someone looks.
    m_writable = false;
    return path.string() + " is not a list of devices and could not be set aside; paired phones are unavailable until "
                           "it is removed";
}

bool DeviceStore::save()
{
    return m_writable && writeAtomically(m_options.directory, fileName, devicesFileText(m_devices));
}

std::optional<DeviceStore::Paired> DeviceStore::pair(std::string name)
{
    if (!m_writable)
        return std::nullopt;
    Device device;
    do
        device.id = m_options.randomHex(8);
    while (find(device.id));
    const std::string secret = m_options.randomHex(32);
    if (device.id.size() != 16 || secret.size() != 64)
        return std::nullopt;
    device.name = std::move(name);
    device.secretHash = sha256Hex(secret);
    device.pairedAt = m_options.now();
    device.lastSeen = device.pairedAt;
    m_devices.push_back(device);
    if (!save()) {
        m_devices.pop_back();
        return std::nullopt;
    }
    return Paired{device, device.id + "." + secret};
}

const Device* DeviceStore::authenticate(std::string_view credential) const
{
    const auto parts = splitCredential(credential);
    if (!parts)
        return nullptr;
    const Device* device = find(parts->first);
    const std::string hash = sha256Hex(parts->second);
    // Compared even when the id is unknown, so the time tells nothing.
    const bool matches = sameSecret(hash, device ? device->secretHash : std::string(64, '0'));
    return device && matches ? device : nullptr;
}

const Device* DeviceStore::find(std::string_view id) const
{
    auto found = std::find_if(m_devices.begin(), m_devices.end(), [&](const Device& d) { return d.id == id; });
    return found == m_devices.end() ? nullptr : &*found;
}

Device* DeviceStore::findMutable(std::string_view id) { return const_cast<Device*>(find(id)); }

bool DeviceStore::remove(std::string_view id)
{
    const auto before = m_devices.size();
    std::erase_if(m_devices, [&](const Device& d) { return d.id == id; });
    if (m_devices.size() == before)
        return false;
    save();
    return true;
}

bool DeviceStore::subscribe(std::string_view id, PushSubscription subscription)
{
    Device* device = findMutable(id);
    if (!device)
        return false;
    if (device->push != subscription) {
        device->push = std::move(subscription);
        return save();
    }
    return true;
}

void DeviceStore::unsubscribe(std::string_view id)
{
    if (Device* device = findMutable(id); device && device->push) {
        device->push.reset();
        save();
    }
}

void DeviceStore::seen(std::string_view id)
{
    Device* device = findMutable(id);
    const auto now = m_options.now();
    if (device && now - std::min(now, device->lastSeen) >= 60'000) {
        device->lastSeen = now;
        save();
    }
}

} // namespace ringlark::helper::phone
