#include "daemon/supervisor/DaemonFiles.h"
#include "daemon/supervisor/Helpers.h"

#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace ringlark;
using namespace ringlark::test;

namespace {

QByteArray contents(const QString& path)
{
    QFile file(path);
    file.open(QIODevice::ReadOnly);
    return file.readAll();
}

} // namespace

TEST(DaemonFilesTest, FreshAccountGetsDirectoryAndEmptyLog)
{
    const auto files = DaemonFiles::at("/opt/Ringlark.app", "/home/someone");
    EXPECT_EQ(files.executable, "/opt/Ringlark.app/Contents/Helpers/ringlark");
    EXPECT_EQ(files.logFile(), "/home/someone/.ringlark/daemon.log");
    EXPECT_EQ(files.pidFile(), "/home/someone/.ringlark/daemon.pid");

    QTemporaryDir home;
    const auto fresh = DaemonFiles::at(home.path() + "/Ringlark.app", home.path());
    EXPECT_EQ(openLog(fresh), fresh.logFile());
    EXPECT_TRUE(QFileInfo(fresh.configDirectory).isDir());
    EXPECT_TRUE(QFileInfo::exists(fresh.logFile()));
    EXPECT_EQ(QFileInfo(fresh.logFile()).size(), 0);
    EXPECT_FALSE(QFileInfo::exists(fresh.rotatedLog()));
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
    EXPECT_EQ(contents(files.rotatedLog()), "older generation");

    writeFile(files.logFile(), atThreshold + 'b');
    EXPECT_EQ(openLog(files), files.logFile());
    EXPECT_EQ(QFileInfo(files.logFile()).size(), 0);
    EXPECT_EQ(contents(files.rotatedLog()), atThreshold + 'b');
}

TEST(DaemonFilesTest, ConfigDirectoryThatIsAFileFallsBackToNullDevice)
{
    QTemporaryDir home;
    const auto files = DaemonFiles::at(home.path(), home.path());
    writeFile(files.configDirectory, "not a directory");
    EXPECT_EQ(openLog(files), QProcess::nullDevice());
    EXPECT_TRUE(QFileInfo(files.configDirectory).isFile());
}
