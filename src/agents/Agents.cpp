#include "agents/Agents.h"

namespace ringlark {

std::optional<AgentKind> AgentKind::fromRawValue(const QString& raw)
{
    for (AgentKind kind : allCases()) {
        if (kind.rawValue() == raw)
            return kind;
    }
    return std::nullopt;
}

QString AgentKind::rawValue() const
{
    switch (m_value) {
    case claudeCode:
        return QStringLiteral("Claude Code");
    case codex:
        return QStringLiteral("Codex");
    case t3:
        return QStringLiteral("T3 Code");
    }
    return {};
}

AgentStatus AgentStatus::outdated(QString command)
{
    AgentStatus status(Kind::outdated);
    status.m_command = std::move(command);
    return status;
}

AgentStatus AgentStatus::unapproved(QString command)
{
    AgentStatus status = outdated(std::move(command));
    status.m_needsApproval = true;
    return status;
}

AgentStatus AgentStatus::inherited(QStringList from)
{
    AgentStatus status(Kind::inherited);
    status.m_from = std::move(from);
    return status;
}

QString AgentStatus::describe() const
{
    switch (m_kind) {
    case Kind::notInstalled:
        return QStringLiteral("notInstalled");
    case Kind::notConnected:
        return QStringLiteral("notConnected");
    case Kind::connected:
        return QStringLiteral("connected");
    case Kind::outdated:
        return m_needsApproval ? QStringLiteral("outdated(%1, unapproved)").arg(m_command)
                               : QStringLiteral("outdated(%1)").arg(m_command);
    case Kind::inherited:
        return QStringLiteral("inherited(%1)").arg(m_from.join(QStringLiteral(", ")));
    }
    return {};
}

QString AgentError::message() const
{
    if (m_kind == Kind::cliNotFound)
        return m_payload + QStringLiteral(" was not found on this computer.");
    return m_payload;
}

} // namespace ringlark
