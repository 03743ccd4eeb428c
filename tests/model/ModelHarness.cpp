#include "ModelHarness.h"

#include <QDir>
#include <QFile>

namespace ringlark::test {

namespace {

void write(const QString& path, const QByteArray& content)
{
    QFile file(path);
    file.open(QIODevice::WriteOnly | QIODevice::Truncate);
    file.write(content);
}

} // namespace

ModelHarness::ModelHarness()
{
    QDir(m_dir.path()).mkpath(QStringLiteral("home"));
    const QByteArray dir = m_dir.path().toUtf8();
    write(helper(), "#!/bin/sh\n"
                    "dir='" + dir + "'\n"
                    "case \"$1\" in\n"
                    "permissions)\n"
                    "  echo run >> \"$dir/permission-runs\"\n"
                    "  cat \"$dir/permissions.json\" 2>/dev/null\n"
                    "  [ -f \"$dir/hang\" ] && exec sleep 30\n"
                    "  exit 0 ;;\n"
                    "daemon)\n"
                    "  echo launched >> \"$dir/launches\"\n"
                    "  sleep 30 & child=$!\n"
                    "  trap 'kill $child; exit 0' TERM\n"
                    "  wait $child ;;\n"
                    "esac\n");
    QFile::setPermissions(helper(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
}

AppModel::Services ModelHarness::services() const
{
    AppModel::Services services;
    services.platform = platform.services();
    services.daemonBase = daemon.base();
    services.apiLimits = {std::chrono::milliseconds(500), std::chrono::milliseconds(1000)};
    services.home = home();
    services.helperExecutable = helper();
    services.applicationsFolder = m_dir.filePath(QStringLiteral("Applications"));
    services.supervisor.files = DaemonFiles{helper(), m_dir.filePath(QStringLiteral("home/.ringlark"))};
    services.supervisor.second = std::chrono::milliseconds(1);
    services.supervisor.stale.probe = []() -> QCoro::Task<bool> { co_return false; };
    services.agents.applicationsFolder = services.applicationsFolder;
    services.agents.shell.loginShell = QStringLiteral("/bin/sh");
    services.agents.shell.systemBinDirectories = {};
    services.permissionsTimeout = std::chrono::milliseconds(300);
    return services;
}

void ModelHarness::setFreshPermissions(const QByteArray& output, bool hang)
{
    write(m_dir.filePath(QStringLiteral("permissions.json")), output);
    if (hang)
        write(m_dir.filePath(QStringLiteral("hang")), "");
    else
        QFile::remove(m_dir.filePath(QStringLiteral("hang")));
}

int ModelHarness::permissionRuns() const { return lines(QStringLiteral("permission-runs")); }
int ModelHarness::daemonLaunches() const { return lines(QStringLiteral("launches")); }

int ModelHarness::lines(const QString& name) const
{
    QFile file(m_dir.filePath(name));
    if (!file.open(QIODevice::ReadOnly))
        return 0;
    return static_cast<int>(file.readAll().count('\n'));
}

Notifications::Notifications(AppModel& model)
{
    QObject::connect(&model, &AppModel::changed, [this](AppModel::Field f) { ++m_count[f]; });
}

int Notifications::operator[](AppModel::Field field) const
{
    const auto it = m_count.find(field);
    return it == m_count.end() ? 0 : it->second;
}

} // namespace ringlark::test
