#include "agents/ClaudeConfig.h"
#include "agents/FileFacts.h"

#include "TestFiles.h"

#include <gtest/gtest.h>

#include <QTemporaryDir>

#include <sys/time.h>

using namespace ringlark;

TEST(ClaudeConfig, FindsTheTopLevelServerTheWayAParsedDocumentWould)
{
    const std::pair<const char*, std::optional<QString>> cases[] = {
        {"", std::nullopt},
        {"[{\"mcpServers\":{\"ringlark\":{\"command\":\"/a\"}}}]", std::nullopt},
        {"{\"mcpServers\":{\"ringlark\":{\"command\":\"/a\"}}", std::nullopt}, // cut short
        {"{\"projects\":{\"/p\":{\"mcpServers\":{\"ringlark\":{\"command\":\"/p\"}}}}}", std::nullopt},
        {"{\"mcpServers\":{\"ringlark\":\"/a\"}}", std::nullopt},
        {"{\"mcpServers\":[{\"ringlark\":{\"command\":\"/a\"}}]}", std::nullopt},
        {"{\"mcpServers\":{\"ringlark\":{\"args\":[\"command\"],\"command\":7}}}", QString()},
        {"{\"a\":[{\"command\":\"x\"}],\"mcpServers\":{\"other\":{\"command\":\"/o\"},"
         "\"ringlark\":{\"env\":{\"command\":\"/e\"},\"command\":\"/r\\u00e9\"}},\"z\":null}",
         QString::fromUtf8("/r\xC3\xA9")},
        // Repeated keys: the last one holds.
        {"{\"mcpServers\":{\"ringlark\":{\"command\":\"/a\"}},\"mcpServers\":{}}", std::nullopt},
        {"{\"mcpServers\":{\"ringlark\":{\"command\":\"/a\"},\"ringlark\":{\"type\":\"stdio\"}}}", QString()},
        {"{\"mcpServers\":{\"ringlark\":{\"command\":\"/a\",\"command\":\"/b\"}}}", QStringLiteral("/b")},
    };
    for (const auto& [json, command] : cases)
        EXPECT_EQ(ClaudeConfig::serverCommand(json), command) << json;
}

TEST(ClaudeConfig, AllowsOurToolKeepingEveryOtherSettingInItsOrder)
{
    const std::string rule = "\"mcp__ringlark__request_human\"";
    // Input, then the new file, or "=" for none needed, or "!" and the reason it is left alone.
    const std::pair<std::string, std::string> cases[] = {
        {"", "{\n  \"permissions\": {\n    \"allow\": [\n      " + rule + "\n    ]\n  }\n}\n"},
        {"{\"model\":\"opus\",\"permissions\":{\"deny\":[\"Bash(rm:*)\"],\"allow\":[\"Read\"],\"ask\":[]},\"env\":{\"Z\":\"1\",\"A\":\"2\"}}",
         "{\n  \"model\": \"opus\",\n  \"permissions\": {\n    \"deny\": [\n      \"Bash(rm:*)\"\n    ],\n    \"allow\": [\n"
         "      \"Read\",\n      " + rule + "\n    ],\n    \"ask\": []\n  },\n  \"env\": {\n    \"Z\": \"1\",\n    \"A\": \"2\"\n  }\n}\n"},
        {"{\"z\":1,\"permissions\":{}}", "{\n  \"z\": 1,\n  \"permissions\": {\n    \"allow\": [\n      " + rule + "\n    ]\n  }\n}\n"},
        {"{\"permissions\":{\"allow\":[" + rule + "]}}", "="},
        {"{\"permissions\":{\"allow\":[\"mcp__ringlark\"]}}", "="},
        {"{\"model\":\"opus\",}", "!not valid JSON"},
        {"[]", "!not a JSON object"},
        {"{\"permissions\":[\"Read\"]}", "!\"permissions\" is not an object"},
        {"{\"permissions\":{\"allow\":\"Read\"}}", "!\"permissions.allow\" is not a list"},
    };
    for (const auto& [settings, expected] : cases) {
        SCOPED_TRACE(settings);
        const auto edited = ClaudeConfig::allowRequestHuman(settings);
        if (expected.starts_with('!')) {
            ASSERT_FALSE(edited);
            EXPECT_EQ(edited.error().toStdString(), expected.substr(1));
            continue;
        }
        ASSERT_TRUE(edited) << edited.error().toStdString();
        if (expected == "=") {
            EXPECT_FALSE(*edited);
            EXPECT_TRUE(ClaudeConfig::allowsRequestHuman(settings));
        } else {
            ASSERT_TRUE(*edited);
            EXPECT_EQ((*edited)->toStdString(), expected);
            EXPECT_FALSE(ClaudeConfig::allowsRequestHuman(settings));
            EXPECT_TRUE(ClaudeConfig::allowsRequestHuman((*edited)->toStdString()));
        }
    }
}

TEST(FileFacts, ReadsAFileAgainOnlyAfterItChanged)
{
    QTemporaryDir directory;
    const QString path = directory.filePath("file");
    FileFacts<std::string> facts([](std::string_view bytes) { return std::string(bytes); });
    EXPECT_EQ(facts.get(path), std::nullopt);

    const auto setModified = [&](int seconds) {
        const timeval times[2] = {{seconds, 0}, {seconds, 0}};
        ASSERT_EQ(::utimes(QFile::encodeName(path).constData(), times), 0);
    };
    // Each step: what the file holds now and whether it was read again.
    const std::function<void()> steps[] = {
        [&] { test::writeFile(path, "one"); setModified(1000); },
        [] {},
        [&] { test::writeFile(path, "three"); setModified(1000); }, // another size
        [&] { test::writeFile(path, "four!"); setModified(1500); }, // same size, another time
        [&] { setModified(2000); },
    };
    const std::pair<const char*, int> expected[] = {{"one", 1}, {"one", 1}, {"three", 2}, {"four!", 3}, {"four!", 4}};
    for (size_t step = 0; step < std::size(steps); ++step) {
        steps[step]();
        EXPECT_EQ(facts.get(path), expected[step].first) << step;
        EXPECT_EQ(facts.reads(), expected[step].second) << step;
    }
}
