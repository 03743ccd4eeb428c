#include "agents/Agents.h"

#include <gtest/gtest.h>

using namespace ringlark;

TEST(Agents, KindsStatusesAndErrors)
{
    QStringList ids;
    for (AgentKind kind : AgentKind::allCases())
        ids.append(kind.id());
    EXPECT_EQ(ids, (QStringList{"Claude Code", "Codex", "T3 Code"}));
    EXPECT_EQ(AgentKind::fromRawValue("T3 Code"), AgentKind(AgentKind::t3));
    EXPECT_FALSE(AgentKind::fromRawValue("codex"));
    EXPECT_NE(AgentStatus::outdated(""), AgentStatus::notConnected());
    EXPECT_NE(AgentStatus::inherited({"Claude Code"}), AgentStatus::inherited({"Claude Code", "Codex"}));
    EXPECT_EQ(AgentError::cliNotFound("Claude Code").message(), "Claude Code was not found on this Mac.");
    EXPECT_EQ(AgentError::io("disk full").message(), "disk full");
}
