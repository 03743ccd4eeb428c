#include "daemon/supervisor/DaemonFiles.h"
#include "daemon/supervisor/Helpers.h"

#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace ringlark;
using namespace ringlark::test;

TEST(DaemonFilesTest, FreshAccountGetsDirectoryAndEmptyLog)
{
    const auto files = DaemonFiles::at("/opt/Ringlark.app", "/home/someone");
    EXPECT_EQ(files.executable, "/opt/Ringlark.app/Contents/Helpers/ringlark");
    EXPECT_EQ(files.logFile(), "/home/someone/.ringlark/daemon.log");
    EXPECT_EQ(files.pidFile(), "/home/someone/.ringlark/daemon.pid");

    QTemporaryDir home;
    const auto fresh = DaemonFiles::at(home.path(), home.path() + "/deeper");
    EXPECT_EQ(openLog(fresh), fresh.logFile());
    EXPECT_TRUE(QFileInfo(fresh.logFile()).isFile());
    EXPECT_EQ(QFileInfo(fresh.logFile()).size(), 0);
}

TEST(DaemonFilesTest, RotatesOnlyALogAboveTheThreshold)
{
    QTemporaryDir home;
    const auto files = DaemonFiles::at(home.path(), home.path());
    QDir().mkpath(files.configDirectory);
    writeFile(files.rotatedLog(), "older generation");

    const QByteArray atThreshold(logRotationThreshold, 'a');
    writeFile(files.logFile(), atThreshold);
    EXPECT_EQ(openLog(files), files.logFile());
    EXPECT_EQ(QFileInfo(files.logFile()).size(), logRotationThreshold);
    EXPECT_EQ(QFileInfo(files.rotatedLog()).size(), 16);

    writeFile(files.logFile(), atThreshold + 'b');
    EXPECT_EQ(openLog(files), files.logFile());
    EXPECT_EQ(QFileInfo(files.logFile()).size(), 0);
    EXPECT_EQ(QFileInfo(files.rotatedLog()).size(), logRotationThreshold + 1);
}

TEST(DaemonFilesTest, ConfigDirectoryThatIsAFileFallsBackToNullDevice)
{
    QTemporaryDir home;
    const auto files = DaemonFiles::at(home.path(), home.path());
    writeFile(files.configDirectory, "not a directory");
    EXPECT_EQ(openLog(files), QProcess::nullDevice());
}
