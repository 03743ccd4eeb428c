#include "agents/AgentTexts.h"

#include <QStringList>

namespace ringlark {

QString agentStatusText(AgentKind kind, const AgentStatus& status, bool t3Installed)
{
    if (kind == AgentKind::t3) {
        if (status.kind() == AgentStatus::Kind::inherited)
            return QStringLiteral("Connected through ") + status.from().join(QStringLiteral(" and ")) + u'.';
        return t3Installed ? QStringLiteral("Uses the Claude Code and Codex connections above.")
                           : QStringLiteral("Not installed. Would use the Claude Code and Codex connections above.");
    }
    switch (status.kind()) {
    case AgentStatus::Kind::outdated:
        // The path is current; only the permission to call without asking is missing.
        if (status.needsApproval())
            return QStringLiteral("Asks before each request for help. Update allows it.");
        return QStringLiteral("Points at an old location: ") + status.command();
    case AgentStatus::Kind::notInstalled:
        return QStringLiteral("Not installed on this computer.");
    case AgentStatus::Kind::notConnected:
        return kind == AgentKind::claudeCode
            ? QStringLiteral("Adds the ringlark MCP server to your user scope (claude mcp add).")
            : QStringLiteral("Adds [mcp_servers.ringlark] to ~/.codex/config.toml (a backup is kept).");
    case AgentStatus::Kind::connected:
    case AgentStatus::Kind::inherited:
        break;
    }
    return QStringLiteral("Connected.");
}

} // namespace ringlark
