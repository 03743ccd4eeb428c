#include "ui/menu/MenuTexts.h"

#include "model/AppModel.h"

#include <QFontMetricsF>
#include <QStringList>
#include <QTextLayout>

#include <algorithm>

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
        return QStringLiteral("Ringlark: streaming to your phone");
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
        return QStringLiteral("No phone paired yet");
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

QString setupItemText(bool needsSetup)
{
    return needsSetup ? QStringLiteral("Finish Setup…") : QStringLiteral("Setup…");
}

QString toolTip(const Facts& facts)
{
    const auto second = detail(facts);
    return second ? headline(facts) + QLatin1Char('\n') + *second : headline(facts);
}

QString menuLabel(QString text, MenuHost host)
{
    text.replace(QLatin1Char('\t'), QLatin1Char(' '));
    text.replace(QLatin1Char('\r'), QLatin1Char(' '));
    text.replace(QLatin1Char('\n'), QLatin1Char(' '));
    if (host == MenuHost::application)
        return text.replace(QLatin1Char('&'), QStringLiteral("&&"));
    text.replace(QLatin1Char('_'), QStringLiteral("__"));
    if (text.contains(QLatin1Char('&')))
        text.prepend(QLatin1Char('&'));
    return text;
}

namespace {

qreal widthOf(const QFont& font, int columns)
{
    return QFontMetricsF(font).averageCharWidth() * columns;
}

} // namespace

QString shortTitle(const QString& text, const QFont& font, int columns)
{
    return QFontMetricsF(font).elidedText(text.simplified(), Qt::ElideRight, widthOf(font, columns));
}

QStringList wrapped(const QString& text, const QFont& font, int columns, int maxLines)
{
    const QString plain = text.simplified();
    if (plain.isEmpty() || maxLines <= 0)
        return {};
    const qreal width = widthOf(font, columns);
    QTextLayout layout(plain, font);
    QTextOption option;
    option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    layout.setTextOption(option);
    QStringList lines;
    layout.beginLayout();
    for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine()) {
        line.setLineWidth(width);
        if (lines.size() == maxLines - 1) {
            // The last line allowed takes the rest, cut to fit.
            lines.append(QFontMetricsF(font).elidedText(plain.mid(line.textStart()), Qt::ElideRight, width));
            break;
        }
        lines.append(plain.mid(line.textStart(), line.textLength()).trimmed());
    }
    layout.endLayout();
    return lines;
}

RequestCut cutRequests(qsizetype pending, qsizetype limit)
{
    const qsizetype listed = std::clamp<qsizetype>(pending, 0, std::max<qsizetype>(limit, 0));
    return {listed, std::max<qsizetype>(pending, 0) - listed};
}

QString moreText(qsizetype more)
{
    return QStringLiteral("%1 more…").arg(more);
}

} // namespace ringlark::MenuTexts
