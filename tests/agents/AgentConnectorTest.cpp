#include "agents/AgentConnector.h"
#include "agents/ClaudeConfig.h"
#include "agents/CodexConfig.h"

#include "TestFiles.h"
#include "support/EventLoop.h"

#include <gtest/gtest.h>

#include <QTemporaryDir>

#include <sys/stat.h>

using namespace ringlark;
using Status = AgentStatus;

const QString helper = QStringLiteral("/opt/My Apps/Ringlark.app/Contents/Helpers/ringlark");

struct AgentConnectorTest : ::testing::Test {
    AgentConnectorTest()
    {
        // Nothing on the login shell's path and a clock a minute on per lookup,
        // so only the files set up here count and the cache never answers.
        test::writeFile(path("shell"), "#!/bin/sh\nshift\nPATH=/none exec /bin/sh -c \"$@\"\n", true);
        const auto now = std::make_shared<std::chrono::steady_clock::time_point>();
        agents.emplace(home.path(), helper, AgentConnector::Services{
            .applicationsFolder = apps.path(),
            .shell = {.loginShell = path("shell"), .clock = [=] { return *now += std::chrono::minutes(1); },
                      .systemBinDirectories = {}},
            .wallClock = [] { return std::chrono::system_clock::from_time_t(1796474832); }});
    }

    QString path(const QString& relative) const { return home.filePath(relative); }
    void setClaude(const QString& command) { test::writeFile(path(".claude.json"), R"({"mcpServers":{"ringlark":{"command":")" + command.toUtf8() + "\"}}}"); }
    void setCodex(const QString& command) { test::writeFile(path(".codex/config.toml"), *CodexConfig::upsert({}, command)); }
    void allowClaude() { test::writeFile(path(".claude/settings.json"), R"({"permissions":{"allow":["mcp__ringlark__request_human"]}})"); }
    QStringList files(const QString& directory) const { return QDir(path(directory)).entryList(QDir::NoDotAndDotDot | QDir::AllEntries | QDir::Hidden); }

    QTemporaryDir home, apps;
    std::optional<AgentConnector> agents;
};

TEST_F(AgentConnectorTest, DetectsEachAgentFromItsProgramAndEntry)
{
    setClaude(helper);
    allowClaude();
    EXPECT_EQ(agents->status(AgentKind::claudeCode), Status::notInstalled());
    test::writeFile(path(".local/bin/claude"), "", true);
    const std::pair<QByteArray, Status> cases[] = {
        {"", Status::notConnected()},
        {R"({"mcpServers":{"ringlark":{"command":"/Old.app/ringlark"}}})", Status::outdated("/Old.app/ringlark")},
        {R"({"mcpServers":{"ringlark":{"args":["mcp"],"command":")" + helper.toUtf8() + "\"}}}", Status::connected()},
    };
    for (const auto& [json, expected] : cases) {
        test::writeFile(path(".claude.json"), json);
        EXPECT_EQ(agents->status(AgentKind::claudeCode), expected) << json.toStdString();
    }

    // Our entry, but Claude Code would still ask before each call.
    for (const QByteArray& settings : {QByteArray(), QByteArray("{\"permissions\":{\"allow\":\"mcp__ringlark__request_human\"}}")}) {
        test::writeFile(path(".claude/settings.json"), settings);
        EXPECT_EQ(agents->status(AgentKind::claudeCode), Status::unapproved(helper)) << settings.toStdString();
    }
    allowClaude();

    EXPECT_EQ(agents->status(AgentKind::codex), Status::notInstalled());
    const std::pair<QByteArray, Status> codexCases[] = {
        {"", Status::notConnected()},
        {"[mcp_servers.ringlark]\ncommand = \"" + helper.toUtf8() + "\"\n", Status::unapproved(helper)},
        {"[mcp_servers]\nringlark.command = \"/old\"\nringlark.command = \"/old\"\n", Status::notConnected()}, // Codex could not load it
        {"[mcp_servers.ringlark]\nargs = [\"mcp\"]\n", Status::outdated("")},
    };
    for (const auto& [toml, expected] : codexCases) {
        test::writeFile(path(".codex/config.toml"), toml);
        EXPECT_EQ(agents->status(AgentKind::codex), expected) << toml.toStdString();
    }
    setCodex("/old");
    EXPECT_EQ(agents->status(AgentKind::codex), Status::outdated("/old"));
    EXPECT_EQ(agents->status(AgentKind::t3), Status::inherited({"Claude Code"}));
    setCodex(helper);
    EXPECT_EQ(agents->status(AgentKind::t3), Status::inherited({"Claude Code", "Codex"}));
    setClaude("/old");
    setCodex("/old");
    EXPECT_EQ(agents->status(AgentKind::t3), Status::notConnected());

    for (const char* nearMiss : {"t3 code.app", "T3 Code"})
        QDir(apps.path()).mkdir(nearMiss);
    EXPECT_FALSE(agents->t3Installed());
    QDir(apps.path()).mkdir("T3 Code (Beta).app");
    EXPECT_TRUE(agents->t3Installed());
}

