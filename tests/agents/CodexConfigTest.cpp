#include "agents/CodexConfig.h"

#include "support/Files.h"

#include <gtest/gtest.h>
#include <toml++/toml.h>

#include <QDir>

using namespace ringlark;
using CodexConfig::Server;

namespace {

const QString helper = QStringLiteral(R"(/opt/My "Apps"\Ringlark.app/Contents/Helpers/ringlark)");
const std::string bom = "\xEF\xBB\xBF";

// Realistic files, in tests/fixtures/codex-config (scripts/check-agents.sh
// gives the same files to Codex itself). A line starting with "~" defines our
// server and must be gone after the edit; every other line must come through
// byte for byte.
struct Form {
    const char* name;
    std::optional<Server> server;
    std::string lines = {};
};

Form forms[] = {
    {"empty", std::nullopt},
    {"no-final-line-break", std::nullopt},
    {"other-settings-only", std::nullopt},
    {"old-block-between-other-tables", Server{"/Old.app/ringlark", false}},
    {"current-path-no-approval", Server{helper, false}},
    {"old-path-approved", Server{"/old", true}},
    {"inline-entry-under-mcp-servers", Server{"/old", false}},
    {"dotted-keys-at-the-top", Server{"/old", false}},
    {"dotted-keys-under-mcp-servers", Server{"/old", false}},
    {"quoted-and-spaced-headers", Server{"/old", false}},
    {"sub-table-alone", Server{"", false}},
    {"header-like-lines-in-strings-and-arrays", Server{"/old", false}},
    {"arrays-of-tables-and-look-alike-names", Server{"", false}},
    {"dates-comments-and-odd-spacing", std::nullopt},
};

std::string fixture(const std::string& name)
{
    return test::readFile(QStringLiteral(RINGLARK_CODEX_FIXTURES "/") + QString::fromStdString(name) + ".toml").toStdString();
}

// The form's file in the given line ending, with or without a byte order mark,
// and what must be left of it.
std::pair<std::string, std::string> render(const Form& form, const std::string& eol, bool mark)
{
    std::string file = mark ? bom : "", kept = file;
    size_t start = 0;
    while (start <= form.lines.size()) {
        size_t end = form.lines.find('\n', start);
        const bool last = end == std::string::npos;
        std::string line = form.lines.substr(start, last ? std::string::npos : end - start);
        const bool ours = line.starts_with('~');
        if (ours)
            line.erase(0, 1);
        file += line + (last ? "" : eol);
        if (!ours)
            kept += line + (last ? "" : eol);
        if (last)
            break;
        start = end + 1;
    }
    return {file, kept};
}

toml::table parse(const std::string& file)
{
    return toml::parse(file.starts_with(bom) ? file.substr(bom.size()) : file);
}

toml::table withoutServer(toml::table table)
{
    if (auto* servers = table["mcp_servers"].as_table()) {
        servers->erase("ringlark");
        if (servers->empty())
            table.erase("mcp_servers");
    }
    return table;
}

// Checks the edit of `file` as Codex would see it; gives the new file.
std::string checkEdit(const std::string& file)
{
    const auto edited = CodexConfig::upsert(QByteArray::fromStdString(file), helper);
    if (!edited) {
        ADD_FAILURE() << edited.error().toStdString();
        return {};
    }
    const std::string result = edited->toStdString();
    const toml::table after = parse(result); // throws, failing the test, when not TOML
    const auto server = after["mcp_servers"]["ringlark"];
    EXPECT_EQ(server["command"].value<std::string>(), helper.toStdString());
    EXPECT_EQ(*server["args"].as_array(), toml::array{"mcp"});
    EXPECT_EQ(server["default_tools_approval_mode"].value<std::string>(), "approve");
    EXPECT_EQ(server["tool_timeout_sec"].value<int>(), 660);
    EXPECT_EQ(server["env"]["RINGLARK_AGENT"].value<std::string>(), "Codex");
    EXPECT_EQ(withoutServer(after), withoutServer(parse(file))) << "other settings changed";
    EXPECT_EQ(CodexConfig::server(result), (Server{helper, true}));
    EXPECT_EQ(CodexConfig::upsert(*edited, helper)->toStdString(), result) << "not idempotent";
    return result;
}

} // namespace

