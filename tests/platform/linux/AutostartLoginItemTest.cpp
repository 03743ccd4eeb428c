#include "platform/linux/AutostartLoginItem.h"
#include "platform/linux/DesktopEntry.h"
#include "support/Files.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>

using namespace ringlark::platform;
using Status = LoginItem::Status;

using ringlark::test::writeFile;

TEST(AutostartLoginItem, RegisterReadSwitchedOffEntriesUnregisterAndDescribeFailures)
{
    const QTemporaryDir root;
    const QString config = root.filePath("config dir");
    // A real executable at a path with spaces, as a bundle moved by the user would have.
    const QString executable = root.filePath("My Apps/Ring lark.app/Contents/MacOS/Ringlark");
    writeFile(executable, "#!/bin/sh\n", true);
    AutostartLoginItem item(config, executable);
    EXPECT_EQ(item.entryPath(), config + "/autostart/com.ringlark.mac.desktop");
    EXPECT_EQ(item.status(), Status::notRegistered);

    ASSERT_TRUE(item.registerItem().has_value());
    EXPECT_EQ(item.status(), Status::enabled);
    QFile file(item.entryPath());
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    QString text = QString::fromUtf8(file.readAll());
    EXPECT_TRUE(text.contains("\nExec=\"" + executable + "\"\n")) << text.toStdString();

    writeFile(item.entryPath(), (text + "Hidden=true\n").toUtf8());
    EXPECT_EQ(item.status(), Status::notRegistered);
    writeFile(item.entryPath(), text.replace("Autostart-enabled=true", "Autostart-enabled=false").toUtf8());
    EXPECT_EQ(item.status(), Status::notRegistered);

    // Switching it on again rewrites the entry.
    ASSERT_TRUE(item.registerItem().has_value());
    EXPECT_EQ(item.status(), Status::enabled);

    // The build the entry names was moved away.
    ASSERT_TRUE(QFile::remove(executable));
    EXPECT_EQ(item.status(), Status::notFound);

    EXPECT_TRUE(item.unregisterItem().has_value());
    EXPECT_FALSE(QFile::exists(item.entryPath()));
    EXPECT_EQ(item.status(), Status::notRegistered);
    EXPECT_TRUE(item.unregisterItem().has_value());

    // A configuration folder that is a plain file.
    const QString plainFile = root.filePath("config");
    writeFile(plainFile, "I am a file");
    AutostartLoginItem broken(plainFile, executable);
    const auto result = broken.registerItem();
    ASSERT_FALSE(result.has_value());
    // The reason comes from the system, in the user's language.
    const QString prefix = "Could not create " + plainFile + "/autostart: ";
    EXPECT_TRUE(result.error().description.startsWith(prefix)) << result.error().description.toStdString();
    EXPECT_GT(result.error().description.size(), prefix.size());
    EXPECT_EQ(broken.status(), Status::notRegistered);
}

TEST(AutostartLoginItem, EntryRunsTheExactExecutableWhateverItsPathAndValidates)
{
    const QTemporaryDir root;
    const QString validator = QStandardPaths::findExecutable("desktop-file-validate");
    const QStringList paths = {
        "/opt/Ringlark.app/Contents/MacOS/Ringlark",
        "/home/ann/My Apps/Ring lark.app/Contents/MacOS/Ringlark",
        R"(/tmp/odd "quoted" $HOME `tick` 100% back\slash/Ringlark)",
    };
    for (const QString& path : paths) {
        SCOPED_TRACE(path.toStdString());
        const QString text = autostartEntry(path);
        const auto entry = parseDesktopEntry(text);
        ASSERT_TRUE(entry.has_value());
        EXPECT_EQ(execArguments(entry->value("Exec")), QStringList{path});
        EXPECT_EQ(entry->value("TryExec"), path);

        if (validator.isEmpty())
            continue;
        const QString file = root.filePath("com.ringlark.mac.desktop");
        writeFile(file, text.toUtf8());
        QProcess check;
        check.start(validator, {file});
        ASSERT_TRUE(check.waitForFinished(10000));
        const QString output = QString::fromUtf8(check.readAll());
        EXPECT_EQ(check.exitCode(), 0) << output.toStdString();
        EXPECT_FALSE(output.contains("error:")) << output.toStdString();
    }
}
