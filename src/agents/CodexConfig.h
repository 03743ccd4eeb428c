#pragma once

#include <QString>

#include <optional>

namespace ringlark::CodexConfig {

// Line-based reading and editing of Codex's config.toml, just enough to find
// and replace our own `[mcp_servers.ringlark]` server. Not a TOML parser:
// every line outside that server's tables is left exactly as it was.

// The command of the `ringlark` server, if its table holds a string `command`.
std::optional<QString> command(const QString& in);

// The whole new text, with any old `ringlark` tables removed and a fresh
// block for `command` at the end. Idempotent; accepts any text.
QString upsert(const QString& in, const QString& command);

// The seven-line server block for `command`, without a final line feed.
QString block(const QString& command);

// The string a TOML-ish value denotes, read up to its closing quote;
// none for anything that does not start with a quote or never closes.
std::optional<QString> parseTomlString(const QString& value);

} // namespace ringlark::CodexConfig
