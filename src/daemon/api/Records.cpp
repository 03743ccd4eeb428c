#include "daemon/api/Records.h"

#include <nlohmann/json.hpp>

#include <cmath>
#include <limits>
#include <list>
#include <string_view>
#include <vector>

namespace ringlark {

std::string convertFromSnakeCase(const std::string& key)
{
    const auto first = key.find_first_not_of('_');
    if (first == std::string::npos)
        return key; // empty, or underscores only
    const auto last = key.find_last_not_of('_');

    std::vector<std::string_view> pieces;
    const std::string_view core = std::string_view(key).substr(first, last - first + 1);
    std::size_t start = 0;
    while (start <= core.size()) {
        const auto end = std::min(core.find('_', start), core.size());
        if (end > start)
            pieces.push_back(core.substr(start, end - start));
        start = end + 1;
    }
    // One piece: already camel case (or a single word); leave it alone.
    if (pieces.size() == 1)
        return key;

    auto text = [](std::string_view piece) { return QString::fromUtf8(piece.data(), qsizetype(piece.size())); };
    QString joined = text(pieces.front()).toLower();
    for (std::size_t i = 1; i < pieces.size(); ++i) {
        const QString piece = text(pieces[i]);
        // The first letter is a whole code point, which may be a surrogate pair.
        const qsizetype head = piece.front().isHighSurrogate() && piece.size() > 1 ? 2 : 1;
        joined += piece.left(head).toUpper() + piece.mid(head).toLower();
    }
    return key.substr(0, first) + joined.toStdString() + key.substr(last + 1);
}

namespace {

using Json = nlohmann::json;

// Builds the document with every object key already converted. When two keys
// of one object convert to the same name, the first in the document wins and
// later ones are dropped unread, so a record never depends on key order in a
// map or on which duplicate the parser happened to keep.
class ConvertingBuilder {
public:
    explicit ConvertingBuilder(Json& root) : m_root(root) {}

    bool null() { return place(nullptr); }
    bool boolean(bool value) { return place(value); }
    bool number_integer(Json::number_integer_t value) { return place(value); }
    bool number_unsigned(Json::number_unsigned_t value) { return place(value); }
    bool number_float(Json::number_float_t value, const std::string&) { return place(value); }
    bool string(std::string& value) { return place(std::move(value)); }
    bool binary(Json::binary_t&) { return false; } // JSON text never produces these
    bool start_object(std::size_t) { return open(Json::object()); }
    bool start_array(std::size_t) { return open(Json::array()); }
    bool end_object() { return close(); }
    bool end_array() { return close(); }

    bool key(std::string& key)
    {
        m_key = convertFromSnakeCase(key);
        return true;
    }

    bool parse_error(std::size_t, const std::string&, const Json::exception& error)
    {
        m_error = error.what();
        return false;
    }

    const std::string& error() const { return m_error; }

private:
    // Where the next value goes: the root, the end of an array, a new object
    // member, or a scratch slot for a duplicate that is thrown away.
    Json* slot()
    {
        if (m_stack.empty())
            return &m_root;
        Json& parent = *m_stack.back();
        if (parent.is_array()) {
            parent.push_back(nullptr);
            return &parent.back();
        }
        if (parent.contains(m_key))
            return &m_discarded.emplace_back();
        return &parent[m_key];
    }

    bool place(Json value)
    {
        *slot() = std::move(value);
        return true;
    }

    bool open(Json container)
    {
        Json* target = slot();
        *target = std::move(container);
        // Array elements are closed before their next sibling is added, so
        // this pointer stays valid for as long as it is on the stack.
        m_stack.push_back(target);
        return true;
    }

    bool close()
    {
        m_stack.pop_back();
        return true;
    }

