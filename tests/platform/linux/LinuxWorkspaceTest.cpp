#include "platform/linux/DesktopEntry.h"
#include "platform/linux/LinuxWorkspace.h"
#include "support/EventLoop.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

using namespace ringlark::platform;
using namespace ringlark::test;

namespace {

const QString macsys = QStringLiteral("io.tailscale.ipn.macsys");
const QString macos = QStringLiteral("io.tailscale.ipn.macos");

void writeFile(const QString& path, const QByteArray& contents, bool executable = false)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly)) << path.toStdString();
    file.write(contents);
    if (executable)
        file.setPermissions(file.permissions() | QFile::ExeOwner);
}

struct Dirs {
    QTemporaryDir root;
    QString dataHome = root.filePath("home/applications");
    QString dataDir = root.filePath("usr share/applications");
    QString bin = root.filePath("bin");
    QString sbin = root.filePath("sbin");

    LinuxWorkspace::Environment environment() const
    {
        return {{dataHome, dataDir}, {bin, sbin}, root.filePath("proc"), LinuxWorkspace::knownPrograms()};
    }
};

} // namespace

TEST(LinuxWorkspace, EnvironmentFollowsXdgDefaultsAndSkipsRelativeEntries)
{
    const auto defaults = LinuxWorkspace::Environment::fromProcessEnvironment({}, "/h");
    EXPECT_EQ(defaults.applicationDirs,
              (QStringList{"/h/.local/share/applications", "/usr/local/share/applications", "/usr/share/applications"}));

    QProcessEnvironment env;
    env.insert("XDG_DATA_HOME", "/data");
    env.insert("XDG_DATA_DIRS", "/one:relative::/two");
    env.insert("PATH", "/usr/bin:bin:/sbin");
    const auto set = LinuxWorkspace::Environment::fromProcessEnvironment(env, "/h");
    EXPECT_EQ(set.applicationDirs, (QStringList{"/data/applications", "/one/applications", "/two/applications"}));
    EXPECT_EQ(set.searchPath, (QStringList{"/usr/bin", "/sbin"}));
}

TEST(LinuxWorkspace, DesktopFilesAreFoundInDirectoryOrderAndHiddenMasksLaterOnes)
{
    Dirs dirs;
    const QByteArray app = "[Desktop Entry]\nName=A\nExec=a\n";
    writeFile(dirs.dataHome + "/org.example.Both.desktop", app);
    writeFile(dirs.dataDir + "/org.example.Both.desktop", app);
    writeFile(dirs.dataDir + "/org.example.System.desktop", app);
    writeFile(dirs.dataHome + "/org.example.Gone.desktop", "[Desktop Entry]\nHidden=true\n");
    writeFile(dirs.dataDir + "/org.example.Gone.desktop", app);

    const LinuxWorkspace workspace(dirs.environment());
    EXPECT_EQ(workspace.applicationLocation("org.example.Both"), dirs.dataHome + "/org.example.Both.desktop");
    EXPECT_EQ(workspace.applicationLocation("org.example.System"), dirs.dataDir + "/org.example.System.desktop");
    EXPECT_EQ(workspace.applicationLocation("org.example.Gone"), std::nullopt);
    EXPECT_EQ(workspace.applicationLocation("org.example.Missing"), std::nullopt);
    EXPECT_EQ(workspace.applicationLocation("../applications/org.example.Both"), std::nullopt);
}

