#include "agents/CodexConfig.h"

#include <gtest/gtest.h>
#include <toml++/toml.h>

#include <QStringList>

#include <random>

using namespace ringlark;
using CodexConfig::command;
using CodexConfig::upsert;

TEST(CodexConfig, ReadsOurServersCommandAndWritesItsBlock)
{
    const auto server = [](const QString& value) { return command("[mcp_servers.ringlark]\ncommand = " + value + "\n"); };
    EXPECT_EQ(server(R"('C:\dir')"), R"(C:\dir)");
    EXPECT_EQ(server(R"("say \"hi\" \\ \n" # note)"), R"(say "hi" \ n)");
    EXPECT_EQ(server(R"("")"), "");
    for (const char* bad : {R"(")", R"("/a\")", "42", R"(["/a"])"})
        EXPECT_FALSE(server(bad)) << bad;

    EXPECT_EQ(command("  [ mcp_servers.ringlark ]  # ours\r\ncommand_line = 1\r\n\tcommand\t=  '/a'\r\n"), "/a");
    for (const char* elsewhere : {"command = \"/a\"\n[mcp_servers.ringlark]\n",
                                  "[mcp_servers.ringlark]\n[mcp_servers.ringlark.env]\ncommand = \"/a\"\n",
                                  "[mcp_servers.ringlark]\n[mcp_servers.other]\ncommand = \"/a\"\n",
                                  "[mcp_servers.ringlark\ncommand = \"/a\"\n"})
        EXPECT_FALSE(command(elsewhere)) << elsewhere;

    EXPECT_EQ(upsert("", "/a"), "[mcp_servers.ringlark]\ncommand = \"/a\"\nargs = [\"mcp\"]\ntool_timeout_sec = 660\n\n"
                                "[mcp_servers.ringlark.env]\nRINGLARK_AGENT = \"Codex\"\n");
}

// Random files mixing our tables, sub-tables and arrays of tables with others,
// comments and LF or CR LF; every line outside our tables must survive as is.
TEST(CodexConfig, UpsertKeepsEveryOtherLineOverGeneratedFiles)
{
    std::mt19937 random(20261205);
    auto pick = [&](int n) { return std::uniform_int_distribution<int>(0, n - 1)(random); };
    const QStringList paths{"/opt/Ringlark.app/ringlark", R"(/Users/me/My Apps/Ringlark "b".app/ringlark)",
                            R"(C:\a b\ringlark)", "/opt/Éclair/ringlark"};
    const QStringList ourHeaders{"[mcp_servers.ringlark]", "  [mcp_servers.ringlark.env] # old",
                                 "[[mcp_servers.ringlark.tools]]"};
    const QStringList others{"[[history]]", "\t[profiles.fast%1] # x", "[mcp_servers.other%1]",
                             "[mcp_servers.ringlark-old%1]", "[mcp_servers.other.env%1]"};
    for (int round = 0; round < 300; ++round) {
        const QString eol = pick(3) == 0 ? "\r" : "";
        QStringList lines, kept;
        bool ours = false;
        auto add = [&](const QString& line) { lines.append(line + eol); if (!ours) kept.append(line + eol); };
        add("model = \"o3\"");
        for (int section = 0, sections = 2 + pick(6); section <= sections; ++section) {
            for (int i = 0, n = pick(4); i < n; ++i)
                add(QStringList{"", "# note", QString("  key_%1 = \"v\"  # why").arg(i), QString("command%1 = 2").arg(i)}[pick(4)]);
            if (section == sections)
                break;
            ours = pick(2);
            add(ours ? ourHeaders[pick(3)] : QString(others[pick(5)]).replace("%1", QString::number(section)));
        }
        const QString input = lines.join(u'\n'), path = paths[round % paths.size()];
        SCOPED_TRACE(input.toStdString());

        const QString result = upsert(input, path);
        EXPECT_EQ(upsert(result, path), result);
        while (!kept.isEmpty() && kept.last().isEmpty())
            kept.removeLast();
        EXPECT_EQ(result, kept.join(u'\n') + "\n\n" + CodexConfig::block(path) + "\n");
        EXPECT_EQ(command(result), path);
        // Throws, failing the test, when the result is not TOML.
        EXPECT_EQ(toml::parse(result.toStdString())["mcp_servers"]["ringlark"]["command"].value<std::string>(),
                  path.toStdString());
    }
}
