#pragma once

#include "support/Expected.h"

#include <QByteArray>
#include <QString>

#include <optional>
#include <string_view>

namespace ringlark::CodexConfig {

// Reading and editing of Codex's config.toml, limited to our own `ringlark`
// MCP server. Reading goes through a TOML parser, so every way of writing the
// server (tables, dotted keys, inline tables, quoted names) counts. Editing
// touches only the statements that define the server and keeps every other
// byte of the user's file.

// The `ringlark` server as Codex would see it.
struct Server {
    // "" when the entry has no command that is text.
    QString command;
    // Whether Codex may run the server's tools without asking each time.
    bool approved = false;
    bool operator==(const Server&) const = default;
};

// The `ringlark` server in a config.toml's bytes; none when there is none,
// or when the file is not TOML that Codex could load.
std::optional<Server> server(std::string_view file);

// The whole new file, in which the `ringlark` server runs `command` with our
// arguments and approval. Gives the input unchanged when the server already
// reads so. Fails, with a short reason, for a file that is not TOML or whose
// form could not be edited without changing anything else.
Expected<QByteArray, QString> upsert(const QByteArray& in, const QString& command);

// The server's tables for `command`, lines joined by `eol`, without a final one.
QByteArray block(const QString& command, std::string_view eol = "\n");

} // namespace ringlark::CodexConfig
