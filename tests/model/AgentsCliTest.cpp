#include "app/AgentsCli.h"

#include "support/EventLoop.h"
#include "support/Files.h"

#include <gtest/gtest.h>

#include <QTemporaryDir>

using namespace ringlark;

namespace {

const QString helper = QStringLiteral("/opt/Ringlark.app/Contents/Helpers/ringlark");

struct AgentsCli : ::testing::Test {
    struct Run {
        int status;
        QString out;
        QString err;
    };

    Run run(const QStringList& arguments)
    {
        AgentsCliServices services{.home = home.path(), .helper = helper};
        services.agents.applicationsFolder = apps.path();
        services.agents.shell.loginShell = "/bin/sh";
        services.agents.shell.systemBinDirectories = {};
        QString out, err;
        QTextStream outStream(&out), errStream(&err);
        const int status = runAgentsCli(QStringList{"Ringlark"} + arguments, services, outStream, errStream);
        return {status, out, err};
    }

    QTemporaryDir home, apps;
};

} // namespace

TEST_F(AgentsCli, LeavesOtherArgumentsAloneAndRejectsWrongUse)
{
    const std::pair<QStringList, int> cases[] = {
        {{}, -1},
        {{"-platform", "offscreen"}, -1},
        {{"--agents", "--verbose"}, 2},
        {{"--connect"}, 2},
        {{"--connect", "t3"}, 2},
        {{"--connect=Codex"}, 2},
        {{"--agents", "--connect", "codex"}, 2},
    };
    for (const auto& [arguments, status] : cases) {
        const Run result = run(arguments);
        EXPECT_EQ(result.status, status) << arguments.join(' ').toStdString();
        EXPECT_TRUE(result.out.isEmpty());
        EXPECT_EQ(result.err.isEmpty(), status == -1);
    }
}

TEST_F(AgentsCli, ListsAndConnectsAgentsAsTheSetupWindowWould)
{
    QDir(home.path()).mkdir(".codex");
    // A claude that refuses, with its message.
    test::writeFile(home.filePath(".local/bin/claude"), "#!/bin/sh\necho '  no network  ' >&2\nexit 1\n", true);
    Run listed = run({"--agents"});
    EXPECT_EQ(listed.status, 0);
    EXPECT_EQ(listed.out, "Claude Code: Adds the ringlark MCP server to your user scope (claude mcp add).\n"
                          "Codex: Adds [mcp_servers.ringlark] to ~/.codex/config.toml (a backup is kept).\n"
                          "T3 Code: Not installed. Would use the Claude Code and Codex connections above.\n");

    const Run connected = run({"--connect", "codex"});
    EXPECT_EQ(connected.status, 0);
    EXPECT_EQ(connected.out, "Connected Codex.\n");
    QDir(apps.path()).mkdir("T3 Code.app");
    listed = run({"--agents"});
    EXPECT_TRUE(listed.out.contains("Codex: Connected.\nT3 Code: Connected through Codex.\n")) << listed.out.toStdString();

    const Run refused = run({"--connect=claude-code"});
    EXPECT_EQ(refused.status, 1);
    EXPECT_TRUE(refused.out.isEmpty());
    EXPECT_EQ(refused.err, "no network\n");
}

TEST_F(AgentsCli, ConnectingAgainSucceedsAndSaysItIsAlreadyConnected)
{
    QDir(home.path()).mkdir(".codex");
    // A claude that registers the server once and, like the real one, refuses a second add.
    test::writeFile(home.filePath(".local/bin/claude"),
                    QString("#!/bin/sh\n"
                            "[ -f \"$HOME/.claude.json\" ] && { echo 'MCP server ringlark already exists' >&2; exit 1; }\n"
                            "printf '{\"mcpServers\":{\"ringlark\":{\"command\":\"%1\",\"args\":[\"mcp\"]}}}' "
                            "> \"$HOME/.claude.json\"\n")
                        .arg(helper)
                        .toUtf8(),
                    true);
    const std::pair<QString, QString> agents[] = {{"claude-code", "Claude Code"}, {"codex", "Codex"}};
    for (const auto& [argument, name] : agents) {
        SCOPED_TRACE(argument.toStdString());
        const Run first = run({"--connect", argument});
        EXPECT_EQ(first.status, 0) << first.err.toStdString();
        EXPECT_EQ(first.out, "Connected " + name + ".\n");
        const Run second = run({"--connect", argument});
        EXPECT_EQ(second.status, 0) << second.err.toStdString();
        EXPECT_EQ(second.out, name + " is already connected to this copy of Ringlark.\n");
        EXPECT_TRUE(second.err.isEmpty());
    }
}
