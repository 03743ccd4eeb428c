#include "agents/CodexConfig.h"

#include <toml++/toml.h>

#include <cstring>
#include <sstream>
#include <string>
#include <vector>

namespace ringlark::CodexConfig {

namespace {

constexpr std::string_view byteOrderMark = "\xEF\xBB\xBF";

using Key = std::vector<std::string>;

const Key serverKey{"mcp_servers", "ringlark"};

bool startsWith(const Key& key, const Key& prefix)
{
    return key.size() >= prefix.size() && std::equal(prefix.begin(), prefix.end(), key.begin());
}

Key joined(Key head, const Key& tail)
{
    head.insert(head.end(), tail.begin(), tail.end());
    return head;
}

void appendUtf8(std::string& out, char32_t c)
{
    if (c < 0x80) {
        out += char(c);
    } else if (c < 0x800) {
        out += char(0xC0 | (c >> 6));
        out += char(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += char(0xE0 | (c >> 12));
        out += char(0x80 | ((c >> 6) & 0x3F));
        out += char(0x80 | (c & 0x3F));
    } else {
        out += char(0xF0 | (c >> 18));
        out += char(0x80 | ((c >> 12) & 0x3F));
        out += char(0x80 | ((c >> 6) & 0x3F));
        out += char(0x80 | (c & 0x3F));
    }
}

// A key/value pair inside an inline table: from its key's first byte to the
// byte after its value.
struct Member {
    Key key;
    size_t begin = 0;
    size_t end = 0;
};

// One statement of the document with the whole lines it spans, line break
// included. Statements tile the text: each begins where the previous ended.
struct Statement {
    enum class Kind { blank, table, keyValue };
    Kind kind = Kind::blank;
    Key key;
    size_t begin = 0;
    size_t end = 0;
    // For a key whose value is an inline table: the value and its members.
    bool inlineTable = false;
    size_t valueBegin = 0;
    size_t valueEnd = 0;
    std::vector<Member> members;
};

// Follows the TOML grammar just far enough to find statements, keys and where
// values end, so that a line inside a multi-line string or array is never
// taken for a header. Lenient where TOML versions differ: the parser that
// checks every edit decides validity.
class Scanner {
public:
    Scanner(std::string_view text, size_t start) : s(text), i(start) {}

    std::optional<std::vector<Statement>> statements()
    {
        std::vector<Statement> result;
        while (i < s.size()) {
            Statement statement;
            statement.begin = i;
            blanks();
            if (i == s.size() || at('#') || at('\n') || at('\r')) {
                if (!lineEnd())
                    return std::nullopt;
            } else if (at('[')) {
                const bool array = startsWith("[[");
                i += array ? 2 : 1;
                blanks();
                auto key = this->key();
                if (!key || !startsWith(array ? "]]" : "]"))
                    return std::nullopt;
                i += array ? 2 : 1;
                if (!lineEnd())
                    return std::nullopt;
                statement.kind = Statement::Kind::table;
                statement.key = std::move(*key);
            } else {
                auto key = this->key();
                if (!key || !at('='))
                    return std::nullopt;
                ++i;
                blanks();
                statement.valueBegin = i;
                statement.inlineTable = at('{');
                if (!value(&statement.members))
                    return std::nullopt;
                statement.valueEnd = i;
                if (!lineEnd())
                    return std::nullopt;
                statement.kind = Statement::Kind::keyValue;
                statement.key = std::move(*key);
            }
            statement.end = i;
            result.push_back(std::move(statement));
        }
        return result;
    }

private:
    bool at(char c) const { return i < s.size() && s[i] == c; }
    bool startsWith(std::string_view prefix) const { return s.substr(i).starts_with(prefix); }

    void blanks()
    {
        while (at(' ') || at('\t'))
            ++i;
    }

    void comment()
    {
        if (at('#')) {
            while (i < s.size() && s[i] != '\n')
                ++i;
            if (i > 0 && s[i - 1] == '\r')
                --i;
        }
    }

    bool newline()
    {
        if (at('\n')) {
            ++i;
            return true;
        }
        if (startsWith("\r\n")) {
            i += 2;
            return true;
        }
        return false;
    }

    // Blanks, a comment, then the line break or the end of the text.
    bool lineEnd()
    {
        blanks();
        comment();
        return i == s.size() || newline();
    }

    // What may stand between the elements of an array.
    void gaps()
    {
        do {
            blanks();
            comment();
        } while (newline());
    }

    std::optional<Key> key()
    {
        Key key;
        for (;;) {
            auto part = simpleKey();
            if (!part)
                return std::nullopt;
            key.push_back(std::move(*part));
            blanks();
            if (!at('.'))
                return key;
            ++i;
            blanks();
        }
    }

    std::optional<std::string> simpleKey()
    {
        if (at('"'))
            return basicString();
        if (at('\''))
            return literalString();
        const size_t begin = i;
        while (i < s.size() && (std::isalnum(static_cast<unsigned char>(s[i])) || s[i] == '_' || s[i] == '-'))
            ++i;
        if (i == begin)
            return std::nullopt;
        return std::string(s.substr(begin, i - begin));
    }

    std::optional<std::string> basicString()
    {
        std::string out;
        for (++i; i < s.size(); ++i) {
            const char c = s[i];
            if (c == '"') {
                ++i;
                return out;
            }
            if (c == '\n')
                return std::nullopt;
            if (c != '\\') {
                out += c;
                continue;
            }
            if (++i == s.size())
                return std::nullopt;
            switch (s[i]) {
            case 'b': out += '\b'; break;
            case 't': out += '\t'; break;
            case 'n': out += '\n'; break;
            case 'f': out += '\f'; break;
            case 'r': out += '\r'; break;
            case 'e': out += '\x1B'; break;
            case 'u':
            case 'U': {
                const size_t digits = s[i] == 'u' ? 4 : 8;
                if (i + digits >= s.size())
                    return std::nullopt;
                char32_t code = 0;
                for (size_t d = 1; d <= digits; ++d) {
                    const char h = s[i + d];
                    if (!std::isxdigit(static_cast<unsigned char>(h)))
                        return std::nullopt;
                    code = code * 16 + char32_t(std::isdigit(static_cast<unsigned char>(h)) ? h - '0' : (h | 0x20) - 'a' + 10);
                }
                appendUtf8(out, code);
                i += digits;
                break;
            }
            default: out += s[i]; break;
            }
        }
        return std::nullopt;
    }

    std::optional<std::string> literalString()
    {
        const size_t begin = ++i;
        while (i < s.size() && s[i] != '\'' && s[i] != '\n')
            ++i;
        if (!at('\''))
            return std::nullopt;
        return std::string(s.substr(begin, i++ - begin));
    }

    // A multi-line string opened by three `quote`s; up to two more quotes
    // after the closing three still belong to it.
    bool multiLineString(char quote)
    {
        const std::string delimiter(3, quote);
        for (i += 3; i < s.size();) {
            if (startsWith(delimiter)) {
                i += 3;
                for (int extra = 0; extra < 2 && at(quote); ++extra)
                    ++i;
                return true;
            }
            i += (quote == '"' && s[i] == '\\') ? 2 : 1;
        }
        return false;
    }

    bool value(std::vector<Member>* members)
    {
        if (startsWith("\"\"\""))
            return multiLineString('"');
        if (startsWith("'''"))
            return multiLineString('\'');
        if (at('"'))
            return basicString().has_value();
        if (at('\''))
            return literalString().has_value();
        if (at('['))
            return array();
        if (at('{'))
            return inlineTable(members);
        return scalar();
    }

    bool array()
    {
        for (++i;;) {
            gaps();
            if (at(']'))
                break;
            if (!value(nullptr))
                return false;
            gaps();
            if (!at(','))
                break;
            ++i;
        }
        if (!at(']'))
            return false;
        ++i;
        return true;
    }

    bool inlineTable(std::vector<Member>* members)
    {
        for (++i;;) {
            gaps();
            if (at('}'))
                break;
            const size_t begin = i;
            auto key = this->key();
            if (!key || !at('='))
                return false;
            ++i;
            blanks();
            if (!value(nullptr))
                return false;
            if (members)
                members->push_back({std::move(*key), begin, i});
            gaps();
            if (!at(','))
                break;
            ++i;
        }
        if (!at('}'))
            return false;
        ++i;
        return true;
    }

    // Numbers, booleans, dates and times. A date may be followed by a time
    // after one space.
    bool scalar()
    {
        const size_t begin = i;
        const auto isDelimiter = [](char c) { return std::strchr(" \t,]}#\r\n", c) != nullptr; };
        while (i < s.size() && !isDelimiter(s[i]))
            ++i;
        const auto digit = [&](size_t at) { return at < s.size() && std::isdigit(static_cast<unsigned char>(s[at])); };
        if (i - begin == 10 && s[begin + 4] == '-' && s[begin + 7] == '-' && at(' ') && digit(i + 1) && digit(i + 2)
            && i + 3 < s.size() && s[i + 3] == ':') {
            ++i;
            while (i < s.size() && !isDelimiter(s[i]))
                ++i;
        }
        return i > begin;
    }

    std::string_view s;
    size_t i;
};

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

// Our server as one inline-table member, for a `mcp_servers` written inline.
std::string inlineServer(const QString& command)
{
    return "ringlark = { command = " + quoted(command)
        + ", args = [\"mcp\"], tool_timeout_sec = 660, default_tools_approval_mode = \"approve\","
          " env = { RINGLARK_AGENT = \"Codex\" } }";
}

std::string_view withoutMark(std::string_view file)
{
    return file.starts_with(byteOrderMark) ? file.substr(byteOrderMark.size()) : file;
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
std::string editedInline(std::string_view text, const Statement& statement, const QString& command)
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

} // namespace

std::optional<Server> server(std::string_view file)
{
    const auto table = parsed(withoutMark(file));
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
    const std::string lines[] = {
        "[mcp_servers.ringlark]",
        "command = " + quoted(command),
        "args = [\"mcp\"]",
        "tool_timeout_sec = 660",
        "default_tools_approval_mode = \"approve\"",
        "",
        "[mcp_servers.ringlark.env]",
        "RINGLARK_AGENT = \"Codex\"",
    };
    std::string out;
    for (const auto& line : lines)
        out += (out.empty() ? "" : std::string(eol)) + line;
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

    const auto statements = Scanner(text, start).statements();
    if (!statements)
        return unexpected(QStringLiteral("could not follow the file's layout"));

    // Keep every statement but those that define our server; a `mcp_servers`
    // written as one inline table takes our server inside it, since a table
    // header after it would define `mcp_servers` a second time.
    std::string out(text.substr(0, start));
    Key table;
    bool inServer = false;
    bool inlineServers = false;
    for (const Statement& statement : *statements) {
        const std::string_view original = text.substr(statement.begin, statement.end - statement.begin);
        if (statement.kind == Statement::Kind::table) {
            table = statement.key;
            inServer = startsWith(table, serverKey);
        }
        if (inServer)
            continue;
        if (statement.kind != Statement::Kind::keyValue) {
            out += original;
            continue;
        }
        const Key key = joined(table, statement.key);
        if (startsWith(key, serverKey))
            continue;
        if (key == Key{"mcp_servers"} && statement.inlineTable) {
            out += editedInline(text, statement, command);
            inlineServers = true;
        } else {
            out += original;
        }
    }

    if (!inlineServers) {
        const size_t firstBreak = text.find('\n');
        const std::string_view eol = firstBreak != std::string_view::npos && firstBreak > 0 && text[firstBreak - 1] == '\r'
            ? "\r\n" : "\n";
        while (out.size() > start && (out.back() == '\n' || out.back() == '\r'))
            out.pop_back();
        if (out.size() > start)
            out += std::string(eol) + std::string(eol);
        out += block(command, eol).toStdString() + std::string(eol);
    }

    // The last word on the edit: it must load, hold our server as we write
    // it, and leave every other setting as it was.
    const auto after = parsed(std::string_view(out).substr(start));
    const auto* written = after ? (*after)["mcp_servers"]["ringlark"].as_table() : nullptr;
    if (!written || *written != *wanted || withoutServer(*after) != withoutServer(*before))
        return unexpected(QStringLiteral("could not add the server without changing other settings"));
    return QByteArray::fromStdString(out);
}

} // namespace ringlark::CodexConfig