    Json& m_root;
    std::vector<Json*> m_stack;
    std::list<Json> m_discarded;
    std::string m_key;
    std::string m_error;
};

struct Failure {
    std::string message;
};

[[noreturn]] void fail(const std::string& where, const std::string& what)
{
    throw Failure{(where.empty() ? std::string("document") : where) + ": " + what};
}

std::string found(const Json& value)
{
    if (value.is_number_float())
        return std::string("found the number ") + value.dump();
    return std::string("found ") + value.type_name();
}

QString readText(const Json& value, const std::string& where)
{
    if (!value.is_string())
        fail(where, "expected a string, " + found(value));
    return QString::fromStdString(value.get_ref<const std::string&>());
}

bool readBool(const Json& value, const std::string& where)
{
    if (!value.is_boolean())
        fail(where, "expected a Boolean, " + found(value));
    return value.get<bool>();
}

// A float holding a whole number is taken only below 2^53, where it stands for
// exactly the integer that was written.
bool isExactWholeNumber(double value)
{
    constexpr double exactLimit = 9007199254740992.0; // 2^53
    return std::isfinite(value) && std::trunc(value) == value && std::fabs(value) < exactLimit;
}

std::int64_t readInt64(const Json& value, const std::string& where)
{
    // Unsigned first: is_number_integer() is true for unsigned values as well.
    if (value.is_number_unsigned()) {
        const auto n = value.get<std::uint64_t>();
        if (n > std::uint64_t(std::numeric_limits<std::int64_t>::max()))
            fail(where, "integer " + value.dump() + " is out of range");
        return std::int64_t(n);
    }
    if (value.is_number_integer())
        return value.get<std::int64_t>();
    if (value.is_number_float()) {
        const double d = value.get<double>();
        if (!isExactWholeNumber(d))
            fail(where, "expected an integer, " + found(value));
        return std::int64_t(d);
    }
    fail(where, "expected an integer, " + found(value));
}

std::uint64_t readUInt64(const Json& value, const std::string& where)
{
    if (value.is_number_unsigned())
        return value.get<std::uint64_t>();
    if (value.is_number_integer()) {
        const auto n = value.get<std::int64_t>();
        if (n < 0)
            fail(where, "expected an unsigned integer, found " + value.dump());
        return std::uint64_t(n);
    }
    if (value.is_number_float()) {
        const double d = value.get<double>();
        if (!isExactWholeNumber(d) || d < 0)
            fail(where, "expected an unsigned integer, " + found(value));
        return std::uint64_t(d);
    }
    fail(where, "expected an unsigned integer, " + found(value));
}

// Typed access to the members of one JSON object.
class Fields {
public:
    Fields(const Json& value, std::string where) : m_object(value), m_where(std::move(where))
    {
        if (!value.is_object())
            fail(m_where, "expected an object, " + found(value));
    }

    const Json& required(const char* name) const
    {
        const auto it = m_object.find(name);
        if (it == m_object.end())
            fail(path(name), "required field is missing");
        if (it->is_null())
            fail(path(name), "required field is null");
        return *it;
    }

    // Missing and null both mean "no value".
    const Json* optional(const char* name) const
    {
        const auto it = m_object.find(name);
        return it == m_object.end() || it->is_null() ? nullptr : &*it;
    }

    QString text(const char* name) const { return readText(required(name), path(name)); }
    bool boolean(const char* name) const { return readBool(required(name), path(name)); }
    std::int64_t int64(const char* name) const { return readInt64(required(name), path(name)); }
    std::uint64_t uint64(const char* name) const { return readUInt64(required(name), path(name)); }

    std::optional<QString> optionalText(const char* name) const
    {
        const Json* value = optional(name);
        if (!value)
            return std::nullopt;
        return readText(*value, path(name));
    }

    std::optional<std::uint64_t> optionalUInt64(const char* name) const
    {
        const Json* value = optional(name);
        if (!value)
            return std::nullopt;
        return readUInt64(*value, path(name));
    }

