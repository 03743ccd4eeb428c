#pragma once

#include "ui/WindowKind.h"
#include "ui/setup/SetupRows.h"

#include <QIcon>
#include <QRect>
#include <QWidget>

#include <array>
#include <functional>

class QCheckBox;
class QLabel;
class QPushButton;
class QScrollArea;
class QVBoxLayout;

namespace ringlark {

class AppModel;

namespace setup {
class EntryList;
class StatusPill;
class StepRow;

// What the window shows now: the model's published fields plus the platform
// checks that are made each time the window is drawn.
SetupFacts gatherFacts(const AppModel& model);

// Ringlark's own icon: the installed one from the icon theme, else the copy
// built into the application.
QIcon applicationIcon();

// The window's size on a screen with `available` room: the full size where it
// fits, else as tall as fits with room for a title bar above and below the
// centred window, never shorter than the header, footer and a few rows.
QSize fittedSize(QSize full, const QRect& available);
} // namespace setup

// The setup checklist: every prerequisite and agent with its state and the
// one action that fixes it, the paired phones and, when any wait, the
// requests. Keeps no state of its own; re-renders in place whenever the
// model publishes. Its size fits the screen: the checklist scrolls, while
// "Done" and "Launch at login" stay in view below it.
class SetupWindow : public QWidget {
    Q_OBJECT
public:
    static constexpr QSize fullSize{600, 800};

    SetupWindow(AppModel& model, ShowWindow show, QWidget* parent = nullptr);

    // For a desktop without a tray, where this window is the way in: the
    // requests are always listed, a note says how to get a tray icon, and
    // "Quit Ringlark" sits beside "Done".
    void setStandalone(bool standalone);
    bool standalone() const { return m_standalone; }

    // Sizes the window for a screen with this much room. Done for the
    // primary screen when the window is made and whenever its room changes.
    void fitTo(const QRect& available);
    QSize sizeHint() const override;

    // What "Quit Ringlark" does; quitting the application by default.
    void setQuit(std::function<void()> quit) { m_quit = std::move(quit); }

protected:
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    QWidget* buildHeader();
    QWidget* buildChecklist();
    void addWaitingSection(QWidget* content, QVBoxLayout* list);
    void addComputerSection(QWidget* content, QVBoxLayout* list);
    void addPhoneSection(QWidget* content, QVBoxLayout* list);
    void addAgentsSection(QWidget* content, QVBoxLayout* list);
    QWidget* buildFooter();
    void scheduleRender();
    void render();

    AppModel& m_model;
    ShowWindow m_show;
    std::function<void()> m_quit;
    QSize m_size = fullSize;
    bool m_standalone = false;
    // Show events can repeat (the window system confirms a show); the model
    // must see each appearance once.
    bool m_onScreen = false;
    bool m_renderPending = false;
    // What the Tailscale button does, as last rendered.
    setup::TailscaleAction m_tailscaleAction = setup::TailscaleAction::none;

    QLabel* m_icon = nullptr;
    setup::StatusPill* m_pill = nullptr;
    QScrollArea* m_checklist = nullptr;
    QWidget* m_waitingSection = nullptr;
    setup::EntryList* m_requests = nullptr;
    QLabel* m_trayHint = nullptr;
    setup::StepRow* m_tailscale = nullptr;
    setup::StepRow* m_screenRecording = nullptr;
    setup::StepRow* m_accessibility = nullptr;
    setup::StepRow* m_pairing = nullptr;
    setup::EntryList* m_devices = nullptr;
    std::array<setup::StepRow*, 3> m_agents{};
    QWidget* m_warning = nullptr;
    QLabel* m_agentError = nullptr;
    QCheckBox* m_launchAtLogin = nullptr;
    QPushButton* m_quitButton = nullptr;
    QPushButton* m_done = nullptr;
};

} // namespace ringlark
