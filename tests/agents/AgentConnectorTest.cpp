#include "agents/AgentConnector.h"
#include "agents/CodexConfig.h"

#include "TestFiles.h"
#include "support/EventLoop.h"

#include <gtest/gtest.h>

#include <QTemporaryDir>
#include <QtConcurrent/QtConcurrentRun>

#include <sys/stat.h>

using namespace ringlark;
using Status = AgentStatus;

namespace {

const QString helper = QStringLiteral("/opt/My Apps/Ringlark.app/Contents/Helpers/ringlark");
const QString backupName = QStringLiteral("config.toml.bak-ringlark-2026-12-05T124712Z");

// Logs each call's arguments to $HOME/calls; "remove" fails, "add" stores the entry.
const QByteArray fakeClaude = R"(#!/bin/sh
for a; do printf '<%s>' "$a" >> "$HOME/calls"; done; echo >> "$HOME/calls"
case "$2" in
  remove) echo "No MCP server named ringlark" >&2; exit 1 ;;
  add) printf '{"mcpServers":{"ringlark":{"command":"%s"}}}' "$9" > "$HOME/.claude.json" ;;
esac
)";

class AgentConnectorTest : public ::testing::Test {
protected:
    AgentConnectorTest()
    {
        AgentConnector::Services services;
        services.applicationsFolder = apps.path();
        // Nothing on the login shell's path: only the files set up here count.
        services.shell.loginShell = tools.filePath("shell");
        test::writeFile(services.shell.loginShell, "#!/bin/sh\nshift\nPATH=/none exec /bin/sh -c \"$@\"\n", true);
        services.shell.systemBinDirectories = {};
        // Each lookup comes a minute after the last, so the cache never answers.
        services.shell.clock = [minutes = std::make_shared<int>(0)] {
            return std::chrono::steady_clock::time_point(std::chrono::minutes(++*minutes));
        };
        services.wallClock = [] { return std::chrono::system_clock::from_time_t(1796474832) + std::chrono::milliseconds(789); };
        agents.emplace(home.path(), helper, services);
    }

    QString path(const QString& relative) const { return home.filePath(relative); }
    Status status(AgentKind kind) const { return agents->status(kind); }
    QStringList codexFiles() const { return QDir(path(".codex")).entryList(QDir::NoDotAndDotDot | QDir::AllEntries); }
    void setClaude(const QString& command) { test::writeFile(path(".claude.json"), R"({"mcpServers":{"ringlark":{"command":")" + command.toUtf8() + "\"}}}"); }
    void setCodex(const QString& command) { test::writeFile(path(".codex/config.toml"), CodexConfig::upsert("", command).toUtf8()); }

    QTemporaryDir home, apps, tools;
    std::optional<AgentConnector> agents;
};

} // namespace

TEST_F(AgentConnectorTest, DetectsClaudeFromItsProgramAndEntry)
{
    setClaude(helper);
    EXPECT_EQ(status(AgentKind::claudeCode), Status::notInstalled());
    test::writeFile(path(".claude/local/claude"), "", true);
    EXPECT_EQ(agents->claudeExecutable(), path(".claude/local/claude"));
    EXPECT_EQ(status(AgentKind::claudeCode), Status::connected());

    const std::pair<QByteArray, Status> cases[] = {
        {"", Status::notConnected()},
        {R"([{"mcpServers":{}}])", Status::notConnected()},
        {R"({"mcpServers":{"ringlark":{"command":5}}})", Status::outdated("")},
        {R"({"mcpServers":{"ringlark":{"command":"/Old.app/ringlark"}}})", Status::outdated("/Old.app/ringlark")},
        {R"({"mcpServers":{"ringlark":{"args":["mcp"],"command":")" + helper.toUtf8() + "\"}}}", Status::connected()},
    };
    for (const auto& [json, expected] : cases) {
        test::writeFile(path(".claude.json"), json);
        EXPECT_EQ(status(AgentKind::claudeCode), expected) << json.toStdString();
    }
}

TEST_F(AgentConnectorTest, DetectsCodexAndT3)
{
    EXPECT_EQ(status(AgentKind::codex), Status::notInstalled());
    test::writeFile(path(".local/bin/codex"), "", true);
    EXPECT_EQ(status(AgentKind::codex), Status::notConnected());
    QFile::remove(path(".local/bin/codex"));
    test::writeFile(path(".codex/config.toml"), "# caf\xe9\n" + CodexConfig::upsert("", helper).toUtf8());
    EXPECT_EQ(status(AgentKind::codex), Status::notConnected()) << "not UTF-8";

    test::writeFile(path(".local/bin/claude"), "", true);
    setClaude(helper);
    setCodex("/old");
    EXPECT_EQ(status(AgentKind::codex), Status::outdated("/old"));
    EXPECT_EQ(status(AgentKind::t3), Status::inherited({"Claude Code"}));
    setCodex(helper);
    EXPECT_EQ(status(AgentKind::t3), Status::inherited({"Claude Code", "Codex"}));
    setClaude("/old");
    EXPECT_EQ(status(AgentKind::t3), Status::inherited({"Codex"}));
    setCodex("/old");
    EXPECT_EQ(status(AgentKind::t3), Status::notConnected());

    QDir(apps.path()).mkdir("t3 code.app");
    QDir(apps.path()).mkdir("T3 Code");
    EXPECT_FALSE(agents->t3Installed());
    QDir(apps.path()).mkdir("T3 Code (Beta).app");
    EXPECT_TRUE(agents->t3Installed());
}

