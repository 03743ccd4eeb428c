#include "ui/setup/SetupWindow.h"

#include "model/AppModel.h"
#include "model/TailscaleState.h"
#include "platform/Privacy.h"
#include "ui/setup/EntryList.h"
#include "ui/setup/SetupStyle.h"
#include "ui/setup/StepRow.h"

#include <QApplication>
#include <QCheckBox>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QPainter>
#include <QPainterPath>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QTimer>
#include <QVBoxLayout>

#include <algorithm>

namespace ringlark {

namespace setup {

SetupFacts gatherFacts(const AppModel& model)
{
    const auto& platform = model.platformServices();
    SetupFacts facts;
    facts.status = model.status();
    facts.daemonReachable = model.daemonReachable();
    facts.ready = model.isReady();
    // The model's verdict, so the rows and the pill never disagree.
    facts.tailscale = model.tailscaleState();
    const auto kind = facts.tailscale.kind();
    if (kind == TailscaleState::Kind::notRunning || kind == TailscaleState::Kind::needsLogin)
        facts.tailscaleAccess = tailscaleAccess(*platform.workspace, model.applicationsFolder());
    // The local checks only matter until the daemon first answers.
    if (!model.status()) {
        facts.localScreenRecording = platform.privacy->screenRecordingGranted();
        facts.localAccessibility = platform.privacy->accessibilityGranted();
    }
    facts.permissionSource = platform.privacy->source();
    facts.devices = model.devices();
    facts.pending = model.pending();
    facts.now = model.now();
    facts.agents = model.agents();
    facts.agentBusy = model.agentBusy();
    facts.agentError = model.agentError();
    facts.t3Installed = model.connector().t3Installed();
    facts.mcpExecutable = model.connector().mcpExecutable();
    facts.applicationsFolder = model.applicationsFolder();
    facts.launchAtLogin = model.launchAtLogin();
    return facts;
}

QIcon applicationIcon()
{
    // Installed with the package into the hicolor theme; a build that is not
    // installed has only its own copy.
    const QString name = QStringLiteral("com.ringlark.mac");
    if (QIcon::hasThemeIcon(name))
        return QIcon::fromTheme(name);
    return QIcon(QStringLiteral(":/ringlark/com.ringlark.mac.svg"));
}

QSize fittedSize(QSize full, const QRect& available)
{
    // Windows are centred on their content, so the title bar sits above
    // that: leave its height at both ends.
    constexpr int titleBar = 40;
    constexpr int shortest = 420;
    if (!available.isValid())
        return full;
    const int height = std::min(full.height(), available.height() - 2 * titleBar);
    return {std::min(full.width(), available.width()), std::max(height, std::min(shortest, full.height()))};
}

} // namespace setup

namespace {

using namespace setup;

constexpr int kIconSize = 52;

QLabel* calloutLabel(const QString& text, QWidget* parent)
{
    auto* label = new QLabel(text, parent);
    label->setForegroundRole(style::secondaryRole);
    label->setFont(style::font(label->font(), style::calloutSize));
    label->setWordWrap(true);
    return label;
}

// A rounded group of rows, as in a grouped settings form.
class Group : public QWidget {
public:
    explicit Group(QWidget* parent) : QWidget(parent)
    {
        m_layout = new QVBoxLayout(this);
        m_layout->setContentsMargins(12, 6, 12, 6);
        m_layout->setSpacing(4);
    }

    // Rows are divided by hairlines; the notes under the agents are not.
    void add(QWidget* row, bool divided = true)
    {
        if (divided && m_layout->count() > 0) {
            auto* line = new QWidget(this);
            line->setFixedHeight(1);
            line->setAutoFillBackground(true);
            QPalette p = line->palette();
            p.setColor(QPalette::Window, style::separator(palette()));
            line->setPalette(p);
            m_layout->addWidget(line);
        }
        m_layout->addWidget(row);
    }

protected:
    void paintEvent(QPaintEvent*) override
    {
        QPainter p(this);
        p.setRenderHint(QPainter::Antialiasing);
        p.setPen(QPen(style::separator(palette()), 0.5));
        p.setBrush(style::groupFill(palette()));
        p.drawRoundedRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5), 8, 8);
    }

private:
    QVBoxLayout* m_layout;
};

// The footer bar: set off from the window with a divider along its top edge.
class Bar : public QWidget {
public:
    using QWidget::QWidget;

protected:
    void paintEvent(QPaintEvent*) override
    {
        QPainter p(this);
        p.fillRect(rect(), style::barFill(palette()));
        p.setPen(QPen(style::separator(palette()), 1));
        p.drawLine(0, 0, width(), 0);
    }
};

