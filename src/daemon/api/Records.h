#pragma once

#include "support/Expected.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <cstdint>
#include <optional>

namespace ringlark {

// The daemon's JSON records. Plain values with field-by-field equality; only
// ever decoded, never encoded by the application.

struct Tailscale {
    bool ok = false;
    std::optional<QString> ip;
    std::optional<QString> host;
    std::optional<QString> owner;
    std::optional<QString> error;
    bool operator==(const Tailscale&) const = default;
};

struct Permissions {
    bool screenRecording = false;
    bool accessibility = false;
    bool operator==(const Permissions&) const = default;
};

struct Push {
    QString mode;
    std::int64_t devices = 0;
    bool operator==(const Push&) const = default;
};

struct RinglarkStatus {
    QString version;
    Tailscale tailscale;
    Permissions permissions;
    Push push;
    std::int64_t pending = 0;
    bool sessionActive = false;
    bool operator==(const RinglarkStatus&) const = default;
};

struct HelpRequest {
    QString id;
    QString status;
    QString reason;
    std::optional<QString> app;
    std::optional<QString> title;
    std::optional<QString> agent;
    std::uint64_t createdAt = 0; // milliseconds since the Unix epoch
    std::uint64_t updatedAt = 0;
    std::optional<QString> ask;
    bool operator==(const HelpRequest&) const = default;
};

struct Pairing {
    QString url;
    bool operator==(const Pairing&) const = default;
};

// A phone paired with this computer. Times are milliseconds since the Unix epoch.
struct PairedDevice {
    QString id;
    QString name;
    std::uint64_t pairedAt = 0;
    std::optional<std::uint64_t> lastSeen; // none until the phone was first seen
    bool push = false;                     // the phone gets pushes
    bool operator==(const PairedDevice&) const = default;
};

// Why a JSON document did not decode into the requested record.
struct DecodeError {
    QString message;
    bool operator==(const DecodeError&) const = default;
};

// Decoding from JSON bytes. Keys are converted from snake case before they are
// matched; unknown keys are ignored; a missing, null or mistyped required
// field, a mistyped optional one, or an integer that does not fit its type
// fails the whole decode.
template <typename T>
Expected<T, DecodeError> decode(const QByteArray& json);

template <> Expected<RinglarkStatus, DecodeError> decode<RinglarkStatus>(const QByteArray& json);
template <> Expected<Permissions, DecodeError> decode<Permissions>(const QByteArray& json);
template <> Expected<QList<HelpRequest>, DecodeError> decode<QList<HelpRequest>>(const QByteArray& json);
template <> Expected<Pairing, DecodeError> decode<Pairing>(const QByteArray& json);
template <> Expected<QList<PairedDevice>, DecodeError> decode<QList<PairedDevice>>(const QByteArray& json);

// The snake-case key conversion applied to every JSON object key before it is
// matched against a field name ("session_active" -> "sessionActive").
std::string convertFromSnakeCase(const std::string& key);

} // namespace ringlark
