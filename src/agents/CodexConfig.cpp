#include "agents/CodexConfig.h"

#include "agents/TomlScanner.h"

#include <toml++/toml.h>

#include <cstdio>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace ringlark::CodexConfig {

namespace {

constexpr std::string_view byteOrderMark = "\xEF\xBB\xBF";

const TomlKey serverKey{"mcp_servers", "ringlark"};

bool startsWith(const TomlKey& key, const TomlKey& prefix)
{
    return key.size() >= prefix.size() && std::equal(prefix.begin(), prefix.end(), key.begin());
}

TomlKey joined(TomlKey head, const TomlKey& tail)
{
    head.insert(head.end(), tail.begin(), tail.end());
    return head;
}

std::string quoted(const QString& text)
{
    std::string out = "\"";
    for (const char c : text.toStdString()) {
        if (c == '\\' || c == '"') {
            out += '\\';
            out += c;
        } else if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
            // Control characters are not allowed raw in a TOML string.
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04X", static_cast<unsigned>(static_cast<unsigned char>(c)));
            out += escaped;
        } else {
            out += c;
        }
    }
    return out + '"';
}

using Settings = std::vector<std::pair<std::string, std::string>>; // key, TOML value

// Our server's settings, in the order they are written, whichever form the
// file takes: Codex starts the helper with "mcp", allows a call 660 seconds
// and runs the tool without asking.
Settings serverSettings(const QString& command)
{
    return {
        {"command", quoted(command)},
        {"args", R"(["mcp"])"},
        {"tool_timeout_sec", "660"},
        {"default_tools_approval_mode", R"("approve")"},
    };
}

// The environment the server is started with, its `env` sub-table.
const Settings serverEnvironment{{"RINGLARK_AGENT", R"("Codex")"}};

std::string inlineTable(const Settings& settings)
{
    std::string out;
    for (const auto& [key, value] : settings)
        out += (out.empty() ? "{ " : ", ") + key + " = " + value;
    return out + " }";
}

// Our server as one inline-table member, for a `mcp_servers` written inline.
std::string inlineServer(const QString& command)
{
    Settings settings = serverSettings(command);
    settings.emplace_back("env", inlineTable(serverEnvironment));
    return "ringlark = " + inlineTable(settings);
}

std::optional<toml::table> parsed(std::string_view text, QString* problem = nullptr)
{
    try {
        return toml::parse(text);
    } catch (const toml::parse_error& error) {
        if (problem)
            *problem = QStringLiteral("not valid TOML (line %1: %2)")
                           .arg(error.source().begin.line)
                           .arg(QString::fromUtf8(error.description().data(), qsizetype(error.description().size())));
        return std::nullopt;
    }
}

// Everything but our server, in a canonical text: two files that give the
// same text hold the same settings.
std::string withoutServer(toml::table table)
{
    if (auto* servers = table["mcp_servers"].as_table()) {
        servers->erase("ringlark");
        if (servers->empty())
            table.erase("mcp_servers");
    }
    std::ostringstream out;
    out << table;
    return out.str();
}

// The statement's text with our member removed from its inline table and the
// fresh one added last.
std::string editedInline(std::string_view text, const TomlStatement& statement, const QString& command)
{
    const auto& members = statement.members;
    std::string value;
    if (members.empty()) {
        value = "{ " + inlineServer(command) + " }";
    } else {
        value = text.substr(statement.valueBegin, members.front().begin - statement.valueBegin);
        bool first = true;
        for (size_t k = 0; k < members.size(); ++k) {
            if (startsWith(members[k].key, {"ringlark"}))
                continue;
            if (!first)
                value += text.substr(members[k - 1].end, members[k].begin - members[k - 1].end);
            value += text.substr(members[k].begin, members[k].end - members[k].begin);
            first = false;
        }
        value += (first ? "" : ", ") + inlineServer(command);
        value += text.substr(members.back().end, statement.valueEnd - members.back().end);
    }
    return std::string(text.substr(statement.begin, statement.valueBegin - statement.begin)) + value
        + std::string(text.substr(statement.valueEnd, statement.end - statement.valueEnd));
}

