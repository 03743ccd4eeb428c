#pragma once

#include "model/AppModel.h"
#include "support/StubDaemon.h"
#include "support/FakePlatform.h"
#include "support/Files.h"

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

    QString home() const { return m_dir.filePath("home"); }
    QString helper() const { return m_dir.filePath("ringlark"); }

    // What `ringlark permissions` prints next; `hang` makes it never finish.
    void setFreshPermissions(const QByteArray& output, bool hang = false);
    int permissionRuns() const { return lines("permission-runs"); }
    int daemonLaunches() const { return lines("launches"); }

    StubDaemon daemon;
    FakePlatform platform;

private:
    int lines(const QString& name) const;
    QTemporaryDir m_dir;
};

// Counts every notification per field.
class Notifications {
public:
    explicit Notifications(AppModel& model)
    {
        QObject::connect(&model, &AppModel::changed, [this](AppModel::Field f) { ++m_count[f]; });
    }
    int operator[](AppModel::Field field) const { return m_count.contains(field) ? m_count.at(field) : 0; }

private:
    std::map<AppModel::Field, int> m_count;
};

} // namespace ringlark::test
