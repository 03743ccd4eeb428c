#include "ui/menu/TrayIcon.h"

#include "model/AppModel.h"
#include "ui/menu/MenuBarIcon.h"

#include <QAction>
#include <QApplication>
#include <QCursor>
#include <QEvent>
#include <QKeySequence>
#include <QMenu>
#include <QPalette>
#include <QSystemTrayIcon>

namespace ringlark {

namespace {

QAction* addText(QMenu* menu, const QString& objectName)
{
    auto* action = menu->addAction(QString());
    action->setObjectName(objectName);
    action->setEnabled(false);
    return action;
}

QAction* addSeparator(QMenu* menu, const QString& objectName)
{
    auto* action = menu->addSeparator();
    action->setObjectName(objectName);
    return action;
}

} // namespace

TrayIcon::TrayIcon(AppModel& model, ShowWindow show, std::function<void()> quit, QObject* parent)
    : TrayIcon(model, std::move(show), std::move(quit), Options{}, parent)
{
}

TrayIcon::TrayIcon(AppModel& model, ShowWindow show, std::function<void()> quit, Options options,
                   QObject* parent)
    : QObject(parent),
      m_model(model),
      m_show(std::move(show)),
      m_quit(std::move(quit)),
      m_options(std::move(options)),
      m_menu(new QMenu),
      m_tray(new QSystemTrayIcon(this))
{
    if (!m_options.trayAvailable)
        m_options.trayAvailable = &QSystemTrayIcon::isSystemTrayAvailable;
    m_menu->setObjectName(QStringLiteral("trayMenu"));
    buildMenu();
    // Panels that host the menu themselves may never report a click, so the
    // menu is always attached; a plain click opens it where there is one.
    m_tray->setContextMenu(m_menu);
    connect(m_tray, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
        if (reason == QSystemTrayIcon::Trigger && !m_menu->isVisible())
            m_menu->popup(QCursor::pos());
    });

    m_refresh.setSingleShot(true);
    m_refresh.setInterval(0);
    connect(&m_refresh, &QTimer::timeout, this, &TrayIcon::refresh);
    connect(&m_model, &AppModel::changed, this, [this](AppModel::Field field) {
        switch (field) {
        case AppModel::Field::launchAtLogin:
            m_launchAtLogin->setChecked(m_model.launchAtLogin());
            break;
        case AppModel::Field::status:
        case AppModel::Field::daemonReachable:
        case AppModel::Field::pending:
        case AppModel::Field::agents:
        case AppModel::Field::now:
            if (outdated())
                scheduleRefresh();
            break;
        default:
            break;
        }
    });
    // The panel does not tint the icon, so it follows the palette's text colour.
    qApp->installEventFilter(this);
    refresh();

    m_dockRetry.setSingleShot(true);
    m_dockRetry.setInterval(m_options.dockRetry);
    connect(&m_dockRetry, &QTimer::timeout, this, &TrayIcon::dock);
    dock();
}

TrayIcon::~TrayIcon()
{
    // The tray refers to its menu until it is gone.
    delete m_tray;
    delete m_menu;
}

QMenu* TrayIcon::menu()
{
    return m_menu;
}

QSystemTrayIcon* TrayIcon::tray()
{
    return m_tray;
}

void TrayIcon::buildMenu()
{
    m_headline = addText(m_menu, QStringLiteral("headline"));
    m_detail = addText(m_menu, QStringLiteral("detail"));
    m_requestsSeparator = addSeparator(m_menu, QStringLiteral("requestsSeparator"));
    m_waiting = addText(m_menu, QStringLiteral("waitingForYou"));
    m_waiting->setText(QStringLiteral("Waiting for you"));
    m_requestsEnd = addSeparator(m_menu, QStringLiteral("requestsEnd"));

    auto* pair = m_menu->addAction(QStringLiteral("Pair iPhone…"));
    pair->setObjectName(QStringLiteral("pairIPhone"));
    connect(pair, &QAction::triggered, this, [this] { m_show(WindowKind::pairing); });
    m_setup = m_menu->addAction(QString());
    m_setup->setObjectName(QStringLiteral("setup"));
    connect(m_setup, &QAction::triggered, this, [this] { m_show(WindowKind::setup); });
    addSeparator(m_menu, QStringLiteral("windowsEnd"));

    m_launchAtLogin = m_menu->addAction(QStringLiteral("Launch at Login"));
    m_launchAtLogin->setObjectName(QStringLiteral("launchAtLogin"));
    m_launchAtLogin->setCheckable(true);
    m_launchAtLogin->setChecked(m_model.launchAtLogin());
    connect(m_launchAtLogin, &QAction::triggered, this, [this](bool on) {
        m_model.setLaunchAtLogin(on);
        // The mark shows what the system did, not what was asked.
        m_launchAtLogin->setChecked(m_model.launchAtLogin());
    });
    addSeparator(m_menu, QStringLiteral("launchEnd"));

    auto* quit = m_menu->addAction(QStringLiteral("Quit Ringlark"));
    quit->setObjectName(QStringLiteral("quit"));
    quit->setShortcut(QKeySequence(QKeySequence::Quit).isEmpty() ? QKeySequence(QStringLiteral("Ctrl+Q"))
                                                                  : QKeySequence(QKeySequence::Quit));
    quit->setShortcutVisibleInContextMenu(true);
    connect(quit, &QAction::triggered, this, [this] {
        if (m_quit)
            m_quit();
    });
}

