#include "platform/linux/AutostartLoginItem.h"
#include "platform/linux/DesktopEntry.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

using namespace ringlark::platform;
using Status = LoginItem::Status;

namespace {

void overwrite(const QString& path, const QByteArray& contents)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(contents);
    file.setPermissions(file.permissions() | QFile::ExeOwner);
}

QString readAll(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

struct Home {
    QTemporaryDir root;
    QString config = root.filePath("config dir/nested");
    // A real executable at a path with spaces, as a bundle moved by the user would have.
    QString executable = root.filePath("My Apps/Ring lark.app/Contents/MacOS/Ringlark");
    Home() { overwrite(executable, "#!/bin/sh\n"); }
};

} // namespace

TEST(AutostartLoginItem, RegisterWritesAnEntryForThisExecutableAndUnregisterRemovesIt)
{
    Home home;
    AutostartLoginItem item(home.config, home.executable);
    EXPECT_EQ(item.entryPath(), home.config + "/autostart/com.ringlark.mac.desktop");
    EXPECT_EQ(item.status(), Status::notRegistered);

    ASSERT_TRUE(item.registerItem().has_value());
    EXPECT_EQ(item.status(), Status::enabled);
    const QString text = readAll(item.entryPath());
    EXPECT_TRUE(text.contains("\nExec=\"" + home.executable + "\"\n")) << text.toStdString();
    EXPECT_EQ(execArguments(parseDesktopEntry(text)->value("Exec")), QStringList{home.executable});

    // Registering again leaves no temporary files behind.
    ASSERT_TRUE(item.registerItem().has_value());
    EXPECT_EQ(QDir(home.config + "/autostart").entryList(QDir::Files), QStringList{"com.ringlark.mac.desktop"});

    EXPECT_TRUE(item.unregisterItem().has_value());
    EXPECT_FALSE(QFile::exists(item.entryPath()));
    EXPECT_EQ(item.status(), Status::notRegistered);
    EXPECT_TRUE(item.unregisterItem().has_value());
}

TEST(AutostartLoginItem, StatusReadsSwitchedOffAndStaleEntries)
{
    Home home;
    AutostartLoginItem item(home.config, home.executable);
    ASSERT_TRUE(item.registerItem().has_value());
    QString registered = readAll(item.entryPath());

    overwrite(item.entryPath(), (registered + "Hidden=true\n").toUtf8());
    EXPECT_EQ(item.status(), Status::notRegistered);
    overwrite(item.entryPath(), registered.replace("Autostart-enabled=true", "Autostart-enabled=false").toUtf8());
    EXPECT_EQ(item.status(), Status::notRegistered);
    overwrite(item.entryPath(), "not a desktop entry");
    EXPECT_EQ(item.status(), Status::notFound);

    // Switching it on again rewrites whatever was there.
    ASSERT_TRUE(item.registerItem().has_value());
    EXPECT_EQ(item.status(), Status::enabled);

    // The build the entry names was moved away.
    ASSERT_TRUE(QFile::remove(home.executable));
    EXPECT_EQ(item.status(), Status::notFound);
}

TEST(AutostartLoginItem, ConfigDirectoryComesFromTheEnvironmentAndFailuresAreDescribed)
{
    Home home;
    const QString plainFile = home.root.filePath("config");
    overwrite(plainFile, "I am a file");

    AutostartLoginItem item(plainFile, home.executable);
    const auto result = item.registerItem();
    ASSERT_FALSE(result.has_value());
    // The reason comes from the system, in the user's language.
    const QString prefix = "Could not create " + plainFile + "/autostart: ";
    EXPECT_TRUE(result.error().description.startsWith(prefix)) << result.error().description.toStdString();
    EXPECT_GT(result.error().description.size(), prefix.size());
    EXPECT_EQ(item.status(), Status::notRegistered);

    QProcessEnvironment env;
    env.insert("XDG_CONFIG_HOME", "relative/config");
    EXPECT_EQ(xdgConfigHome(env, "/home/u"), "/home/u/.config");
    env.insert("XDG_CONFIG_HOME", "/elsewhere");
    EXPECT_EQ(xdgConfigHome(env, "/home/u"), "/elsewhere");
}
