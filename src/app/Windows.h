#pragma once

#include "ui/WindowKind.h"

#include <QObject>
#include <QPointer>
#include <QWidget>

#include <functional>
#include <map>

namespace ringlark {

// Creates the setup and pairing windows on first use and keeps them for the
// life of the process: closing one only hides it, and the next `show` brings
// back the same window with the same content.
class Windows : public QObject {
    Q_OBJECT
public:
    using Kind = WindowKind;
    // Builds the content of a window kind; `Windows` sets title and flags.
    using Factory = std::function<QWidget*(Kind)>;
    // Puts the setup window into its standalone look (the waiting requests,
    // a Quit button) and out of it again.
    using Standalone = std::function<void(QWidget* setup, bool on)>;

    explicit Windows(Factory make, QObject* parent = nullptr);
    Windows(Factory make, Standalone standalone, QObject* parent = nullptr);
    ~Windows() override;

    // Shows the window of `kind`, centred unless it is already visible, in
    // front and active.
    void show(Kind kind);
    // The setup window with its list of waiting requests in view.
    void showRequests();

    // Without a tray the setup window is the application's main window:
    // turning this on shows it in its standalone look; turning it off only
    // changes the look back.
    void setStandalone(bool on);
    bool standalone() const { return m_standalone; }

    // The window of `kind` if it was made; nothing otherwise.
    QWidget* window(Kind kind) const;
    bool anyVisible() const;

    static QString title(Kind kind);

private:
    QWidget* make(Kind kind);

    Factory m_make;
    Standalone m_applyStandalone;
    bool m_standalone = false;
    std::map<Kind, QPointer<QWidget>> m_windows;
};

} // namespace ringlark