TEST_F(AgentConnectorTest, ConnectsClaudeThroughItsProgram)
{
    const auto missing = test::await(agents->connectClaude());
    ASSERT_TRUE(missing && !*missing);
    EXPECT_EQ(missing->error().message(), "Claude Code was not found on this Mac.");

    test::writeFile(path(".local/bin/claude"), fakeClaude, true);
    setClaude("/old/ringlark");
    const QByteArray removal = "<mcp><remove><--scope><user><ringlark>\n";
    const QByteArray add = "<mcp><add><ringlark><--scope><user><--env><RINGLARK_AGENT=Claude Code><-->"
                           "</opt/My Apps/Ringlark.app/Contents/Helpers/ringlark><mcp>\n";
    const auto outdated = test::await(agents->connectClaude());
    ASSERT_TRUE(outdated && *outdated);
    EXPECT_EQ(test::readFile(path("calls")), removal + add);
    EXPECT_EQ(status(AgentKind::claudeCode), Status::connected());

    QFile::remove(path(".claude.json"));
    const auto again = test::await(agents->connectClaude());
    ASSERT_TRUE(again && *again);
    EXPECT_EQ(test::readFile(path("calls")), removal + add + add) << "no removal unless outdated";

    test::writeFile(path(".local/bin/claude"), "#!/bin/sh\necho '  MCP server ringlark already exists'\nexit 1\n", true);
    const auto refused = test::await(agents->connectClaude());
    ASSERT_TRUE(refused && !*refused);
    EXPECT_EQ(refused->error(), AgentError::commandFailed("MCP server ringlark already exists"));
}

TEST_F(AgentConnectorTest, ConnectsCodexWithBackupsAndOnlyWhenChanged)
{
    EXPECT_TRUE(QtConcurrent::run([copy = *agents] { return copy.connectCodex().has_value(); }).result());
    const QString config = path(".codex/config.toml");
    EXPECT_EQ(test::readFile(config), (CodexConfig::block(helper) + "\n").toUtf8());
    const auto inode = [&] { struct stat info {}; ::stat(QFile::encodeName(config).constData(), &info); return info.st_ino; };
    const auto written = inode();
    EXPECT_TRUE(agents->connectCodex());
    EXPECT_EQ(inode(), written) << "an unchanged file is not rewritten";
    EXPECT_EQ(codexFiles(), QStringList{"config.toml"});

    const QByteArray old = "model = \"o3\"\r\n[mcp_servers.ringlark]\ncommand = \"/old\"\n\n[profiles.fast]\nx = 1\n";
    test::writeFile(config, old);
    EXPECT_TRUE(agents->connectCodex());
    EXPECT_EQ(test::readFile(path(".codex/" + backupName)), old);
    EXPECT_EQ(test::readFile(config), "model = \"o3\"\r\n[profiles.fast]\nx = 1\n\n" + CodexConfig::block(helper).toUtf8() + "\n");
}

TEST_F(AgentConnectorTest, FailedCodexConnectKeepsPreviousContent)
{
    test::writeFile(path(".codex"), "plain file");
    const auto blocked = agents->connectCodex();
    ASSERT_FALSE(blocked);
    EXPECT_EQ(blocked.error(), AgentError::io(path(".codex") + ": Not a directory"));
    QFile::remove(path(".codex"));

    const QString config = path(".codex/config.toml");
    const QByteArray latin1 = "# caf\xe9\n";
    test::writeFile(config, latin1);
    EXPECT_FALSE(agents->connectCodex());
    EXPECT_EQ(test::readFile(config), latin1);
    EXPECT_EQ(codexFiles(), QStringList{"config.toml"});

    test::writeFile(config, "x = 1\n");
    QDir().mkpath(path(".codex/" + backupName + "/blocker"));
    EXPECT_FALSE(agents->connectCodex()) << "the backup cannot be written";
    EXPECT_EQ(test::readFile(config), "x = 1\n");

    QFile::remove(config);
    QDir().mkpath(config);
    EXPECT_FALSE(agents->connectCodex()) << "unreadable configuration";
}
