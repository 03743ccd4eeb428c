#pragma once

#include "ui/WindowKind.h"
#include "ui/menu/MenuTexts.h"

#include <QList>
#include <QObject>
#include <QTimer>

#include <chrono>
#include <functional>
#include <optional>
#include <tuple>

class QAction;
class QMenu;
class QSystemTrayIcon;

namespace ringlark {

class AppModel;

// Whether a StatusNotifierItem host runs on the session bus: then Qt hands
// the icon and its menu to the panel over D-Bus, and the panel draws the menu.
bool panelHostsMenu();

// The panel icon and its menu. The menu's fixed entries are made once and
// changed in place; only the list of waiting requests is rebuilt, and only
// when the requests themselves change, so an open menu never closes or
// flickers while the model publishes.
class TrayIcon : public QObject {
    Q_OBJECT
public:
    struct Options {
        // How often to look again for a panel to dock into while there is none.
        std::chrono::milliseconds dockRetry{5000};
        // How long without any tray before the setup window takes its place.
        std::chrono::milliseconds standaloneAfter{4000};
        std::function<bool()> trayAvailable; // default: QSystemTrayIcon::isSystemTrayAvailable
        // Asked once, as Qt decides once which kind of tray to use.
        std::function<bool()> panelShowsMenu; // default: panelHostsMenu
        // "N more…": the setup window's list of every request.
        std::function<void()> showRequests; // default: the setup window
    };

    TrayIcon(AppModel& model, ShowWindow show, std::function<void()> quit, QObject* parent = nullptr);
    TrayIcon(AppModel& model, ShowWindow show, std::function<void()> quit, Options options,
             QObject* parent = nullptr);
    ~TrayIcon() override;

    QMenu* menu();
    QSystemTrayIcon* tray();
    MenuTexts::MenuHost menuHost() const { return m_host; }

    // How many times the icon image was made; each one costs a redraw in the panel.
    int iconRenders() const { return m_iconRenders; }

signals:
    // No tray appeared within `standaloneAfter` (true), or one appeared
    // after that (false).
    void standaloneChanged(bool standalone);

private:
    // What makes the request list: a change in any of these rebuilds it.
    using RequestKey = std::tuple<QString, QString, std::optional<QString>, std::optional<QString>,
                                  std::optional<QString>>;
    struct RequestEntry {
        QMenu* submenu;
        QAction* description;
    };

    void buildMenu();
    void scheduleRefresh();
    void refresh();
    void refreshRequests();
    void rebuildRequests(qsizetype listed);
    void refreshIcon(const MenuTexts::Facts& facts);
    bool outdated() const;
    void dock();
    void activated(int reason);
    QString label(const QString& text) const;
    void addLines(QMenu* menu, const QStringList& lines, const QString& objectName);

    AppModel& m_model;
    ShowWindow m_show;
    std::function<void()> m_quit;
    Options m_options;
    MenuTexts::MenuHost m_host;

    QMenu* m_menu;
    QSystemTrayIcon* m_tray;
    QAction* m_headline = nullptr;
    QAction* m_detail = nullptr;
    QAction* m_requestsSeparator = nullptr;
    QAction* m_waiting = nullptr;
    QAction* m_more = nullptr;
    QAction* m_requestsEnd = nullptr; // the separator the request submenus sit above
    QAction* m_setup = nullptr;
    QAction* m_launchAtLogin = nullptr;
    QList<RequestEntry> m_requests;
    QList<RequestKey> m_requestKeys;
    std::optional<MenuTexts::Facts> m_shown; // what the menu shows now

    QTimer m_refresh; // gathers the several publishes of one poll into one refresh
    QTimer m_dockRetry;
    QTimer m_standaloneTimer;
    bool m_standalone = false;
    std::optional<std::tuple<IconLook, QString>> m_iconKey;
    int m_iconRenders = 0;
};

} // namespace ringlark