class WarningMark : public QWidget {
public:
    explicit WarningMark(QWidget* parent) : QWidget(parent) { setFixedSize(14, 14); }

protected:
    void paintEvent(QPaintEvent*) override
    {
        QPainter p(this);
        p.setRenderHint(QPainter::Antialiasing);
        const QColor color = style::secondaryText(palette());
        p.setPen(QPen(color, 1.2, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        QPainterPath triangle;
        triangle.moveTo(7, 1.5);
        triangle.lineTo(13, 12.5);
        triangle.lineTo(1, 12.5);
        triangle.closeSubpath();
        p.drawPath(triangle);
        p.drawLine(QPointF(7, 5.5), QPointF(7, 8.5));
        p.setPen(Qt::NoPen);
        p.setBrush(color);
        p.drawEllipse(QPointF(7, 10.6), 0.8, 0.8);
    }
};

// A section of the checklist: its header over a group of rows. Hidden as a whole.
QWidget* section(const QString& header, const QString& objectName, Group** group, QWidget* content)
{
    auto* box = new QWidget(content);
    box->setObjectName(objectName);
    auto* column = new QVBoxLayout(box);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(6);
    auto* label = new QLabel(header, box);
    label->setFont(style::font(label->font(), style::bodySize, QFont::DemiBold));
    label->setContentsMargins(4, 0, 0, 0);
    column->addWidget(label);
    *group = new Group(box);
    column->addWidget(*group);
    return box;
}

} // namespace

SetupWindow::SetupWindow(AppModel& model, ShowWindow show, QWidget* parent)
    : QWidget(parent), m_model(model), m_show(std::move(show)), m_quit([] { QCoreApplication::quit(); })
{
    setObjectName(QStringLiteral("setupWindow"));
    setAutoFillBackground(true);
    setBackgroundRole(QPalette::Window);

    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);
    column->addWidget(buildHeader());
    column->addWidget(buildChecklist(), 1);
    column->addWidget(buildFooter());

    if (QScreen* screen = QGuiApplication::primaryScreen()) {
        fitTo(screen->availableGeometry());
        QObject::connect(screen, &QScreen::availableGeometryChanged, this, &SetupWindow::fitTo);
    } else {
        fitTo({});
    }
    QObject::connect(&m_model, &AppModel::changed, this, [this] { scheduleRender(); });
    render();
}

void SetupWindow::fitTo(const QRect& available)
{
    m_size = fittedSize(fullSize, available);
    setFixedSize(m_size);
    updateGeometry();
}

QSize SetupWindow::sizeHint() const
{
    return m_size;
}

void SetupWindow::setStandalone(bool standalone)
{
    m_standalone = standalone;
    m_quitButton->setVisible(standalone);
    m_trayHint->setVisible(standalone);
    render();
}

QWidget* SetupWindow::buildHeader()
{
    auto* header = new QWidget(this);
    auto* row = new QHBoxLayout(header);
    row->setContentsMargins(28, 38, 28, 8);
    row->setSpacing(14);

    auto* icon = new QLabel(header);
    icon->setObjectName(QStringLiteral("appIcon"));
    icon->setFixedSize(kIconSize, kIconSize);
    m_icon = icon;
    row->addWidget(icon, 0, Qt::AlignVCenter);

    auto* text = new QVBoxLayout;
    text->setSpacing(2);
    auto* title = new QLabel(QStringLiteral("Ringlark"), header);
    title->setFont(style::font(title->font(), style::title2Size, QFont::DemiBold));
    // Wraps rather than clips when the pill's label is long.
    auto* tagline = calloutLabel(QStringLiteral("Ring your phone when an agent on this computer needs you."), header);
    tagline->setObjectName(QStringLiteral("tagline"));
    text->addWidget(title);
    text->addWidget(tagline);
    row->addLayout(text, 1);

    m_pill = new StatusPill(header);
    row->addWidget(m_pill, 0, Qt::AlignVCenter);
    return header;
}

QWidget* SetupWindow::buildChecklist()
{
    m_checklist = new QScrollArea(this);
    m_checklist->setObjectName(QStringLiteral("checklist"));
    m_checklist->setFrameShape(QFrame::NoFrame);
    m_checklist->setWidgetResizable(true);
    m_checklist->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    // The window background shows through the list.
    m_checklist->viewport()->setAutoFillBackground(false);

    auto* content = new QWidget(m_checklist);
    auto* list = new QVBoxLayout(content);
    list->setContentsMargins(20, 10, 20, 20);
    list->setSpacing(18);
    addWaitingSection(content, list);
    addComputerSection(content, list);
    addPhoneSection(content, list);
    addAgentsSection(content, list);
    list->addStretch(1);

    m_checklist->setWidget(content);
    // setWidget turns the fill on; the window background is to show through.
    content->setAutoFillBackground(false);
    return m_checklist;
}

