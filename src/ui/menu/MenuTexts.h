#pragma once

#include "daemon/api/Records.h"
#include "model/TailscaleState.h"

#include <QString>

#include <optional>

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

enum class IconLook { regular, dimmed };

QString headline(const Facts& facts);
// The first unmet prerequisite, or the Tailscale host once all are met;
// nothing while the daemon does not answer.
std::optional<QString> detail(const Facts& facts);
// One line about a request: agent · age · app, leaving out what is missing.
QString describe(const HelpRequest& request, const QString& ageText);
// Faded exactly while the daemon answers but something is not ready.
IconLook iconLook(const Facts& facts);
qreal opacity(IconLook look);
QString setupItemText(bool needsSetup);
// The panel shows no text beside the icon, so the tooltip carries both lines.
QString toolTip(const Facts& facts);

// A text as a menu entry shows it literally: "&" would otherwise mark a
// mnemonic and a tab would start a shortcut column.
QString forMenu(QString text);

} // namespace MenuTexts
} // namespace ringlark