TEST(CodexConfig, EditsEveryFormKeepingTheRestByteForByte)
{
    for (Form& form : forms) {
        form.lines = fixture(form.name);
        for (const std::string eol : {"\n", "\r\n"}) {
            for (const bool mark : {false, true}) {
                const auto [file, kept] = render(form, eol, mark);
                SCOPED_TRACE(std::string(form.name) + (eol.size() == 2 ? ", CR LF" : "") + (mark ? ", BOM" : ""));
                EXPECT_EQ(CodexConfig::server(file), form.server);

                // A file without any line break is written with LF.
                const std::string written = file.find('\n') == std::string::npos ? "\n" : eol;
                std::string expected = kept;
                while (expected.size() > (mark ? 3 : 0) && (expected.back() == '\n' || expected.back() == '\r'))
                    expected.pop_back();
                if (expected.size() > (mark ? 3 : 0))
                    expected += written + written;
                expected += CodexConfig::block(helper, written).toStdString() + written;
                EXPECT_EQ(checkEdit(file), expected);
            }
        }
    }
    // Every file is one of these forms or one of the inline tables below.
    EXPECT_EQ(QDir(RINGLARK_CODEX_FIXTURES).entryList(QDir::Files).size(), qsizetype(std::size(forms) + 4));
}

// A `mcp_servers` written as one inline table cannot take a table header after
// it, so our server goes inside, last, and the rest of the line stays.
TEST(CodexConfig, PutsTheServerInsideAnInlineServersTable)
{
    const std::string ours = "ringlark = { command = \"/opt/My \\\"Apps\\\"\\\\Ringlark.app/Contents/Helpers/ringlark\", "
                             "args = [\"mcp\"], tool_timeout_sec = 660, default_tools_approval_mode = \"approve\", "
                             "env = { RINGLARK_AGENT = \"Codex\" } }";
    const std::pair<std::string, std::string> cases[] = {
        {fixture("inline-servers-empty"), "mcp_servers = { " + ours + " }\n"},
        {fixture("inline-servers-with-comment"),
         "model = \"o3\"\nmcp_servers = { other = { command = \"npx\" }, " + ours + " } # x\n[p]\n"},
        {fixture("inline-servers-old-first-crlf"), "mcp_servers = { other = { command = \"npx\" }, " + ours + " }\r\n"},
        {fixture("inline-servers-dotted-old"),
         "mcp_servers = { a = { command = \"a\" }, b = { command = \"b\" }, " + ours + " }"},
    };
    for (const auto& [file, expected] : cases) {
        SCOPED_TRACE(file);
        EXPECT_EQ(checkEdit(file), expected);
    }
}

TEST(CodexConfig, LeavesAServerAlreadyAsWeWriteItInItsOwnForm)
{
    const std::string file = "[mcp_servers]\nringlark = { command = '" + helper.toStdString()
        + "', args = ['mcp'], tool_timeout_sec = 660, default_tools_approval_mode = 'approve', "
          "env.RINGLARK_AGENT = 'Codex' }  # mine\n";
    EXPECT_EQ(CodexConfig::upsert(QByteArray::fromStdString(file), helper)->toStdString(), file);
}

TEST(CodexConfig, RefusesFilesItCannotEditSafely)
{
    const std::pair<const char*, const char*> cases[] = {
        {"[a]\nb = \n", "not valid TOML (line 2"},
        {"[mcp_servers.ringlark]\ncommand = \"a\"\n[mcp_servers.ringlark]\n", "not valid TOML (line 3"},
        {"# caf\xE9\n", "not valid TOML (line 1"},
        {"mcp_servers = 5\n", "mcp_servers is not a table"},
        {"[[mcp_servers]]\nname = \"x\"\n", "mcp_servers is not a table"},
    };
    for (const auto& [file, reason] : cases) {
        const auto edited = CodexConfig::upsert(file, helper);
        ASSERT_FALSE(edited) << file;
        EXPECT_TRUE(edited.error().startsWith(reason)) << edited.error().toStdString();
        EXPECT_FALSE(CodexConfig::server(file)) << "Codex cannot load it, so it holds no server";
    }
}
