#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ringlark {

// Where the statements of a TOML document begin and end, so that an edit can
// drop or rewrite some of them and keep every other byte. It follows the
// grammar just far enough to find statements, keys and where values end (a
// line inside a multi-line string or array is never taken for a header), and
// is lenient where TOML versions differ: a real parser decides validity.

// A dotted key, one part per element, quotes removed and escapes decoded.
using TomlKey = std::vector<std::string>;

// A key/value pair inside an inline table: from its key's first byte to the
// byte after its value.
struct TomlMember {
    TomlKey key;
    std::size_t begin = 0;
    std::size_t end = 0;
};

// One statement with the whole lines it spans, line break included.
struct TomlStatement {
    enum class Kind { blank, table, keyValue };
    Kind kind = Kind::blank;
    TomlKey key; // the table's name, or the key of a key/value pair
    std::size_t begin = 0;
    std::size_t end = 0;
    // For a key whose value is an inline table: the value and its members.
    bool inlineTable = false;
    std::size_t valueBegin = 0;
    std::size_t valueEnd = 0;
    std::vector<TomlMember> members;
};

// The statements of `text` from byte `start` on; they tile the text, each
// beginning where the previous one ended. Nothing when the layout cannot be
// followed.
std::optional<std::vector<TomlStatement>> scanToml(std::string_view text, std::size_t start = 0);

} // namespace ringlark
