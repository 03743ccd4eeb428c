#include "app/Windows.h"

#include <QGuiApplication>
#include <QScreen>
#include <QStyle>

namespace ringlark {

Windows::Windows(Factory make, QObject* parent) : Windows(std::move(make), {}, parent) {}

Windows::Windows(Factory make, Standalone standalone, QObject* parent)
    : QObject(parent), m_make(std::move(make)), m_applyStandalone(std::move(standalone))
{
}

Windows::~Windows()
{
    // Top-level widgets have no parent; they go with the manager.
    for (auto& [kind, window] : m_windows)
        delete window.data();
}

QString Windows::title(Kind kind)
{
    switch (kind) {
    case Kind::setup:
        return QStringLiteral("Ringlark Setup");
    case Kind::pairing:
        return QStringLiteral("Pair Your Phone");
    }
    return {};
}

QWidget* Windows::window(Kind kind) const
{
    const auto it = m_windows.find(kind);
    return it == m_windows.end() ? nullptr : it->second.data();
}

bool Windows::anyVisible() const
{
    for (const auto& [kind, window] : m_windows)
        if (window && window->isVisible())
            return true;
    return false;
}

QWidget* Windows::make(Kind kind)
{
    QWidget* window = m_make(kind);
    window->setParent(nullptr);
    window->setWindowTitle(title(kind));
    window->setAttribute(Qt::WA_DeleteOnClose, false);
    // Not resizable: the content fixes its own size.
    window->setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowCloseButtonHint
                           | (kind == Kind::setup ? Qt::WindowMinimizeButtonHint : Qt::WindowType(0)));
    window->adjustSize();
    window->setFixedSize(window->sizeHint().expandedTo(window->minimumSize()));
    return window;
}

void Windows::show(Kind kind)
{
    QWidget* window = this->window(kind);
    if (!window) {
        window = make(kind);
        m_windows[kind] = window;
    }
    if (!window->isVisible()) {
        const QScreen* screen = QGuiApplication::primaryScreen();
        if (screen)
            window->setGeometry(QStyle::alignedRect(Qt::LeftToRight, Qt::AlignCenter, window->size(),
                                                    screen->availableGeometry()));
    }
    window->show();
    window->raise();
    window->activateWindow();
}

void Windows::showRequests()
{
    show(Kind::setup);
}

void Windows::setStandalone(bool on)
{
    if (m_standalone == on)
        return;
    m_standalone = on;
    QWidget* setup = window(Kind::setup);
    if (!setup && !on)
        return;
    if (!setup) {
        setup = make(Kind::setup);
        m_windows[Kind::setup] = setup;
    }
    if (m_applyStandalone)
        m_applyStandalone(setup, on);
    if (on)
        show(Kind::setup);
}

} // namespace ringlark
