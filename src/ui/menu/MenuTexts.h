#pragma once

#include "daemon/api/Records.h"
#include "model/TailscaleState.h"
#include "ui/menu/MenuBarIcon.h"

#include <QString>
#include <QStringList>

#include <optional>

class QFont;

namespace ringlark {

class AppModel;

namespace MenuTexts {

// What the menu and the icon are computed from, read out of the model in one
// go so that the wording can be checked without a model.
struct Facts {
    bool daemonReachable = false;
    std::optional<RinglarkStatus> status;
    // Only worked out while the daemon answers; nothing reads it otherwise.
    std::optional<TailscaleState> tailscale;
    qsizetype pending = 0;
    bool ready = false;
    bool needsSetup = true;

    static Facts of(const AppModel& model);
    bool operator==(const Facts&) const = default;
};

QString headline(const Facts& facts);
// The first unmet prerequisite, or the Tailscale host once all are met;
// nothing while the daemon does not answer.
std::optional<QString> detail(const Facts& facts);
// One line about a request: agent · age · app, leaving out what is missing.
QString describe(const HelpRequest& request, const QString& ageText);
// Muted exactly while the daemon answers but something is not ready.
IconLook iconLook(const Facts& facts);
QString setupItemText(bool needsSetup);
// The panel shows no text beside the icon, so the tooltip carries both lines.
QString toolTip(const Facts& facts);

// Who draws the menu: the application itself (a QMenu, as under an XEmbed
// tray) or the panel, which reads it over D-Bus.
enum class MenuHost { application, panel };

// The label that shows `text` literally in a menu drawn by `host`. A QMenu
// takes "&" as a mnemonic mark and "&&" as a literal one. Qt 6.4 hands the
// same label to a panel after turning its first "&" into "_", the panel's
// mnemonic mark, and leaves the rest alone, while the panel reads "__" as a
// literal "_" and "&" as itself: so underscores are doubled there and, when
// the text holds an "&", one "&" is put in front for Qt to turn into a
// harmless mark on the first character. Tabs and line breaks become blanks
// (a tab starts a shortcut column).
QString menuLabel(QString text, MenuHost host);

// How wide menu texts run, in average characters of the menu's font.
inline constexpr int titleColumns = 40;
inline constexpr int lineColumns = 56;

// `text` on one line, cut with "…" where it runs wider than `columns`
// average characters of `font`.
QString shortTitle(const QString& text, const QFont& font, int columns = titleColumns);

// `text` broken into lines no wider than `columns` average characters of
// `font`, at word boundaries where it can be; beyond `maxLines` the last
// line ends in "…".
QStringList wrapped(const QString& text, const QFont& font, int columns = lineColumns, int maxLines = 12);

// At most `limit` requests are listed, so the fixed entries below them stay
// on screen; the rest are counted in one "N more…" entry.
struct RequestCut {
    qsizetype listed = 0;
    qsizetype more = 0;
    bool operator==(const RequestCut&) const = default;
};
inline constexpr qsizetype listedRequests = 10;
RequestCut cutRequests(qsizetype pending, qsizetype limit = listedRequests);
QString moreText(qsizetype more);

} // namespace MenuTexts
} // namespace ringlark
