#include "ui/setup/SetupWindow.h"

#include "model/AppModel.h"
#include "model/TailscaleState.h"
#include "platform/Privacy.h"
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
#include <QScrollArea>
#include <QTimer>
#include <QVBoxLayout>

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
    // The local checks only matter until the daemon first answers.
    if (!model.status()) {
        facts.localScreenRecording = platform.privacy->screenRecordingGranted();
        facts.localAccessibility = platform.privacy->accessibilityGranted();
    }
    facts.agents = model.agents();
    facts.agentBusy = model.agentBusy();
    facts.agentError = model.agentError();
    facts.t3Installed = model.connector().t3Installed();
    facts.mcpExecutable = model.connector().mcpExecutable();
    facts.applicationsFolder = model.applicationsFolder();
    facts.launchAtLogin = model.launchAtLogin();
    return facts;
}

} // namespace setup

namespace {

using namespace setup;

constexpr int kWidth = 600;
constexpr int kHeight = 800;
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

QPixmap appIcon(const QWidget& widget)
{
    const QIcon icon = QApplication::windowIcon();
    const qreal dpr = widget.devicePixelRatioF();
    if (!icon.isNull())
        return icon.pixmap(QSize(kIconSize, kIconSize), dpr);
    // Without an icon of its own, a plain badge keeps the header's shape.
    QPixmap badge(QSize(kIconSize, kIconSize) * dpr);
    badge.setDevicePixelRatio(dpr);
    badge.fill(Qt::transparent);
    QPainter p(&badge);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(Qt::NoPen);
    p.setBrush(widget.palette().color(QPalette::Highlight));
    p.drawRoundedRect(QRectF(2, 2, kIconSize - 4, kIconSize - 4), 12, 12);
    p.setPen(widget.palette().color(QPalette::HighlightedText));
    p.setFont(style::font(widget.font(), 28, QFont::Bold));
    p.drawText(QRectF(0, 0, kIconSize, kIconSize), Qt::AlignCenter, QStringLiteral("R"));
    return badge;
}

} // namespace

SetupWindow::SetupWindow(AppModel& model, ShowWindow show, QWidget* parent)
    : QWidget(parent), m_model(model), m_show(std::move(show))
{
    setObjectName(QStringLiteral("setupWindow"));
    setFixedSize(kWidth, kHeight);
    setAutoFillBackground(true);
    setBackgroundRole(QPalette::Window);

    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);
    column->addWidget(buildHeader());
    column->addWidget(buildChecklist(), 1);
    column->addWidget(buildFooter());

    QObject::connect(&m_model, &AppModel::changed, this, [this] { scheduleRender(); });
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
    auto* scroll = new QScrollArea(this);
    scroll->setObjectName(QStringLiteral("checklist"));
    scroll->setFrameShape(QFrame::NoFrame);
    scroll->setWidgetResizable(true);
    scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    // The window background shows through the list.
    scroll->viewport()->setAutoFillBackground(false);

    auto* content = new QWidget(scroll);
    auto* list = new QVBoxLayout(content);
    list->setContentsMargins(20, 10, 20, 20);
    list->setSpacing(6);

    auto section = [&](const QString& header) {
        if (list->count() > 0)
            list->addSpacing(12);
        auto* label = new QLabel(header, content);
        label->setFont(style::font(label->font(), style::bodySize, QFont::DemiBold));
        label->setContentsMargins(4, 0, 0, 0);
        list->addWidget(label);
        auto* group = new Group(content);
        list->addWidget(group);
        return group;
    };

    auto& privacy = *m_model.platformServices().privacy;
    Group* computer = section(thisComputerHeader());
    m_tailscale = new StepRow(QStringLiteral("tailscaleRow"), {QStringLiteral("tailscaleButton")}, computer);
    m_screenRecording = new StepRow(QStringLiteral("screenRecordingRow"),
                                    {QStringLiteral("screenRecordingAllow"), QStringLiteral("screenRecordingSettings")},
                                    computer);
    m_accessibility = new StepRow(QStringLiteral("accessibilityRow"),
                                  {QStringLiteral("accessibilityAllow"), QStringLiteral("accessibilitySettings")},
                                  computer);
    computer->add(m_tailscale);
    computer->add(m_screenRecording);
    computer->add(m_accessibility);

    QObject::connect(m_tailscale->button(0), &QPushButton::clicked, this, [this] {
        TailscaleState::openApp(*m_model.platformServices().workspace, m_model.applicationsFolder());
    });
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

    Group* phone = section(yourIPhoneHeader());
    m_pairing = new StepRow(QStringLiteral("pairingRow"), {QStringLiteral("showQRCode")}, phone);
    phone->add(m_pairing);
    QObject::connect(m_pairing->button(0), &QPushButton::clicked, this, [this] {
        if (m_show)
            m_show(WindowKind::pairing);
    });

    Group* agents = section(agentsHeader());
    const QString names[] = {QStringLiteral("claudeCode"), QStringLiteral("codex"), QStringLiteral("t3Code")};
    const auto kinds = AgentKind::allCases();
    for (std::size_t i = 0; i < kinds.size(); ++i) {
        const AgentKind kind = kinds[i];
        const QStringList buttons = kind == AgentKind::t3 ? QStringList() : QStringList{names[i] + "Button"};
        m_agents[i] = new StepRow(names[i] + "Row", buttons, agents);
        agents->add(m_agents[i]);
        if (QPushButton* button = m_agents[i]->button(0))
            QObject::connect(button, &QPushButton::clicked, this, [this, kind] { m_model.connect(kind); });
    }

    m_warning = new QWidget(agents);
    m_warning->setObjectName(QStringLiteral("appsFolderWarning"));
    auto* warningRow = new QHBoxLayout(m_warning);
    warningRow->setContentsMargins(0, 4, 0, 4);
    warningRow->setSpacing(6);
    warningRow->addWidget(new WarningMark(m_warning), 0, Qt::AlignTop);
    auto* warningText = calloutLabel(appsFolderWarningText(), m_warning);
    warningText->setObjectName(QStringLiteral("appsFolderWarningText"));
    warningRow->addWidget(warningText, 1);
    agents->add(m_warning, false);

    m_agentError = calloutLabel(QString(), agents);
    m_agentError->setObjectName(QStringLiteral("agentError"));
    m_agentError->setContentsMargins(0, 4, 0, 4);
    QPalette red = m_agentError->palette();
    red.setColor(QPalette::WindowText, style::red());
    m_agentError->setPalette(red);
    m_agentError->setForegroundRole(QPalette::WindowText);
    agents->add(m_agentError, false);

    auto* footer = calloutLabel(agentsFooter(), content);
    footer->setObjectName(QStringLiteral("agentsFooter"));
    footer->setContentsMargins(4, 0, 4, 0);
    list->addWidget(footer);
    list->addStretch(1);

    scroll->setWidget(content);
    // setWidget turns the fill on; the window background is to show through.
    content->setAutoFillBackground(false);
    return scroll;
}

