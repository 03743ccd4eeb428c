#include "platform/linux/LinuxServices.h"
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

TEST(PrivacySettings, PermissionsFollowTheSessionTheDaemonWillShare)
{
    using S = ringlark::platform::Privacy::Source;
    struct Case { const char* type; const char* wayland; const char* display; S expected; };
    const Case cases[] = {
        {"x11", "", ":0", S::x11Session},
        {"", "", ":1", S::x11Session},
        // Xwayland's display beside a Wayland one is still a Wayland session.
        {"wayland", "wayland-0", ":0", S::waylandSession},
        {"Wayland", "", ":0", S::waylandSession},
        {"", "wayland-0", "", S::waylandSession},
        {"tty", "", "", S::noDisplay},
        {"", "", "", S::noDisplay},
    };
    for (const Case& c : cases) {
        QProcessEnvironment env;
        for (const auto& [name, value] : {std::pair{"XDG_SESSION_TYPE", c.type}, std::pair{"WAYLAND_DISPLAY", c.wayland},
                                          std::pair{"DISPLAY", c.display}})
            if (*value)
                env.insert(name, value);
        EXPECT_EQ(permissionSource(env), c.expected) << c.type << '|' << c.wayland << '|' << c.display;
        // Before the daemon answers, the application's own check says the same.
        const LinuxPrivacy privacy(env);
        EXPECT_EQ(privacy.screenRecordingGranted(), c.expected == S::x11Session);
        EXPECT_EQ(privacy.accessibilityGranted(), c.expected == S::x11Session);
    }
}
