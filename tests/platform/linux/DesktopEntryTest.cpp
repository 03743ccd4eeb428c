#include "platform/linux/DesktopEntry.h"

#include <gtest/gtest.h>

using namespace ringlark::platform;

TEST(DesktopEntry, WrittenExecReadsBackAsTheSameProgramAndOnlyItsGroupCounts)
{
    for (const QString program : {"/tmp/quote\"d/`tick`/$HOME/x", "/tmp/back\\slash/100%/%U/tab\tand\nnewline\\"}) {
        const auto entry = parseDesktopEntry("[Desktop Action new]\nExec=wrong\n[Desktop Entry]\nExec=" + execValue(program)
                                             + "\n[Other]\nExec=later\n");
        ASSERT_TRUE(entry.has_value());
        EXPECT_EQ(execArguments(entry->value("Exec")), QStringList{program}) << execValue(program).toStdString();
    }
    EXPECT_FALSE(parseDesktopEntry("[Other]\nName=x\n").has_value());
}
