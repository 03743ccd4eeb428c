#include "helper/FakeDaemon.h"

#include <gtest/gtest.h>

#include <QProcess>
#include <QTemporaryFile>

using namespace ringlark::test;

// epoll cannot watch a file or /dev/null as input: they are still read to the
// end, answered, and what they asked for is withdrawn as the input ends.
TEST(McpInput, FilesAndTheNullDeviceAreReadToTheEnd)
{
    const std::string ask = R"({"jsonrpc":"2.0","id":2,"method":"tools/call",)"
                            R"("params":{"name":"request_human","arguments":{"reason":"from a file"}}})";
    const struct {
        const char* name;
        std::optional<std::string> file; // none: the null device
        int replies;
        bool asks;
    } cases[] = {
        {"null device", std::nullopt, 0, false},
        {"file", R"({"jsonrpc":"2.0","id":1,"method":"ping"})" "\n" + ask + "\n", 1, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FakeDaemon daemon;
        QTemporaryFile input;
        ASSERT_TRUE(input.open());
        input.write(QByteArray::fromStdString(c.file.value_or("")));
        input.flush();

        QProcess mcp;
        auto environment = QProcessEnvironment::systemEnvironment();
        environment.insert("HOME", QString::fromStdString(daemon.home.string()));
        mcp.setProcessEnvironment(environment);
        mcp.setStandardInputFile(c.file ? input.fileName() : QProcess::nullDevice());
        mcp.start(QStringLiteral(RINGLARK_HELPER_PATH), {"mcp"});
        ASSERT_TRUE(mcp.waitForFinished(3000));
        EXPECT_EQ(mcp.exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(mcp.exitCode(), 0);
        EXPECT_EQ(mcp.readAllStandardOutput().count('\n'), c.replies);
        if (c.asks) {
            ASSERT_EQ(daemon.ids().size(), 1u);
            EXPECT_TRUE(daemon.awaitStatus(daemon.ids()[0], "withdrawn"));
        }
    }
}