void SetupWindow::addWaitingSection(QWidget* content, QVBoxLayout* list)
{
    Group* group = nullptr;
    m_waitingSection = section(waitingHeader(), QStringLiteral("waitingSection"), &group, content);
    m_requests = new EntryList(QStringLiteral("requests"), QStringLiteral("Dismiss"), group);
    m_requests->layout()->setContentsMargins(0, 4, 0, 4);
    group->add(m_requests);
    QObject::connect(m_requests, &EntryList::activated, this, [this](const QString& id) {
        // The model's action takes the whole request; it may have gone meanwhile.
        const auto& pending = m_model.pending();
        const auto found = std::find_if(pending.begin(), pending.end(), [&](const HelpRequest& r) { return r.id == id; });
        if (found != pending.end())
            m_model.dismiss(*found);
    });
    list->addWidget(m_waitingSection);
}

void SetupWindow::addComputerSection(QWidget* content, QVBoxLayout* list)
{
    Group* group = nullptr;
    list->addWidget(section(thisComputerHeader(), QStringLiteral("computerSection"), &group, content));
    m_tailscale = new StepRow(QStringLiteral("tailscaleRow"), {QStringLiteral("tailscaleButton")}, group);
    m_screenRecording = new StepRow(QStringLiteral("screenRecordingRow"),
                                    {QStringLiteral("screenRecordingAllow"), QStringLiteral("screenRecordingSettings")},
                                    group);
    m_accessibility = new StepRow(QStringLiteral("accessibilityRow"),
                                  {QStringLiteral("accessibilityAllow"), QStringLiteral("accessibilitySettings")}, group);
    group->add(m_tailscale);
    group->add(m_screenRecording);
    group->add(m_accessibility);

    QObject::connect(m_tailscale->button(0), &QPushButton::clicked, this, [this] {
        perform(m_tailscaleAction, *m_model.platformServices().workspace, m_model.applicationsFolder());
    });
    auto& privacy = *m_model.platformServices().privacy;
    const std::pair<StepRow*, platform::Privacy::Pane> panes[] = {
        {m_screenRecording, platform::Privacy::Pane::screenRecording},
        {m_accessibility, platform::Privacy::Pane::accessibility},
    };
    for (const auto& [row, pane] : panes) {
        QObject::connect(row->button(0), &QPushButton::clicked, this, [this, &privacy, pane = pane] {
            platform::requestAccess(privacy, pane);
            // The local check may answer differently now.
            render();
        });
        QObject::connect(row->button(1), &QPushButton::clicked, this,
                         [&privacy, pane = pane] { privacy.openSettings(pane); });
    }
}

void SetupWindow::addPhoneSection(QWidget* content, QVBoxLayout* list)
{
    Group* group = nullptr;
    list->addWidget(section(yourPhoneHeader(), QStringLiteral("phoneSection"), &group, content));
    m_pairing = new StepRow(QStringLiteral("pairingRow"), {QStringLiteral("pairPhone")}, group);
    group->add(m_pairing);
    QObject::connect(m_pairing->button(0), &QPushButton::clicked, this, [this] {
        if (m_show)
            m_show(WindowKind::pairing);
    });
    m_devices = new EntryList(QStringLiteral("devices"), QStringLiteral("Remove"), group);
    m_devices->layout()->setContentsMargins(32, 0, 0, 6);
    group->add(m_devices, false);
    QObject::connect(m_devices, &EntryList::activated, this, [this](const QString& id) { m_model.removeDevice(id); });
}

void SetupWindow::addAgentsSection(QWidget* content, QVBoxLayout* list)
{
    Group* group = nullptr;
    QWidget* box = section(agentsHeader(), QStringLiteral("agentsSection"), &group, content);
    list->addWidget(box);
    const QString names[] = {QStringLiteral("claudeCode"), QStringLiteral("codex"), QStringLiteral("t3Code")};
    const auto kinds = AgentKind::allCases();
    for (std::size_t i = 0; i < kinds.size(); ++i) {
        const AgentKind kind = kinds[i];
        const QStringList buttons = kind == AgentKind::t3 ? QStringList() : QStringList{names[i] + "Button"};
        m_agents[i] = new StepRow(names[i] + "Row", buttons, group);
        group->add(m_agents[i]);
        if (QPushButton* button = m_agents[i]->button(0))
            QObject::connect(button, &QPushButton::clicked, this, [this, kind] { m_model.connect(kind); });
    }

    m_warning = new QWidget(group);
    m_warning->setObjectName(QStringLiteral("appsFolderWarning"));
    auto* warningRow = new QHBoxLayout(m_warning);
    warningRow->setContentsMargins(0, 4, 0, 4);
    warningRow->setSpacing(6);
    warningRow->addWidget(new WarningMark(m_warning), 0, Qt::AlignTop);
    auto* warningText = calloutLabel(appsFolderWarningText(), m_warning);
    warningText->setObjectName(QStringLiteral("appsFolderWarningText"));
    warningRow->addWidget(warningText, 1);
    group->add(m_warning, false);

    m_agentError = calloutLabel(QString(), group);
    m_agentError->setObjectName(QStringLiteral("agentError"));
    m_agentError->setContentsMargins(0, 4, 0, 4);
    QPalette red = m_agentError->palette();
    red.setColor(QPalette::WindowText, style::red());
    m_agentError->setPalette(red);
    m_agentError->setForegroundRole(QPalette::WindowText);
    group->add(m_agentError, false);

    auto* footer = calloutLabel(agentsFooter(), box);
    footer->setObjectName(QStringLiteral("agentsFooter"));
    footer->setContentsMargins(4, 0, 4, 0);
    box->layout()->addWidget(footer);
}

