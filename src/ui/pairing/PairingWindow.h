#pragma once

#include "daemon/api/Records.h"
#include "model/TailscaleState.h"
#include "ui/setup/TailscaleFix.h"

#include <QImage>
#include <QString>
#include <QStringList>
#include <QWidget>

#include <chrono>
#include <optional>

class QLabel;
class QPushButton;

namespace ringlark {

class AppModel;

namespace pairing {
class CodeView;

// What the card says while it shows no code: why not, and the one button
// that helps, if any (the setup window's Tailscale row has the same).
struct Placeholder {
    QString heading;
    QString message;
    QString button;
    setup::TailscaleAction action = setup::TailscaleAction::none;
    bool operator==(const Placeholder&) const = default;
};

Placeholder placeholder(bool daemonReachable, const std::optional<RinglarkStatus>& status,
                        const TailscaleState& tailscale, setup::TailscaleAccess access);

// The steps under the code, in order.
QStringList steps();
} // namespace pairing

// What the pairing window shows: the daemon's pairing link as a QR code on a
// white card with the steps that pair a phone (or, instead of the code, what
// is missing and the button that fixes it), and while Tailscale is ready this
// computer's Tailscale host and owner with a button that copies the host.
// It counts itself among the model's open windows while it is on screen.
class PairingWindow : public QWidget {
    Q_OBJECT
public:
    explicit PairingWindow(AppModel& model, QWidget* parent = nullptr);
    // `copiedFor`: how long the button says "Copied" after each press.
    PairingWindow(AppModel& model, std::chrono::milliseconds copiedFor, QWidget* parent = nullptr);

protected:
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    QWidget* buildTitle();
    QWidget* buildCard();
    QWidget* buildPlaceholder(QWidget* card);
    QWidget* buildSteps();
    QWidget* buildAddress();
    void renderCard();
    void renderAddress();
    void copyAddress();
    void renderCopyLabel();

    AppModel& m_model;
    std::chrono::milliseconds m_copiedFor;

    pairing::CodeView* m_code = nullptr;
    QWidget* m_placeholder = nullptr;
    QLabel* m_placeholderHeading = nullptr;
    QLabel* m_placeholderText = nullptr;
    QPushButton* m_fix = nullptr;
    setup::TailscaleAction m_fixAction = setup::TailscaleAction::none;
    QWidget* m_steps = nullptr;
    QWidget* m_address = nullptr;
    QLabel* m_host = nullptr;
    QLabel* m_owner = nullptr;
    QPushButton* m_copy = nullptr;

    // The code is only made again when the link changes.
    std::optional<QString> m_codeText;
    std::optional<QImage> m_codeImage;
    bool m_copied = false;
    bool m_counted = false; // whether this window is in the model's open-window count
};

} // namespace ringlark
