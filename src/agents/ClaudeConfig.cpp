#include "agents/ClaudeConfig.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <vector>

namespace ringlark::ClaudeConfig {

namespace {

using Json = nlohmann::ordered_json;

// Follows the parser's events and keeps nothing but `mcpServers.ringlark.command`
// at the top level. A key given twice counts the way a parsed document would
// hold it: the last one wins.
class ServerScan final : public nlohmann::json_sax<nlohmann::json> {
public:
    std::optional<QString> result() const
    {
        return m_topIsObject && m_hasEntry ? std::optional(m_command) : std::nullopt;
    }

    bool null() override { return scalar(nullptr); }
    bool boolean(bool) override { return scalar(nullptr); }
    bool number_integer(number_integer_t) override { return scalar(nullptr); }
    bool number_unsigned(number_unsigned_t) override { return scalar(nullptr); }
    bool number_float(number_float_t, const string_t&) override { return scalar(nullptr); }
    bool string(string_t& value) override { return scalar(&value); }
    bool binary(binary_t&) override { return scalar(nullptr); }

    bool start_object(std::size_t) override
    {
        m_stack.push_back({roleOfValue(true), {}});
        return true;
    }
    bool start_array(std::size_t) override
    {
        roleOfValue(false);
        m_stack.push_back({Role::other, {}});
        return true;
    }
    bool end_object() override { return pop(); }
    bool end_array() override { return pop(); }

    bool key(string_t& key) override
    {
        m_stack.back().key = key;
        return true;
    }

    bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) override { return false; }

private:
    enum class Role { other, top, servers, entry };
    struct Frame {
        Role role;
        std::string key;
    };

    // Where a value that starts now stands, resetting what a repeated key replaces.
    Role roleOfValue(bool isObject)
    {
        if (m_stack.empty()) {
            m_topIsObject = isObject;
            return isObject ? Role::top : Role::other;
        }
        const Frame& parent = m_stack.back();
        if (parent.role == Role::top && parent.key == "mcpServers") {
            m_hasEntry = false;
            return isObject ? Role::servers : Role::other;
        }
        if (parent.role == Role::servers && parent.key == "ringlark") {
            m_hasEntry = isObject;
            m_command.clear();
            return isObject ? Role::entry : Role::other;
        }
        if (parent.role == Role::entry && parent.key == "command")
            m_command.clear();
        return Role::other;
    }

    bool scalar(const std::string* text)
    {
        roleOfValue(false);
        if (text && !m_stack.empty() && m_stack.back().role == Role::entry && m_stack.back().key == "command")
            m_command = QString::fromStdString(*text);
        return true;
    }

    bool pop()
    {
        m_stack.pop_back();
        return true;
    }

    std::vector<Frame> m_stack;
    bool m_topIsObject = false;
    bool m_hasEntry = false;
    QString m_command;
};

// Rules that cover our tool: the tool itself or the whole server.
bool allows(const Json& settings)
{
    const auto permissions = settings.find("permissions");
    if (permissions == settings.end() || !permissions->is_object())
        return false;
    const auto allow = permissions->find("allow");
    if (allow == permissions->end() || !allow->is_array())
        return false;
    return std::any_of(allow->begin(), allow->end(), [](const Json& rule) {
        if (!rule.is_string())
            return false;
        const auto& text = rule.get_ref<const std::string&>();
        return text == requestHumanRule || text == "mcp__ringlark" || text == "mcp__ringlark__*";
    });
}

bool isBlank(std::string_view text)
{
    return text.find_first_not_of(" \t\r\n") == std::string_view::npos;
}

} // namespace

std::optional<QString> serverCommand(std::string_view claudeJson)
{
    ServerScan scan;
    if (!nlohmann::json::sax_parse(claudeJson.begin(), claudeJson.end(), &scan))
        return std::nullopt;
    return scan.result();
}

bool allowsRequestHuman(std::string_view settings)
{
    const Json json = Json::parse(settings.begin(), settings.end(), nullptr, false);
    return !json.is_discarded() && json.is_object() && allows(json);
}

Expected<std::optional<QByteArray>, QString> allowRequestHuman(std::string_view settings)
{
    Json json = isBlank(settings) ? Json::object() : Json::parse(settings.begin(), settings.end(), nullptr, false);
    if (json.is_discarded())
        return unexpected(QStringLiteral("not valid JSON"));
    if (!json.is_object())
        return unexpected(QStringLiteral("not a JSON object"));
    if (allows(json))
        return std::optional<QByteArray>();
    if (const auto permissions = json.find("permissions"); permissions != json.end()) {
        if (!permissions->is_object())
            return unexpected(QStringLiteral("\"permissions\" is not an object"));
        if (const auto allow = permissions->find("allow"); allow != permissions->end() && !allow->is_array())
            return unexpected(QStringLiteral("\"permissions.allow\" is not a list"));
    }
    json["permissions"]["allow"].push_back(std::string(requestHumanRule));
    // Claude Code writes the file with two-space indentation and a final line feed.
    return std::optional(QByteArray::fromStdString(json.dump(2) + "\n"));
}

} // namespace ringlark::ClaudeConfig