QWidget* SetupWindow::buildFooter()
{
    auto* bar = new Bar(this);
    auto* column = new QVBoxLayout(bar);
    column->setContentsMargins(28, 12, 28, 16);
    column->setSpacing(10);

    // Only without a tray: how to get one.
    m_trayHint = calloutLabel(trayHint(qEnvironmentVariable("XDG_CURRENT_DESKTOP")), bar);
    m_trayHint->setObjectName(QStringLiteral("trayHint"));
    m_trayHint->hide();
    column->addWidget(m_trayHint);

    auto* row = new QHBoxLayout;
    m_launchAtLogin = new QCheckBox(QStringLiteral("Launch at login"), bar);
    m_launchAtLogin->setObjectName(QStringLiteral("launchAtLogin"));
    QObject::connect(m_launchAtLogin, &QCheckBox::clicked, this, [this](bool on) {
        m_model.setLaunchAtLogin(on);
        // The model may refuse; the box shows what it holds, not the click.
        m_launchAtLogin->setChecked(m_model.launchAtLogin());
    });
    row->addWidget(m_launchAtLogin);
    row->addStretch(1);

    m_quitButton = new QPushButton(QStringLiteral("Quit Ringlark"), bar);
    m_quitButton->setObjectName(QStringLiteral("quit"));
    m_quitButton->hide();
    QObject::connect(m_quitButton, &QPushButton::clicked, this, [this] {
        if (m_quit)
            m_quit();
    });
    row->addWidget(m_quitButton);

    m_done = new QPushButton(QStringLiteral("Done"), bar);
    m_done->setObjectName(QStringLiteral("done"));
    m_done->setDefault(true);
    QObject::connect(m_done, &QPushButton::clicked, this, [this] { window()->close(); });
    row->addWidget(m_done);
    column->addLayout(row);
    return bar;
}

void SetupWindow::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    if (m_onScreen)
        return;
    m_onScreen = true;
    m_icon->setPixmap(applicationIcon().pixmap(QSize(kIconSize, kIconSize), devicePixelRatioF()));
    m_model.windowAppeared();
    m_model.refreshAgents();
    render();
}

void SetupWindow::hideEvent(QHideEvent* event)
{
    QWidget::hideEvent(event);
    if (!m_onScreen)
        return;
    m_onScreen = false;
    m_model.windowDisappeared();
}

void SetupWindow::keyPressEvent(QKeyEvent* event)
{
    // Outside a dialog nothing presses the default button by itself.
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
        m_done->click();
        return;
    }
    QWidget::keyPressEvent(event);
}

void SetupWindow::scheduleRender()
{
    // The model publishes several fields per poll; draw once for all of them,
    // and not at all while hidden (showing draws afresh).
    if (m_renderPending || !m_onScreen)
        return;
    m_renderPending = true;
    QTimer::singleShot(0, this, [this] {
        m_renderPending = false;
        render();
    });
}

void SetupWindow::render()
{
    SetupFacts facts = gatherFacts(m_model);
    facts.standalone = m_standalone;
    const SetupContent shown = content(facts);
    m_pill->setPill(shown.pill);
    m_waitingSection->setVisible(shown.showRequests);
    m_requests->setEntries(shown.requests, shown.noRequests);
    m_tailscale->setRow(shown.tailscale);
    m_tailscaleAction = shown.tailscaleAction;
    m_screenRecording->setRow(shown.screenRecording);
    m_accessibility->setRow(shown.accessibility);
    m_pairing->setRow(shown.pairing);
    m_devices->setEntries(shown.devices, shown.noDevices);
    for (std::size_t i = 0; i < m_agents.size(); ++i)
        m_agents[i]->setRow(shown.agents[i]);
    m_warning->setVisible(shown.appsFolderWarning);
    m_agentError->setText(shown.agentError.value_or(QString()));
    m_agentError->setVisible(shown.agentError.has_value());
    m_launchAtLogin->setChecked(shown.launchAtLogin);
}

} // namespace ringlark
