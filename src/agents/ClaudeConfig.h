#pragma once

#include "support/Expected.h"

#include <QByteArray>
#include <QString>

#include <optional>
#include <string_view>

namespace ringlark::ClaudeConfig {

// Reading Claude Code's .claude.json and editing its settings.json, limited
// to our own `ringlark` server and its one tool.

// The permission rule that lets Claude Code call our tool without asking.
inline constexpr std::string_view requestHumanRule = "mcp__ringlark__request_human";

// The command of the user-scope `ringlark` server in .claude.json: "" when the
// entry has no command that is text; none when there is no such entry or the
// file is not a JSON object. Streams through the file (which can hold many
// megabytes of project history) and keeps only that one entry.
std::optional<QString> serverCommand(std::string_view claudeJson);

// Whether settings.json lets Claude Code call our tool without asking.
bool allowsRequestHuman(std::string_view settings);

// settings.json with our rule added to `permissions.allow`, every other
// setting kept in its order; none when the rule is already there. An empty
// file counts as no settings. Fails, with a short reason, for a file that is
// not a JSON object or whose `permissions` or `allow` has another type.
Expected<std::optional<QByteArray>, QString> allowRequestHuman(std::string_view settings);

} // namespace ringlark::ClaudeConfig
