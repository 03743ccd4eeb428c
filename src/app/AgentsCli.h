#pragma once

#include "agents/AgentConnector.h"
#include "agents/Agents.h"

#include <QString>
#include <QStringList>
#include <QTextStream>

namespace ringlark {

// Where the command-line options find the user's agents and our helper.
struct AgentsCliServices {
    QString home;   // empty: the user's home directory
    QString helper; // empty: the helper inside the running bundle
    AgentConnector::Services agents{};
};

// Connecting agents from a terminal, without the tray, the daemon or the
// single-instance handshake:
//   --agents                        prints "<agent>: <status>" per agent; exit 0
//   --connect claude-code|codex     connects one; exit 0, or 1 with the error
// A usage error gives 2; arguments that are not for us give -1. `arguments`
// starts with the program, as QCoreApplication::arguments() does. Creates the
// application object it needs when there is none yet.
int runAgentsCli(const QStringList& arguments);
int runAgentsCli(const QStringList& arguments, const AgentsCliServices& services, QTextStream& out,
                 QTextStream& err);

} // namespace ringlark
