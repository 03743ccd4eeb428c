#include "platform/linux/DesktopEntry.h"

#include <gtest/gtest.h>

using namespace ringlark::platform;

TEST(DesktopEntry, ReadsOnlyTheDesktopEntryGroupWithValueEscapesResolved)
{
    const auto entry = parseDesktopEntry(QStringLiteral("# comment\n"
                                                        "[Desktop Action new]\n"
                                                        "Exec=wrong\n"
                                                        "[Desktop Entry]\n"
                                                        "Name = Ring\\slark \n"
                                                        "Comment=a\\\\b\\$c\n"
                                                        "Hidden=true\n"
                                                        "\n"
                                                        "[Other]\n"
                                                        "Name=later\n"));
    ASSERT_TRUE(entry.has_value());
    EXPECT_EQ(entry->value("Name"), "Ring lark");
    // Unknown escapes stay for the Exec quoting rules.
    EXPECT_EQ(entry->value("Comment"), "a\\b\\$c");
    EXPECT_FALSE(entry->keys.contains("Exec"));
    EXPECT_TRUE(entry->isHidden());

    EXPECT_FALSE(parseDesktopEntry(QStringLiteral("[Other]\nName=x\n")).has_value());
    EXPECT_FALSE(parseDesktopEntry(QStringLiteral("[Desktop Entry]\nHidden=false\n"))->isHidden());
}

TEST(DesktopEntry, ExecDropsFileCodesAndKeepsQuotedArgumentsWhole)
{
    EXPECT_EQ(execArguments(QStringLiteral("\"/opt/My App/run\"  --new-window %U %f")),
              (QStringList{"/opt/My App/run", "--new-window"}));
    EXPECT_EQ(execArguments(QStringLiteral("run --name=%c --from %k 100%% %i"), "Tail", "/a/t.desktop"),
              (QStringList{"run", "--name=Tail", "--from", "/a/t.desktop", "100%"}));
    EXPECT_EQ(execArguments(QStringLiteral("sh -c \"echo \\\"\\$HOME\\\" \\\\ done\"")),
              (QStringList{"sh", "-c", "echo \"$HOME\" \\ done"}));
    EXPECT_EQ(execArguments(QStringLiteral("   ")), QStringList{});
    EXPECT_FALSE(execArguments(QStringLiteral("\"/opt/unterminated --x")).has_value());
}

TEST(DesktopEntry, WrittenExecReadsBackAsTheSameProgram)
{
    const QStringList programs{
        "/home/a b/Ringlark.app/Contents/MacOS/Ringlark",
        "/tmp/quote\"d/`tick`/$HOME/x",
        "/tmp/back\\slash/100%/%U/tab\tand\nnewline",
        "/tmp/ends in a backslash\\",
    };
    for (const QString& program : programs) {
        const QString line = QStringLiteral("Exec=") + execValue(program);
        EXPECT_FALSE(line.contains(u'\n')) << line.toStdString();
        const auto entry = parseDesktopEntry(QStringLiteral("[Desktop Entry]\n") + line + u'\n');
        ASSERT_TRUE(entry.has_value());
        EXPECT_EQ(execArguments(entry->value("Exec")), QStringList{program}) << line.toStdString();
    }
}
