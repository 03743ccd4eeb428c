#pragma once

#include "model/AppModel.h"
#include "support/FakeDaemon.h"
#include "support/FakePlatform.h"

#include <QTemporaryDir>

#include <map>

namespace ringlark::test {

// A model wired to fakes: a fake daemon on an ephemeral port, fake platform
// services, a temporary home, and a fake helper script that records its
// daemon launches and prints whatever permissions the test chooses.
class ModelHarness {
public:
    ModelHarness();

    AppModel::Services services() const;

    QString home() const { return m_dir.filePath(QStringLiteral("home")); }
    QString helper() const { return m_dir.filePath(QStringLiteral("ringlark")); }

    // What `ringlark permissions` prints next; `hang` makes it never finish.
    void setFreshPermissions(const QByteArray& output, bool hang = false);
    int permissionRuns() const;
    int daemonLaunches() const;

    FakeDaemon daemon;
    FakePlatform platform;

private:
    int lines(const QString& name) const;

    QTemporaryDir m_dir;
};

// Counts every notification per field.
class Notifications {
public:
    explicit Notifications(AppModel& model);
    int operator[](AppModel::Field field) const;

private:
    std::map<AppModel::Field, int> m_count;
};

} // namespace ringlark::test
