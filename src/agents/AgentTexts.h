#pragma once

#include "agents/Agents.h"

#include <QString>

namespace ringlark {

// One sentence on an agent's connection, as the setup window and the
// terminal option word it.
QString agentStatusText(AgentKind kind, const AgentStatus& status, bool t3Installed);

} // namespace ringlark