    std::string path(const char* name) const { return m_where.empty() ? name : m_where + "." + name; }

private:
    const Json& m_object;
    std::string m_where;
};

Tailscale readTailscale(const Json& value, const std::string& where)
{
    const Fields fields(value, where);
    Tailscale result;
    result.ok = fields.boolean("ok");
    result.ip = fields.optionalText("ip");
    result.host = fields.optionalText("host");
    result.owner = fields.optionalText("owner");
    result.error = fields.optionalText("error");
    return result;
}

Permissions readPermissions(const Json& value, const std::string& where)
{
    const Fields fields(value, where);
    Permissions result;
    result.screenRecording = fields.boolean("screenRecording");
    result.accessibility = fields.boolean("accessibility");
    return result;
}

Push readPush(const Json& value, const std::string& where)
{
    const Fields fields(value, where);
    Push result;
    result.mode = fields.text("mode");
    result.devices = fields.int64("devices");
    return result;
}

RinglarkStatus readStatus(const Json& value, const std::string& where)
{
    const Fields fields(value, where);
    RinglarkStatus result;
    result.version = fields.text("version");
    result.tailscale = readTailscale(fields.required("tailscale"), fields.path("tailscale"));
    result.permissions = readPermissions(fields.required("permissions"), fields.path("permissions"));
    result.push = readPush(fields.required("push"), fields.path("push"));
    result.pending = fields.int64("pending");
    result.sessionActive = fields.boolean("sessionActive");
    return result;
}

HelpRequest readHelpRequest(const Json& value, const std::string& where)
{
    const Fields fields(value, where);
    HelpRequest result;
    result.id = fields.text("id");
    result.status = fields.text("status");
    result.reason = fields.text("reason");
    result.app = fields.optionalText("app");
    result.title = fields.optionalText("title");
    result.agent = fields.optionalText("agent");
    result.createdAt = fields.uint64("createdAt");
    result.updatedAt = fields.uint64("updatedAt");
    result.ask = fields.optionalText("ask");
    return result;
}

QList<HelpRequest> readHelpRequests(const Json& value, const std::string&)
{
    if (!value.is_array())
        fail({}, "expected an array, " + found(value));
    QList<HelpRequest> result;
    result.reserve(qsizetype(value.size()));
    for (std::size_t i = 0; i < value.size(); ++i)
        result.append(readHelpRequest(value[i], "[" + std::to_string(i) + "]"));
    return result;
}

Pairing readPairing(const Json& value, const std::string& where)
{
    const Fields fields(value, where);
    return Pairing{fields.text("url")};
}

PairedDevice readPairedDevice(const Json& value, const std::string& where)
{
    const Fields fields(value, where);
    PairedDevice result;
    result.id = fields.text("id");
    result.name = fields.text("name");
    result.pairedAt = fields.uint64("pairedAt");
    result.lastSeen = fields.optionalUInt64("lastSeen");
    result.push = fields.boolean("push");
    return result;
}

// As with requests, one bad element fails the whole list.
QList<PairedDevice> readPairedDevices(const Json& value, const std::string&)
{
    if (!value.is_array())
        fail({}, "expected an array, " + found(value));
    QList<PairedDevice> result;
    result.reserve(qsizetype(value.size()));
    for (std::size_t i = 0; i < value.size(); ++i)
        result.append(readPairedDevice(value[i], "[" + std::to_string(i) + "]"));
    return result;
}

template <typename T, typename Reader>
Expected<T, DecodeError> decodeWith(const QByteArray& bytes, Reader read)
{
    try {
        Json document;
        ConvertingBuilder builder(document);
        const char* begin = bytes.constData();
        if (!Json::sax_parse(begin, begin + bytes.size(), &builder))
            return unexpected(DecodeError{QStringLiteral("invalid JSON: ") + QString::fromStdString(builder.error())});
        return read(document, std::string());
    } catch (const Failure& failure) {
        return unexpected(DecodeError{QString::fromStdString(failure.message)});
    } catch (const std::exception& error) {
        return unexpected(DecodeError{QStringLiteral("invalid JSON: ") + QString::fromUtf8(error.what())});
    }
}

} // namespace

template <>
Expected<RinglarkStatus, DecodeError> decode<RinglarkStatus>(const QByteArray& json)
{
    return decodeWith<RinglarkStatus>(json, readStatus);
}

template <>
Expected<Permissions, DecodeError> decode<Permissions>(const QByteArray& json)
{
    return decodeWith<Permissions>(json, readPermissions);
}

template <>
Expected<QList<HelpRequest>, DecodeError> decode<QList<HelpRequest>>(const QByteArray& json)
{
    return decodeWith<QList<HelpRequest>>(json, readHelpRequests);
}

template <>
Expected<Pairing, DecodeError> decode<Pairing>(const QByteArray& json)
{
    return decodeWith<Pairing>(json, readPairing);
}

template <>
Expected<QList<PairedDevice>, DecodeError> decode<QList<PairedDevice>>(const QByteArray& json)
{
    return decodeWith<QList<PairedDevice>>(json, readPairedDevices);
}

} // namespace ringlark
