#pragma once

#include <QImage>
#include <QString>
#include <QWidget>

#include <chrono>
#include <optional>

class QLabel;
class QPushButton;

namespace ringlark {

class AppModel;

namespace pairing {
class CodeView;
}

// What the pairing window shows: the daemon's pairing link as a QR code on a
// white card (or why there is none yet), and while Tailscale is ready this
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
    void renderCard();
    void renderAddress();
    void copyAddress();
    void renderCopyLabel();

    AppModel& m_model;
    std::chrono::milliseconds m_copiedFor;

    pairing::CodeView* m_code;
    QWidget* m_placeholder;
    QLabel* m_placeholderText;
    QWidget* m_address;
    QLabel* m_host;
    QLabel* m_owner;
    QPushButton* m_copy;

    // The code is only made again when the link changes.
    std::optional<QString> m_codeText;
    std::optional<QImage> m_codeImage;
    bool m_copied = false;
    bool m_counted = false; // whether this window is in the model's open-window count
};

} // namespace ringlark
