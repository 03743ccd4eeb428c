#include "platform/linux/LinuxWorkspace.h"
#include "support/Files.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QTemporaryDir>
#include <QThread>

using namespace ringlark::platform;
using ringlark::test::writeFile;

namespace {

const QString macsys = QStringLiteral("io.tailscale.ipn.macsys");
const QString macos = QStringLiteral("io.tailscale.ipn.macos");

struct Dirs {
    QTemporaryDir root;
    QString dataHome = root.filePath("home/applications"), dataDir = root.filePath("usr share/applications");
    QString bin = root.filePath("bin"), sbin = root.filePath("sbin"), proc = root.filePath("proc");
    LinuxWorkspace::Environment environment() const { return {{dataHome, dataDir}, {bin, sbin}, proc}; }
};

} // namespace

TEST(LinuxWorkspace, EnvironmentFollowsXdgDefaultsAndSkipsRelativeEntries)
{
    EXPECT_EQ(LinuxWorkspace::Environment::fromProcessEnvironment({}, "/h").applicationDirs,
              (QStringList{"/h/.local/share/applications", "/usr/local/share/applications", "/usr/share/applications"}));
    QProcessEnvironment env;
    env.insert("XDG_DATA_HOME", "/data");
    env.insert("XDG_DATA_DIRS", "/one:relative::/two");
    env.insert("PATH", "/usr/bin:bin:/sbin");
    const auto set = LinuxWorkspace::Environment::fromProcessEnvironment(env, "/h");
    EXPECT_EQ(set.applicationDirs, (QStringList{"/data/applications", "/one/applications", "/two/applications"}));
    EXPECT_EQ(set.searchPath, (QStringList{"/usr/bin", "/sbin"}));
}

TEST(LinuxWorkspace, DesktopFilesThenProgramsOnThePathAndRunningProcesses)
{
    Dirs dirs;
    const QByteArray app = "[Desktop Entry]\nName=A\nExec=a\n";
    writeFile(dirs.dataHome + "/org.example.Both.desktop", app);
    writeFile(dirs.dataDir + "/org.example.Both.desktop", app);
    writeFile(dirs.dataDir + "/org.example.System.desktop", app);
    // A hidden entry masks the same ID in later directories.
    writeFile(dirs.dataHome + "/org.example.Gone.desktop", "[Desktop Entry]\nHidden=true\n");
    writeFile(dirs.dataDir + "/org.example.Gone.desktop", app);
    // Not executable, so not a program; the daemon in the later directory is.
    writeFile(dirs.bin + "/tailscale", "not a program");
    writeFile(dirs.sbin + "/tailscaled", "#!/bin/sh\n", true);

    LinuxWorkspace workspace(dirs.environment());
    EXPECT_EQ(workspace.applicationLocation("org.example.Both"), dirs.dataHome + "/org.example.Both.desktop");
    EXPECT_EQ(workspace.applicationLocation("org.example.System"), dirs.dataDir + "/org.example.System.desktop");
    for (const char* absent : {"org.example.Gone", "org.example.Missing", "../applications/org.example.Both"})
        EXPECT_EQ(workspace.applicationLocation(absent), std::nullopt) << absent;
    EXPECT_EQ(workspace.applicationLocation(macsys), dirs.sbin + "/tailscaled");
    EXPECT_EQ(workspace.applicationLocation(macos), dirs.sbin + "/tailscaled");
    EXPECT_FALSE(workspace.openApplication(dirs.sbin + "/tailscaled")); // a bare program opens nothing
    EXPECT_FALSE(workspace.canOpenApplication(dirs.sbin + "/tailscaled"));
    EXPECT_TRUE(workspace.canOpenApplication(dirs.dataDir + "/org.example.System.desktop"));

    // A desktop file under the identifier wins over the program.
    writeFile(dirs.dataDir + "/" + macos + ".desktop", "[Desktop Entry]\nExec=tailscale-gui\n");
    EXPECT_EQ(workspace.applicationLocation(macos), dirs.dataDir + "/" + macos + ".desktop");

    // Running programs are read from process names and executable links.
    writeFile(dirs.proc + "/1/comm", "systemd\n");
    auto env = dirs.environment();
    env.programs.append(LinuxWorkspace::Program{"org.example.Long", {"averyveryverylongname"}});
    const LinuxWorkspace procs(env);
    EXPECT_EQ(procs.runningApplicationIdentifiers(), QStringList{});

    // The kernel cuts names to 15 characters.
    writeFile(dirs.proc + "/20/comm", "averyveryverylo\n");
    EXPECT_EQ(procs.runningApplicationIdentifiers(), QStringList{"org.example.Long"});

    // A process that renamed itself still shows through its executable.
    writeFile(dirs.proc + "/40/comm", "ts-worker\n");
    ASSERT_TRUE(QFile::link("/usr/sbin/tailscaled", dirs.proc + "/40/exe"));
    EXPECT_EQ(procs.runningApplicationIdentifiers(), (QStringList{macsys, macos, "org.example.Long"}));
}

TEST(LinuxWorkspace, TerminalIsTheSystemsChoiceFirstAndRunsTheLineUnderSh)
{
    struct Case { QStringList installed; QStringList expected; };
    const QStringList tail{"sh", "-c", "tailscale up"};
    const Case cases[] = {
        {{"xterm", "x-terminal-emulator", "konsole"}, QStringList{"x-terminal-emulator", "-e"} + tail},
        {{"xterm", "gnome-terminal"}, QStringList{"gnome-terminal", "--"} + tail},
        {{"xfce4-terminal"}, QStringList{"xfce4-terminal", "-x"} + tail},
        {{"xterm"}, QStringList{"xterm", "-e"} + tail},
        {{}, {}},
    };
    for (const Case& c : cases) {
        const auto command = LinuxWorkspace::terminalCommand(
            "tailscale up", [&](const QString& program) { return c.installed.contains(program); });
        EXPECT_EQ(command.value_or(QStringList{}), c.expected) << c.installed.join(',').toStdString();
    }

    // Started for real from the search path, detached.
    Dirs dirs;
    const QString record = dirs.root.filePath("ran");
    writeFile(dirs.bin + "/xterm",
              "#!/bin/sh\necho \"$@\" > '" + record.toUtf8() + ".tmp'\nmv '" + record.toUtf8() + ".tmp' '" + record.toUtf8() + "'\n",
              true);
    LinuxWorkspace workspace(dirs.environment());
    EXPECT_TRUE(workspace.hasTerminal());
    EXPECT_TRUE(workspace.runInTerminal("echo hi"));
    for (int i = 0; i < 200 && !QFile::exists(record); ++i)
        QThread::msleep(10);
    EXPECT_EQ(ringlark::test::readFile(record), "-e sh -c echo hi\n");
    QFile::remove(dirs.bin + "/xterm");
    EXPECT_FALSE(workspace.hasTerminal());
    EXPECT_FALSE(workspace.runInTerminal("echo hi"));
}
