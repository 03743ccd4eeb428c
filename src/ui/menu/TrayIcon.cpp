#include "ui/menu/TrayIcon.h"

#include "model/AppModel.h"
#include "ui/menu/MenuBarIcon.h"

#include <QAction>
#include <QCursor>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusVariant>
#include <QKeySequence>
#include <QMenu>
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

bool panelHostsMenu()
{
    // The test Qt makes before it exports a StatusNotifierItem: a watcher on
    // the bus that reports a host.
    const QString watcher = QStringLiteral("org.kde.StatusNotifierWatcher");
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected() || !bus.interface() || !bus.interface()->isServiceRegistered(watcher))
        return false;
    QDBusMessage get = QDBusMessage::createMethodCall(watcher, QStringLiteral("/StatusNotifierWatcher"),
                                                      QStringLiteral("org.freedesktop.DBus.Properties"),
                                                      QStringLiteral("Get"));
    get << watcher << QStringLiteral("IsStatusNotifierHostRegistered");
    const QDBusMessage reply = bus.call(get, QDBus::Block, 1000);
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty())
        return false;
    return qvariant_cast<QDBusVariant>(reply.arguments().constFirst()).variant().toBool();
}

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
      m_host((m_options.panelShowsMenu ? m_options.panelShowsMenu() : panelHostsMenu())
                 ? MenuTexts::MenuHost::panel
                 : MenuTexts::MenuHost::application),
      m_menu(new QMenu),
      m_tray(new QSystemTrayIcon(this))
{
    if (!m_options.trayAvailable)
        m_options.trayAvailable = &QSystemTrayIcon::isSystemTrayAvailable;
    if (!m_options.showRequests)
        m_options.showRequests = [this] { m_show(WindowKind::setup); };
    m_menu->setObjectName(QStringLiteral("trayMenu"));
    buildMenu();
    // Panels that host the menu themselves may never report a click, so the
    // menu is always attached.
    m_tray->setContextMenu(m_menu);
    connect(m_tray, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
        activated(reason);
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
    refresh();

    m_dockRetry.setSingleShot(true);
    m_dockRetry.setInterval(m_options.dockRetry);
    connect(&m_dockRetry, &QTimer::timeout, this, &TrayIcon::dock);
    m_standaloneTimer.setSingleShot(true);
    m_standaloneTimer.setInterval(m_options.standaloneAfter);
    connect(&m_standaloneTimer, &QTimer::timeout, this, [this] {
        m_standalone = true;
        emit standaloneChanged(true);
    });
    dock();
    if (m_dockRetry.isActive())
        m_standaloneTimer.start();
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

QString TrayIcon::label(const QString& text) const
{
    return MenuTexts::menuLabel(text, m_host);
}

void TrayIcon::activated(int reason)
{
    if (reason != QSystemTrayIcon::Trigger)
        return;
    // A panel that draws the menu opens it on its own; a second one drawn
    // here would sit beside it. A click it passes on opens the setup window.
    if (m_host == MenuTexts::MenuHost::panel)
        m_show(WindowKind::setup);
    else if (!m_menu->isVisible())
        m_menu->popup(QCursor::pos());
}

void TrayIcon::buildMenu()
{
    m_headline = addText(m_menu, QStringLiteral("headline"));
    m_detail = addText(m_menu, QStringLiteral("detail"));
    m_requestsSeparator = addSeparator(m_menu, QStringLiteral("requestsSeparator"));
    m_waiting = addText(m_menu, QStringLiteral("waitingForYou"));
    m_waiting->setText(QStringLiteral("Waiting for you"));
    m_more = m_menu->addAction(QString());
    m_more->setObjectName(QStringLiteral("moreRequests"));
    connect(m_more, &QAction::triggered, this, [this] { m_options.showRequests(); });
    m_requestsEnd = addSeparator(m_menu, QStringLiteral("requestsEnd"));

    auto* pair = m_menu->addAction(QStringLiteral("Pair Phone…"));
    pair->setObjectName(QStringLiteral("pairPhone"));
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

    m_headline->setText(label(MenuTexts::headline(facts)));
    const auto detail = MenuTexts::detail(facts);
    m_detail->setText(label(detail.value_or(QString())));
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
    const auto cut = MenuTexts::cutRequests(pending.size());
    QList<RequestKey> keys;
    keys.reserve(cut.listed);
    for (const auto& r : pending.first(cut.listed))
        keys.append({r.id, r.reason, r.ask, r.agent, r.app});
    if (keys != m_requestKeys) {
        m_requestKeys = std::move(keys);
        rebuildRequests(cut.listed);
    }
    m_requestsSeparator->setVisible(!pending.isEmpty());
    m_waiting->setVisible(!pending.isEmpty());
    if (cut.more > 0)
        m_more->setText(label(MenuTexts::moreText(cut.more)));
    m_more->setVisible(cut.more > 0);
    // Ages move on every poll; only their texts change. Read from the live
    // list, which matches the entries one for one.
    for (qsizetype i = 0; i < m_requests.size() && i < pending.size(); ++i)
        m_requests[i].description->setText(label(MenuTexts::describe(pending[i], m_model.age(pending[i]))));
}

void TrayIcon::addLines(QMenu* menu, const QStringList& lines, const QString& objectName)
{
    for (const QString& line : lines)
        addText(menu, objectName)->setText(label(line));
}

void TrayIcon::rebuildRequests(qsizetype listed)
{
    for (auto& entry : m_requests) {
        m_menu->removeAction(entry.submenu->menuAction());
        entry.submenu->deleteLater();
    }
    m_requests.clear();

    const QFont font = m_menu->font();
    for (const auto& request : m_model.pending().first(listed)) {
        // The title is cut to a sensible width; the submenu holds the whole
        // reason, broken into lines, as plain entries every panel can show.
        const QString title = MenuTexts::shortTitle(request.reason, font);
        auto* submenu = new QMenu(label(title), m_menu);
        submenu->setObjectName(QStringLiteral("request"));
        submenu->menuAction()->setObjectName(QStringLiteral("request"));
        if (title != request.reason.simplified()) {
            addLines(submenu, MenuTexts::wrapped(request.reason, font), QStringLiteral("requestReason"));
            submenu->addSeparator();
        }
        auto* description = addText(submenu, QStringLiteral("requestDescription"));
        if (request.ask)
            addLines(submenu, MenuTexts::wrapped(QStringLiteral("Asks: ") + *request.ask, font, MenuTexts::lineColumns, 6),
                     QStringLiteral("requestAsk"));
        submenu->addSeparator();
        auto* dismiss = submenu->addAction(QStringLiteral("Dismiss Request"));
        dismiss->setObjectName(QStringLiteral("dismissRequest"));
        connect(dismiss, &QAction::triggered, this, [this, request] { m_model.dismiss(request); });
        m_menu->insertMenu(m_more, submenu);
        m_requests.append({submenu, description});
    }
}

void TrayIcon::refreshIcon(const MenuTexts::Facts& facts)
{
    const auto look = MenuTexts::iconLook(facts);
    const int count = static_cast<int>(std::min<qsizetype>(facts.pending, 1000));
    auto key = std::make_tuple(look, MenuBarIcon::badgeText(count));
    if (m_iconKey == key)
        return;
    m_iconKey = std::move(key);
    m_tray->setIcon(MenuBarIcon::icon(look, count));
    ++m_iconRenders;
}

void TrayIcon::dock()
{
    if (m_options.trayAvailable()) {
        m_tray->show();
        m_standaloneTimer.stop();
        if (m_standalone) {
            m_standalone = false;
            emit standaloneChanged(false);
        }
        return;
    }
    // No panel yet: a cheap look again later, and none once docked.
    m_dockRetry.start();
}

} // namespace ringlark