QWidget* SetupWindow::buildFooter()
{
    auto* bar = new Bar(this);
    auto* row = new QHBoxLayout(bar);
    row->setContentsMargins(28, 16, 28, 16);

    m_launchAtLogin = new QCheckBox(QStringLiteral("Launch at login"), bar);
    m_launchAtLogin->setObjectName(QStringLiteral("launchAtLogin"));
    QObject::connect(m_launchAtLogin, &QCheckBox::clicked, this, [this](bool on) {
        m_model.setLaunchAtLogin(on);
        // The model may refuse; the box shows what it holds, not the click.
        m_launchAtLogin->setChecked(m_model.launchAtLogin());
    });
    row->addWidget(m_launchAtLogin);
    row->addStretch(1);

    m_done = new QPushButton(QStringLiteral("Done"), bar);
    m_done->setObjectName(QStringLiteral("done"));
    m_done->setDefault(true);
    QObject::connect(m_done, &QPushButton::clicked, this, [this] { window()->close(); });
    row->addWidget(m_done);
    return bar;
}

void SetupWindow::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    if (m_onScreen)
        return;
    m_onScreen = true;
    // The application may have set its icon since the window was built.
    m_icon->setPixmap(appIcon(*this));
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
    const SetupContent shown = content(gatherFacts(m_model));
    m_pill->setPill(shown.pill);
    m_tailscale->setRow(shown.tailscale);
    m_screenRecording->setRow(shown.screenRecording);
    m_accessibility->setRow(shown.accessibility);
    m_pairing->setRow(shown.pairing);
    for (std::size_t i = 0; i < m_agents.size(); ++i)
        m_agents[i]->setRow(shown.agents[i]);
    m_warning->setVisible(shown.appsFolderWarning);
    m_agentError->setText(shown.agentError.value_or(QString()));
    m_agentError->setVisible(shown.agentError.has_value());
    m_launchAtLogin->setChecked(shown.launchAtLogin);
}

void SetupWindow::setStandalone(bool on)
{
    m_standalone = on;
}

} // namespace ringlark