TEST(LinuxWorkspace, TailscaleProgramOnThePathCountsAsInstalled)
{
    Dirs dirs;
    // Not executable, so not a program; the daemon in the later directory is.
    writeFile(dirs.bin + "/tailscale", "not a program");
    writeFile(dirs.sbin + "/tailscaled", "#!/bin/sh\n", true);

    LinuxWorkspace workspace(dirs.environment());
    EXPECT_EQ(workspace.applicationLocation(macsys), dirs.sbin + "/tailscaled");
    EXPECT_EQ(workspace.applicationLocation(macos), dirs.sbin + "/tailscaled");

    // A desktop file under the identifier wins over the program.
    writeFile(dirs.dataDir + "/" + macos + ".desktop", "[Desktop Entry]\nExec=tailscale-gui\n");
    EXPECT_EQ(workspace.applicationLocation(macos), dirs.dataDir + "/" + macos + ".desktop");

    // An empty search path finds nothing rather than falling back to the real PATH.
    auto env = dirs.environment();
    env.searchPath.clear();
    EXPECT_EQ(LinuxWorkspace(env).applicationLocation(macsys), std::nullopt);
}

TEST(LinuxWorkspace, RunningProgramsAreReadFromProcessNamesAndExecutableLinks)
{
    Dirs dirs;
    const QString proc = dirs.root.filePath("proc");
    writeFile(proc + "/1/comm", "systemd\n");
    writeFile(proc + "/self/comm", "tailscaled\n"); // not a process directory

    auto env = dirs.environment();
    env.programs.append(LinuxWorkspace::Program{"org.example.Long", {"averyveryverylongname"}});
    const LinuxWorkspace workspace(env);
    EXPECT_EQ(workspace.runningApplicationIdentifiers(), QStringList{});

    // The kernel cuts names to 15 characters.
    writeFile(proc + "/20/comm", "averyveryverylo\n");
    EXPECT_EQ(workspace.runningApplicationIdentifiers(), QStringList{"org.example.Long"});

    // A process that renamed itself still shows through its executable.
    writeFile(proc + "/40/comm", "ts-worker\n");
    ASSERT_TRUE(QFile::link("/usr/sbin/tailscaled", proc + "/40/exe"));
    EXPECT_EQ(workspace.runningApplicationIdentifiers(), (QStringList{macsys, macos, "org.example.Long"}));
}

TEST(LinuxWorkspace, OpensDesktopFilesAndBundlesButNotBarePrograms)
{
    Dirs dirs;
    // Records its arguments beside itself, one a line, once complete.
    const QByteArray recorder = "#!/bin/sh\ncd \"$(dirname \"$0\")\" && printf '%s\\n' \"$@\" > args.tmp && mv args.tmp args\n";
    const QString script = dirs.root.filePath("my apps/launch me.sh");
    writeFile(script, recorder, true);
    const QString desktop = dirs.dataHome + "/org.example.Launch.desktop";
    writeFile(desktop, ("[Desktop Entry]\nExec=" + execValue(script) + " --from %k %U\n").toUtf8());

    LinuxWorkspace workspace(dirs.environment());
    EXPECT_TRUE(workspace.openApplication(desktop));
    QFile args(dirs.root.filePath("my apps/args"));
    ASSERT_TRUE(spinUntil([&] { return args.exists(); }, 5000ms));
    ASSERT_TRUE(args.open(QIODevice::ReadOnly));
    EXPECT_EQ(QString::fromUtf8(args.readAll()), "--from\n" + desktop + "\n");

    writeFile(dirs.root.filePath("Tailscale.app/Contents/MacOS/Tailscale"), recorder, true);
    EXPECT_TRUE(workspace.openApplication(dirs.root.filePath("Tailscale.app")));
    EXPECT_TRUE(spinUntil([&] { return QFile::exists(dirs.root.filePath("Tailscale.app/Contents/MacOS/args")); }));

    writeFile(dirs.bin + "/tailscale", recorder, true);
    EXPECT_FALSE(workspace.openApplication(dirs.bin + "/tailscale"));
    writeFile(dirs.dataHome + "/org.example.Broken.desktop", "[Desktop Entry]\nExec=\"/unterminated\n");
    EXPECT_FALSE(workspace.openApplication(dirs.dataHome + "/org.example.Broken.desktop"));
    spinFor(100ms);
    EXPECT_FALSE(QFile::exists(dirs.bin + "/args"));
}