void TrayIcon::scheduleRefresh()
{
    if (!m_refresh.isActive())
        m_refresh.start();
}

bool TrayIcon::outdated() const
{
    // The model publishes every field on every poll, and most polls change
    // nothing the menu shows: only waiting requests' ages move with the clock.
    if (!m_model.pending().isEmpty() || !m_requestKeys.isEmpty())
        return true;
    return !m_shown || !(MenuTexts::Facts::of(m_model) == *m_shown);
}

void TrayIcon::refresh()
{
    m_refresh.stop();
    const auto facts = MenuTexts::Facts::of(m_model);
    m_shown = facts;

    m_headline->setText(MenuTexts::forMenu(MenuTexts::headline(facts)));
    const auto detail = MenuTexts::detail(facts);
    m_detail->setText(MenuTexts::forMenu(detail.value_or(QString())));
    m_detail->setVisible(detail.has_value());
    m_setup->setText(MenuTexts::setupItemText(facts.needsSetup));
    m_launchAtLogin->setChecked(m_model.launchAtLogin());
    refreshRequests();

    const QString tip = MenuTexts::toolTip(facts);
    if (m_tray->toolTip() != tip)
        m_tray->setToolTip(tip);
    refreshIcon(facts);
}

void TrayIcon::refreshRequests()
{
    const auto& pending = m_model.pending();
    QList<RequestKey> keys;
    keys.reserve(pending.size());
    for (const auto& r : pending)
        keys.append({r.id, r.reason, r.ask, r.agent, r.app});
    if (keys != m_requestKeys) {
        m_requestKeys = std::move(keys);
        rebuildRequests();
    }
    m_requestsSeparator->setVisible(!pending.isEmpty());
    m_waiting->setVisible(!pending.isEmpty());
    // Ages move on every poll; only their texts change. Read from the live
    // list, which matches the entries one for one.
    for (qsizetype i = 0; i < m_requests.size() && i < pending.size(); ++i)
        m_requests[i].description->setText(
            MenuTexts::forMenu(MenuTexts::describe(pending[i], m_model.age(pending[i]))));
}

void TrayIcon::rebuildRequests()
{
    for (auto& entry : m_requests) {
        m_menu->removeAction(entry.submenu->menuAction());
        entry.submenu->deleteLater();
    }
    m_requests.clear();

    for (const auto& request : m_model.pending()) {
        auto* submenu = new QMenu(MenuTexts::forMenu(request.reason), m_menu);
        submenu->setObjectName(QStringLiteral("request"));
        submenu->menuAction()->setObjectName(QStringLiteral("request"));
        auto* description = addText(submenu, QStringLiteral("requestDescription"));
        if (request.ask)
            addText(submenu, QStringLiteral("requestAsk"))
                ->setText(MenuTexts::forMenu(QStringLiteral("Asks: ") + *request.ask));
        submenu->addSeparator();
        auto* dismiss = submenu->addAction(QStringLiteral("Dismiss Request"));
        dismiss->setObjectName(QStringLiteral("dismissRequest"));
        connect(dismiss, &QAction::triggered, this, [this, request] { m_model.dismiss(request); });
        m_menu->insertMenu(m_requestsEnd, submenu);
        m_requests.append({submenu, description});
    }
}

void TrayIcon::refreshIcon(const MenuTexts::Facts& facts)
{
    const auto look = MenuTexts::iconLook(facts);
    const QColor colour = QGuiApplication::palette().color(QPalette::Active, QPalette::WindowText);
    const int count = static_cast<int>(std::min<qsizetype>(facts.pending, 1000));
    auto key = std::make_tuple(look, colour, MenuBarIcon::badgeText(count));
    if (m_iconKey == key)
        return;
    m_iconKey = std::move(key);
    m_tray->setIcon(MenuBarIcon::icon(MenuTexts::opacity(look), colour, count));
    ++m_iconRenders;
}

bool TrayIcon::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == qApp && event->type() == QEvent::ApplicationPaletteChange)
        refreshIcon(MenuTexts::Facts::of(m_model));
    return QObject::eventFilter(watched, event);
}

void TrayIcon::dock()
{
    if (m_options.trayAvailable()) {
        m_tray->show();
        return;
    }
    // No panel yet: a cheap look again later, and none once docked.
    m_dockRetry.start();
}

} // namespace ringlark