TEST_F(AgentConnectorTest, ConnectsClaudeThroughItsProgram)
{
    const auto connect = [&] { return test::await(agents->connectClaude()).value_or(unexpected(AgentError::io("timed out"))); };
    EXPECT_EQ(connect().error().message(), "Claude Code was not found on this computer.");

    // Logs each call's arguments; a removal fails, which must not matter.
    test::writeFile(path(".local/bin/claude"), R"(#!/bin/sh
for a; do printf '<%s>' "$a" >> "$HOME/calls"; done; echo >> "$HOME/calls"
case "$2" in remove) echo "No MCP server named ringlark" >&2; exit 1 ;; esac
)", true);
    setClaude("/old/ringlark");
    const QByteArray removal = "<mcp><remove><--scope><user><ringlark>\n";
    const QByteArray add = "<mcp><add><ringlark><--scope><user><--env><RINGLARK_AGENT=Claude Code><-->"
                           "</opt/My Apps/Ringlark.app/Contents/Helpers/ringlark><mcp>\n";
    EXPECT_TRUE(connect());
    EXPECT_EQ(test::readFile(path("calls")), removal + add);
    QFile::remove(path(".claude.json"));
    EXPECT_TRUE(connect());
    EXPECT_EQ(test::readFile(path("calls")), removal + add + add) << "removal only when outdated";
    const QString settings = path(".claude/settings.json");
    EXPECT_TRUE(ClaudeConfig::allowsRequestHuman(test::readFile(settings).toStdString()));

    // Our entry without the approval: only the settings change.
    setClaude(helper);
    QFile::remove(settings);
    EXPECT_TRUE(connect());
    EXPECT_EQ(test::readFile(path("calls")), removal + add + add);
    EXPECT_EQ(agents->status(AgentKind::claudeCode), Status::connected());

    // Settings that cannot be edited stop the connect before claude runs.
    test::writeFile(settings, "{");
    QFile::remove(path(".claude.json"));
    EXPECT_EQ(connect().error(), AgentError::io(settings + ": not valid JSON; left unchanged"));
    EXPECT_EQ(test::readFile(path("calls")), removal + add + add);

    allowClaude();
    test::writeFile(path(".local/bin/claude"), "#!/bin/sh\necho '  MCP server ringlark already exists'\nexit 1\n", true);
    EXPECT_EQ(connect().error(), AgentError::commandFailed("MCP server ringlark already exists"));
}

TEST_F(AgentConnectorTest, ConnectsCodexWithABackupAndOnlyWhenChanged)
{
    const QString config = path(".codex/config.toml");
    const auto inode = [&] { struct stat info {}; ::stat(QFile::encodeName(config).constData(), &info); return info.st_ino; };
    const auto files = [&] { return QDir(path(".codex")).entryList(QDir::NoDotAndDotDot | QDir::AllEntries); };
    EXPECT_TRUE(agents->connectCodex());
    EXPECT_EQ(test::readFile(config), CodexConfig::block(helper) + "\n");
    const auto written = inode();
    EXPECT_TRUE(agents->connectCodex());
    EXPECT_EQ(inode(), written) << "an unchanged file is not rewritten";
    EXPECT_EQ(files(), QStringList{"config.toml"});

    const QByteArray old = "model = \"o3\"\n[mcp_servers.ringlark]\ncommand = \"/old\"\n\n[profiles.fast]\nx = 1\n";
    test::writeFile(config, old);
    EXPECT_TRUE(agents->connectCodex());
    EXPECT_EQ(test::readFile(path(".codex/config.toml.bak-ringlark-2026-12-05T124712Z")), old);
    EXPECT_EQ(test::readFile(config), "model = \"o3\"\n[profiles.fast]\nx = 1\n\n" + CodexConfig::block(helper) + "\n");
    EXPECT_EQ(agents->status(AgentKind::codex), Status::connected());

    const QByteArray latin1 = "# caf\xe9\n";
    test::writeFile(config, latin1);
    EXPECT_FALSE(agents->connectCodex());
    EXPECT_EQ(test::readFile(config), latin1) << "not UTF-8, so left untouched";
    EXPECT_EQ(files().size(), 2) << "no backup of a file left as it was";

    QDir(path(".codex")).removeRecursively();
    test::writeFile(path(".codex"), "plain file");
    EXPECT_EQ(agents->connectCodex().error(), AgentError::io(path(".codex") + ": Not a directory"));
}

// Backups, refusals and unchanged files are the Codex test's: both edits write alike.
TEST_F(AgentConnectorTest, AllowsClaudesToolInAFolderOfTheOwnersOnlyAndOnce)
{
    const QString settings = path(".claude/settings.json");
    const auto inode = [&] { struct stat info {}; ::stat(QFile::encodeName(settings).constData(), &info); return info.st_ino; };
    EXPECT_TRUE(agents->allowClaudeRequests());
    struct stat folder {};
    ::stat(QFile::encodeName(path(".claude")).constData(), &folder);
    EXPECT_EQ(folder.st_mode & 0777, 0700u) << "a new folder is the owner's only";
    const auto written = inode();
    EXPECT_TRUE(agents->allowClaudeRequests());
    EXPECT_EQ(files(".claude"), QStringList{"settings.json"}) << "already allowed: no backup, no rewrite";
    EXPECT_EQ(inode(), written);
}
