#include "agents/TomlScanner.h"

#include <cctype>
#include <cstring>

namespace ringlark {

namespace {

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

class Scanner {
public:
    Scanner(std::string_view text, std::size_t start) : s(text), i(start) {}

    std::optional<std::vector<TomlStatement>> statements()
    {
        std::vector<TomlStatement> result;
        while (i < s.size()) {
            TomlStatement statement;
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
                statement.kind = TomlStatement::Kind::table;
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
                statement.kind = TomlStatement::Kind::keyValue;
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

    std::optional<TomlKey> key()
    {
        TomlKey key;
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
        const std::size_t begin = i;
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
                const std::size_t digits = s[i] == 'u' ? 4 : 8;
                if (i + digits >= s.size())
                    return std::nullopt;
                char32_t code = 0;
                for (std::size_t d = 1; d <= digits; ++d) {
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
        const std::size_t begin = ++i;
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

    bool value(std::vector<TomlMember>* members)
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

    bool inlineTable(std::vector<TomlMember>* members)
    {
        for (++i;;) {
            gaps();
            if (at('}'))
                break;
            const std::size_t begin = i;
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
        const std::size_t begin = i;
        const auto isDelimiter = [](char c) { return std::strchr(" \t,]}#\r\n", c) != nullptr; };
        while (i < s.size() && !isDelimiter(s[i]))
            ++i;
        const auto digit = [&](std::size_t at) { return at < s.size() && std::isdigit(static_cast<unsigned char>(s[at])); };
        if (i - begin == 10 && s[begin + 4] == '-' && s[begin + 7] == '-' && at(' ') && digit(i + 1) && digit(i + 2)
            && i + 3 < s.size() && s[i + 3] == ':') {
            ++i;
            while (i < s.size() && !isDelimiter(s[i]))
                ++i;
        }
        return i > begin;
    }

    std::string_view s;
    std::size_t i;
};

} // namespace

std::optional<std::vector<TomlStatement>> scanToml(std::string_view text, std::size_t start)
{
    return Scanner(text, start).statements();
}

} // namespace ringlark
