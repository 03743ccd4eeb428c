#pragma once

#include "agents/Agents.h"
#include "agents/Shell.h"
#include "platform/Paths.h"
#include "support/Async.h"
#include "support/Expected.h"

#include <QCoroTask>
#include <QString>

#include <optional>

namespace ringlark {

// Tells for each agent whether it is on this computer and whether it runs our
// helper as its `ringlark` MCP server, and connects it. A plain value: copies
// are independent and keep no state between calls.
class AgentConnector {
public:
    struct Services {
        QString applicationsFolder = platform::applicationsFolder();
        Shell::Context shell;
        WallClock wallClock = systemWallClock(); // stamps Codex backups
        // Where Claude Code and Codex keep their files; empty means the
        // defaults under the home directory.
        QString claudeConfigDir{};
        QString codexHome{};
    };

    // `home` is the user's home directory; `mcpExecutable` the helper path the
    // agents are to run.
    AgentConnector(QString home, QString mcpExecutable, Services services);
    AgentConnector(QString home, QString mcpExecutable);

    const QString& home() const { return m_home; }
    const QString& mcpExecutable() const { return m_mcpExecutable; }
    const Services& services() const { return m_services; }

    // A copy whose unset configuration folders come from the user's login
    // environment (CLAUDE_CONFIG_DIR, CODEX_HOME), as the agents themselves
    // see them. May run the login shell: call off the GUI thread.
    AgentConnector resolved() const;

    // Reads the agents' files afresh; never writes anything.
    AgentStatus status(AgentKind of) const;

    std::optional<QString> claudeExecutable() const;

    // Whether the applications folder holds a "T3 Code….app" entry.
    bool t3Installed() const { return t3Installed(m_services.applicationsFolder); }
    static bool t3Installed(const QString& applicationsFolder);

    // Allows the helper's tool in Claude Code's settings, then registers the
    // helper with `claude mcp add`, removing an entry at an old path first;
    // an entry that lacked only the approval is left as it is. Await on the
    // GUI thread; lookups, file edits and runs happen on background threads,
    // each run bounded by the shell context's `runBound`.
    QCoro::Task<Expected<Unit, AgentError>> connectClaude() const;

    // Writes the server into Codex's config.toml (in `codexHome`, by default
    // ~/.codex), keeping a time-stamped backup of a previous non-empty file and
    // every other setting. A file it cannot edit safely is left as it is, with
    // an error naming it. Blocks on file I/O; safe on any thread.
    Expected<Unit, AgentError> connectCodex() const;

    // Lets Claude Code call our tool without asking: adds the rule to
    // `permissions.allow` in its settings.json (in `claudeConfigDir`, by
    // default ~/.claude), with a backup, every other setting kept. Blocks on
    // file I/O; safe on any thread.
    Expected<Unit, AgentError> allowClaudeRequests() const;

    // The agents' files, in the folders the services name.
    QString claudeJsonPath() const;
    QString claudeSettingsPath() const;
    QString codexDirectory() const;

private:
    AgentStatus claudeStatus() const;
    AgentStatus codexStatus() const;
    AgentStatus t3Status() const;

    static QCoro::Task<Expected<Unit, AgentError>> runConnectClaude(AgentConnector self);

    QString m_home;
    QString m_mcpExecutable;
    Services m_services;
};

} // namespace ringlark
