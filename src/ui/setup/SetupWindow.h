#pragma once

#include "ui/WindowKind.h"
#include "ui/setup/SetupRows.h"

#include <QWidget>

#include <array>

class QCheckBox;
class QLabel;
class QPushButton;

namespace ringlark {

class AppModel;

namespace setup {
class StatusPill;
class StepRow;

// What the window shows now: the model's published fields plus the platform
// checks that are made each time the window is drawn.
SetupFacts gatherFacts(const AppModel& model);
} // namespace setup

// The setup checklist: every prerequisite and agent with its state and the
// one action that fixes it. Keeps no state of its own; re-renders in place
// whenever the model publishes.
class SetupWindow : public QWidget {
    Q_OBJECT
public:
    SetupWindow(AppModel& model, ShowWindow show, QWidget* parent = nullptr);

    // Without a tray this window is the application's main window.
    void setStandalone(bool on);
    bool standalone() const { return m_standalone; }

protected:
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    QWidget* buildHeader();
    QWidget* buildChecklist();
    QWidget* buildFooter();
    void scheduleRender();
    void render();

    AppModel& m_model;
    ShowWindow m_show;
    // Show events can repeat (the window system confirms a show); the model
    // must see each appearance once.
    bool m_onScreen = false;
    bool m_renderPending = false;
    bool m_standalone = false;

    QLabel* m_icon = nullptr;
    setup::StatusPill* m_pill = nullptr;
    setup::StepRow* m_tailscale = nullptr;
    setup::StepRow* m_screenRecording = nullptr;
    setup::StepRow* m_accessibility = nullptr;
    setup::StepRow* m_pairing = nullptr;
    std::array<setup::StepRow*, 3> m_agents{};
    QWidget* m_warning = nullptr;
    QLabel* m_agentError = nullptr;
    QCheckBox* m_launchAtLogin = nullptr;
    QPushButton* m_done = nullptr;
};

} // namespace ringlark
