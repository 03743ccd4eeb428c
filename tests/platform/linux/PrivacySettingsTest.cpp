#include "platform/linux/PrivacySettings.h"
#include "support/EventLoop.h"
#include "support/Files.h"

#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QTemporaryDir>

using namespace ringlark::platform;
using namespace ringlark::test;

TEST(PrivacySettings, CommandByDesktopAndInstalledPrograms)
{
    struct Case { const char* desktop; const char* kde; QStringList installed; std::optional<SettingsCommand> expected; };
    const SettingsCommand gnome{"gnome-control-center", {"privacy"}};
    const Case cases[] = {
        {"GNOME", "", {"gnome-control-center"}, gnome},
        {"ubuntu:GNOME", "", {"gnome-control-center"}, gnome},
        {"GNOME", "", {"systemsettings"}, std::nullopt},
        // A desktop whose name only contains a known one is not that desktop.
        {"GNOME-Flashback", "", {"gnome-control-center"}, std::nullopt},
        {"KDE", "6", {"systemsettings", "kcmshell6"}, SettingsCommand{"systemsettings", {"kcm_app-permissions"}}},
        {"KDE", "6", {"kcmshell6"}, SettingsCommand{"kcmshell6", {"kcm_app-permissions"}}},
        {"KDE", "5", {"kcmshell5"}, SettingsCommand{"kcmshell5", {"kcm_flatpak"}}},
        {"KDE", "", {"systemsettings5"}, SettingsCommand{"systemsettings5", {"kcm_flatpak"}}},
        {"XFCE", "", {"gnome-control-center", "systemsettings"}, std::nullopt},
        {"", "", {"gnome-control-center"}, std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.desktop << " " << c.kde << " " << c.installed.join(',').toStdString());
        const auto onPath = [&](const QString& program) { return c.installed.contains(program); };
        EXPECT_EQ(privacySettingsCommand(c.desktop, c.kde, onPath), c.expected);
    }
}

TEST(PrivacySettings, StartsTheProgramFromThePathWithoutWaiting)
{
    QTemporaryDir bin;
    const QString record = bin.filePath("ran");
    writeFile(bin.filePath("gnome-control-center"),
              "#!/bin/sh\nsleep 0.5\necho \"$@\" > '" + record.toUtf8() + ".tmp'\nmv '" + record.toUtf8() + ".tmp' '"
                  + record.toUtf8() + "'\n",
              true);

    QProcessEnvironment env;
    env.insert("XDG_CURRENT_DESKTOP", "ubuntu:GNOME");
    env.insert("PATH", bin.path());
    QElapsedTimer timer;
    timer.start();
    EXPECT_TRUE(openPrivacySettings(env));
    EXPECT_LT(timer.elapsed(), 400); // the program is still running
    ASSERT_TRUE(spinUntil([&] { return QFile::exists(record); }, 3000ms));
    EXPECT_EQ(readFile(record), "privacy\n");

    // Nothing known to open: nothing starts.
    env.insert("XDG_CURRENT_DESKTOP", "KDE");
    EXPECT_FALSE(openPrivacySettings(env));
    env.insert("XDG_CURRENT_DESKTOP", "GNOME");
    env.remove("PATH");
    EXPECT_FALSE(openPrivacySettings(env));
}