// The file from `start` on, without the statements that define our server.
// A `mcp_servers` written as one inline table takes our server inside it,
// since a table header after it would define `mcp_servers` a second time;
// `serverAdded` tells whether that happened.
std::string rewritten(std::string_view text, const std::vector<TomlStatement>& statements, const QString& command,
                      bool& serverAdded)
{
    std::string out;
    TomlKey table;
    bool inServer = false;
    for (const TomlStatement& statement : statements) {
        const std::string_view original = text.substr(statement.begin, statement.end - statement.begin);
        if (statement.kind == TomlStatement::Kind::table) {
            table = statement.key;
            inServer = startsWith(table, serverKey);
        }
        if (inServer)
            continue;
        const TomlKey key = statement.kind == TomlStatement::Kind::keyValue ? joined(table, statement.key) : TomlKey{};
        if (startsWith(key, serverKey))
            continue;
        if (key == TomlKey{"mcp_servers"} && statement.inlineTable) {
            out += editedInline(text, statement, command);
            serverAdded = true;
        } else {
            out += original;
        }
    }
    return out;
}

// `out` (which holds `start` bytes of preamble) with our tables appended after
// one empty line, in the line ending the file already uses.
void appendBlock(std::string& out, std::string_view original, size_t start, const QString& command)
{
    const size_t firstBreak = original.find('\n');
    const std::string eol = firstBreak != std::string_view::npos && firstBreak > 0 && original[firstBreak - 1] == '\r'
        ? "\r\n" : "\n";
    while (out.size() > start && (out.back() == '\n' || out.back() == '\r'))
        out.pop_back();
    if (out.size() > start)
        out += eol + eol;
    out += block(command, eol).toStdString() + eol;
}

} // namespace

std::optional<Server> server(std::string_view file)
{
    const auto table = parsed(file.starts_with(byteOrderMark) ? file.substr(byteOrderMark.size()) : file);
    if (!table)
        return std::nullopt;
    const auto entry = (*table)["mcp_servers"]["ringlark"];
    if (!entry)
        return std::nullopt;
    Server found;
    if (const auto* command = entry["command"].as_string())
        found.command = QString::fromStdString(command->get());
    if (const auto* mode = entry["default_tools_approval_mode"].as_string())
        found.approved = mode->get() == "approve";
    return found;
}

QByteArray block(const QString& command, std::string_view eol)
{
    std::string out = "[mcp_servers.ringlark]";
    for (const auto& [key, value] : serverSettings(command))
        out += std::string(eol) + key + " = " + value;
    out += std::string(eol) + std::string(eol) + "[mcp_servers.ringlark.env]";
    for (const auto& [key, value] : serverEnvironment)
        out += std::string(eol) + key + " = " + value;
    return QByteArray::fromStdString(out);
}

Expected<QByteArray, QString> upsert(const QByteArray& in, const QString& command)
{
    const std::string_view text(in.constData(), size_t(in.size()));
    const size_t start = text.starts_with(byteOrderMark) ? byteOrderMark.size() : 0;
    QString problem;
    const auto before = parsed(text.substr(start), &problem);
    if (!before)
        return unexpected(problem);
    const auto ours = parsed(block(command).toStdString());
    const toml::table* wanted = ours ? (*ours)["mcp_servers"]["ringlark"].as_table() : nullptr;
    if (!wanted)
        return unexpected(QStringLiteral("cannot write the command %1").arg(command));
    if (const auto* current = (*before)["mcp_servers"]["ringlark"].as_table(); current && *current == *wanted)
        return in;
    if (const auto* servers = before->get("mcp_servers"); servers && !servers->is_table())
        return unexpected(QStringLiteral("mcp_servers is not a table"));

    const auto statements = scanToml(text, start);
    if (!statements)
        return unexpected(QStringLiteral("could not follow the file's layout"));
    bool serverAdded = false;
    std::string out = std::string(text.substr(0, start)) + rewritten(text, *statements, command, serverAdded);
    if (!serverAdded)
        appendBlock(out, text, start, command);

    // The last word on the edit: it must load, hold our server as we write
    // it, and leave every other setting as it was.
    const auto after = parsed(std::string_view(out).substr(start));
    const auto* written = after ? (*after)["mcp_servers"]["ringlark"].as_table() : nullptr;
    if (!written || *written != *wanted || withoutServer(*after) != withoutServer(*before))
        return unexpected(QStringLiteral("could not add the server without changing other settings"));
    return QByteArray::fromStdString(out);
}

} // namespace ringlark::CodexConfig
