#include "app/StateLog.h"

#include "model/AppModel.h"
#include "model/TailscaleState.h"

#include <QMetaEnum>
#include <QStringList>

namespace ringlark {

// Off unless asked for (QT_LOGGING_RULES="com.ringlark.mac.model.info=true"), so a
// user's terminal stays quiet.
Q_LOGGING_CATEGORY(stateLog, "com.ringlark.mac.model", QtWarningMsg)

namespace {

QString describe(const std::optional<QString>& text)
{
    return text ? QStringLiteral("\"%1\"").arg(*text) : QStringLiteral("none");
}

QString describe(const AppModel& model, AppModel::Field field)
{
    using Field = AppModel::Field;
    switch (field) {
    case Field::status: {
        const auto& s = model.status();
        if (!s)
            return QStringLiteral("none");
        return QStringLiteral("version %1 · tailscale %2 (host %3, error %4) · screen recording %5 · accessibility %6"
                              " · push %7/%8 · pending %9 · session %10")
            .arg(s->version, s->tailscale.ok ? "ok" : "not ok", describe(s->tailscale.host),
                 describe(s->tailscale.error), s->permissions.screenRecording ? "yes" : "no",
                 s->permissions.accessibility ? "yes" : "no", s->push.mode)
            .arg(s->push.devices)
            .arg(s->pending)
            .arg(s->sessionActive ? "active" : "idle");
    }
    case Field::daemonReachable:
        return model.daemonReachable() ? QStringLiteral("true") : QStringLiteral("false");
    case Field::pending: {
        QStringList lines;
        for (const auto& r : model.pending())
            lines << QStringLiteral("%1 \"%2\" from %3, %4").arg(r.id, r.reason, r.agent.value_or("?"), model.age(r));
        return QStringLiteral("%1 request(s)%2").arg(lines.size()).arg(lines.isEmpty() ? "" : ": " + lines.join("; "));
    }
    case Field::pairing:
        return model.pairing() ? model.pairing()->url : QStringLiteral("none");
    case Field::agents: {
        QStringList parts;
        for (const auto& [kind, status] : model.agents())
            parts << kind.rawValue() + ": " + status.describe();
        return parts.join(QStringLiteral(" · "));
    }
    case Field::agentBusy:
        return model.agentBusy() ? model.agentBusy()->rawValue() : QStringLiteral("none");
    case Field::agentError:
        return describe(model.agentError());
    case Field::launchAtLogin:
        return model.launchAtLogin() ? QStringLiteral("on") : QStringLiteral("off");
    case Field::now:
        return QString();
    case Field::openWindows:
        return QString::number(model.openWindows());
    case Field::devices:
        return QStringLiteral("%1 phone(s)").arg(model.devices().size());
    }
    return QString();
}

const char* name(AppModel::Field field)
{
    return QMetaEnum::fromType<AppModel::Field>().valueToKey(static_cast<int>(field));
}

} // namespace

void logPublishedState(AppModel& model)
{
    QObject::connect(&model, &AppModel::changed, &model, [&model](AppModel::Field field) {
        // The clock moves every cycle; logging it would drown the rest.
        if (field == AppModel::Field::now)
            return;
        qCInfo(stateLog).noquote() << name(field) << "=" << describe(model, field)
                                   << (model.isReady() ? "[ready]" : "[not ready]");
    });
}

} // namespace ringlark
