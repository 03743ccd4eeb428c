#include "agents/CodexConfig.h"

#include <gtest/gtest.h>
#include <toml++/toml.h>

#include <QStringList>

#include <random>

using namespace ringlark;
using CodexConfig::command;
using CodexConfig::upsert;

namespace {
QString blockText(const QString& path) { return CodexConfig::block(path) + u'\n'; }
} // namespace

TEST(CodexConfig, ReadsTheServerCommandOnly)
{
    const auto server = [](const QString& value) { return command("[mcp_servers.ringlark]\ncommand = " + value + "\n"); };
    EXPECT_EQ(server(R"('C:\dir')"), R"(C:\dir)");
    EXPECT_EQ(server(R"("say \"hi\" \\ \n" # note)"), R"(say "hi" \ n)");
    EXPECT_EQ(server(R"("")"), "");
    EXPECT_EQ(server(R"("""x""")"), "");
    for (const char* bad : {R"(")", R"("/a\")", "42", R"(["/a"])"})
        EXPECT_FALSE(server(bad)) << bad;

    EXPECT_EQ(command("  [ mcp_servers.ringlark ]  # ours\r\ncommand_line = 1\r\n\tcommand\t=  '/a'\r\n"), "/a");
    EXPECT_FALSE(command("command = \"/a\"\n[mcp_servers.ringlark]\nargs = []\n"));
    EXPECT_FALSE(command("[mcp_servers.ringlark]\n[mcp_servers.ringlark.env]\ncommand = \"/a\"\n"));
    EXPECT_FALSE(command("[mcp_servers.ringlark\ncommand = \"/a\"\n"));
}

TEST(CodexConfig, UpsertWritesTheBlockAfterOneEmptyLine)
{
    EXPECT_EQ(CodexConfig::block("/a"), "[mcp_servers.ringlark]\ncommand = \"/a\"\nargs = [\"mcp\"]\n"
                                        "tool_timeout_sec = 660\n\n[mcp_servers.ringlark.env]\nRINGLARK_AGENT = \"Codex\"");
    EXPECT_EQ(upsert("", "/a"), blockText("/a"));
    EXPECT_EQ(upsert("x = 1", "/a"), "x = 1\n\n" + blockText("/a"));
    EXPECT_EQ(upsert("x = 1\n\n\n\n", "/a"), "x = 1\n\n" + blockText("/a"));
}

// Random configurations: other tables, comments, arrays of tables, our tables
// and sub-tables anywhere, LF or CR LF. Each line is marked when it belongs
// to our tables and must go.
TEST(CodexConfig, UpsertKeepsEveryOtherLineOverGeneratedFiles)
{
    std::mt19937 random(20261205);
    auto pick = [&](int n) { return std::uniform_int_distribution<int>(0, n - 1)(random); };
    const QStringList paths{"/opt/Ringlark.app/ringlark", R"(/Users/me/My Apps/Ringlark "b".app/ringlark)",
                            R"(C:\a b\ringlark)", "/opt/Éclair/ringlark"};
    const QStringList ourHeaders{"[mcp_servers.ringlark]", "  [mcp_servers.ringlark.env] # old",
                                 "[[mcp_servers.ringlark.tools]]"};
    for (int round = 0; round < 300; ++round) {
        const QString eol = pick(3) == 0 ? "\r" : "";
        QStringList lines, kept;
        bool ours = false;
        auto add = [&](const QString& line) {
            lines.append(line + eol);
            if (!ours)
                kept.append(line + eol);
        };
        QStringList tables{"profiles.fast", "mcp_servers.other", "mcp_servers.ringlark-old", "mcp_servers.other.env"};
        std::shuffle(tables.begin(), tables.end(), random);
        add("model = \"o3\"");
        for (int section = 0, sections = 2 + pick(6); section <= sections; ++section) {
            for (int i = 0, n = pick(4); i < n; ++i) {
                const QString body[] = {"", "# note", QString("  key_%1 = \"v\"  # why").arg(i), QString("command%1 = 2").arg(i)};
                add(body[pick(4)]);
            }
            if (section == sections)
                break;
            ours = pick(2);
            if (ours)
                add(ourHeaders[pick(3)]);
            else
                add(tables.isEmpty() || pick(3) == 0 ? "[[history]]" : "\t[" + tables.takeFirst() + "] # x");
        }
        const QString input = lines.join(u'\n');
        const QString path = paths[round % paths.size()];
        SCOPED_TRACE(input.toStdString());

        const QString result = upsert(input, path);
        EXPECT_EQ(upsert(result, path), result);
        while (!kept.isEmpty() && kept.last().isEmpty())
            kept.removeLast();
        EXPECT_EQ(result, kept.join(u'\n') + "\n\n" + blockText(path));
        try {
            const toml::table table = toml::parse(result.toStdString());
            EXPECT_EQ(table["mcp_servers"]["ringlark"]["command"].value<std::string>(), path.toStdString());
            EXPECT_EQ(command(result), path);
        } catch (const toml::parse_error& error) {
            ADD_FAILURE() << "not TOML: " << error.description();
        }
    }
}
