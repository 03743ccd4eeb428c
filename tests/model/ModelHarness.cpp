#include "ModelHarness.h"

#include <QFile>

namespace ringlark::test {

ModelHarness::ModelHarness()
{
    writeFile(helper(),
              "#!/bin/sh\n"
              "dir='" + m_dir.path().toUtf8() + "'\n"
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
              "esac\n",
              true);
    // The daemon's token, where the model reads it; the fake daemon refuses
    // requests without it.
    daemon.writeToken(home() + "/.ringlark");
}

AppModel::Services ModelHarness::services() const
{
    AppModel::Services services;
    services.platform = platform.services();
    services.daemonBase = daemon.base();
    services.apiLimits = {std::chrono::milliseconds(500), std::chrono::milliseconds(1000)};
    services.home = home();
    services.supervisor.files = DaemonFiles{helper(), home() + "/.ringlark"};
    services.supervisor.second = std::chrono::milliseconds(1);
    services.supervisor.stale.probe = []() -> QCoro::Task<bool> { co_return false; };
    services.agents.applicationsFolder = m_dir.filePath("Applications");
    services.agents.shell.loginShell = "/bin/sh";
    services.agents.shell.systemBinDirectories = {};
    services.permissionsTimeout = std::chrono::milliseconds(300);
    return services;
}

void ModelHarness::setFreshPermissions(const QByteArray& output, bool hang)
{
    writeFile(m_dir.filePath("permissions.json"), output);
    if (hang)
        writeFile(m_dir.filePath("hang"), "");
    else
        QFile::remove(m_dir.filePath("hang"));
}

int ModelHarness::lines(const QString& name) const
{
    QFile file(m_dir.filePath(name));
    return file.open(QIODevice::ReadOnly) ? static_cast<int>(file.readAll().count('\n')) : 0;
}

} // namespace ringlark::test
