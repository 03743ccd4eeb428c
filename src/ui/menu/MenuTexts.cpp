#include "ui/menu/MenuTexts.h"

#include "model/AppModel.h"
#include "ui/menu/MenuBarIcon.h"

#include <QStringList>

namespace ringlark::MenuTexts {

Facts Facts::of(const AppModel& model)
{
    Facts facts;
    facts.daemonReachable = model.daemonReachable();
    facts.status = model.status();
    facts.pending = model.pending().size();
    if (facts.daemonReachable) {
        // The model's verdict, derived once per cycle: it looks through the file system.
        facts.tailscale = model.tailscaleState();
        facts.ready = model.isReady();
    }
    facts.needsSetup = model.needsSetup();
    return facts;
}

QString headline(const Facts& facts)
{
    if (!facts.daemonReachable)
        return QStringLiteral("Ringlark: starting…");
    if (facts.status && facts.status->sessionActive)
        return QStringLiteral("Ringlark: streaming to your iPhone");
    if (facts.pending >= 1)
        return QStringLiteral("Ringlark: %1 request%2 waiting")
            .arg(facts.pending)
            .arg(facts.pending == 1 ? QString() : QStringLiteral("s"));
    if (facts.ready)
        return QStringLiteral("Ringlark: ready");
    return QStringLiteral("Ringlark: needs attention");
}

std::optional<QString> detail(const Facts& facts)
{
    if (!facts.daemonReachable || !facts.tailscale)
        return std::nullopt;
    switch (facts.tailscale->kind()) {
    case TailscaleState::Kind::connecting:
        return facts.tailscale->message();
    case TailscaleState::Kind::notInstalled:
        return QStringLiteral("Tailscale is not installed");
    case TailscaleState::Kind::notRunning:
        return QStringLiteral("Tailscale is not running");
    case TailscaleState::Kind::needsLogin:
        return QStringLiteral("Tailscale needs a login");
    case TailscaleState::Kind::ready:
        break;
    }
    // Ready can only come from a held status.
    if (!facts.status)
        return std::nullopt;
    if (!facts.status->permissions.screenRecording)
        return QStringLiteral("Screen Recording not allowed");
    if (!facts.status->permissions.accessibility)
        return QStringLiteral("Accessibility not allowed");
    if (facts.status->push.devices == 0)
        return QStringLiteral("No iPhone paired yet");
    return facts.tailscale->host();
}

QString describe(const HelpRequest& request, const QString& ageText)
{
    QStringList parts{ageText};
    if (request.agent && !request.agent->isEmpty())
        parts.prepend(*request.agent);
    if (request.app && !request.app->isEmpty())
        parts.append(*request.app);
    return parts.join(QStringLiteral(" · "));
}

IconLook iconLook(const Facts& facts)
{
    if (facts.ready)
        return IconLook::regular;
    return facts.daemonReachable ? IconLook::dimmed : IconLook::regular;
}

qreal opacity(IconLook look)
{
    return look == IconLook::dimmed ? MenuBarIcon::dimmedOpacity : MenuBarIcon::regularOpacity;
}

QString setupItemText(bool needsSetup)
{
    return needsSetup ? QStringLiteral("Finish Setup…") : QStringLiteral("Setup…");
}

QString toolTip(const Facts& facts)
{
    const auto second = detail(facts);
    return second ? headline(facts) + QLatin1Char('\n') + *second : headline(facts);
}

QString forMenu(QString text)
{
    text.replace(QLatin1Char('&'), QStringLiteral("&&"));
    text.replace(QLatin1Char('\t'), QLatin1Char(' '));
    text.replace(QLatin1Char('\n'), QLatin1Char(' '));
    return text;
}

} // namespace ringlark::MenuTexts
