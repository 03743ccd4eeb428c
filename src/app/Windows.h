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

    explicit Windows(Factory make, QObject* parent = nullptr);
    ~Windows() override;

    // Shows the window of `kind`, centred unless it is already visible, in
    // front and active.
    void show(Kind kind);
    // The waiting requests are listed at the top of the setup window.
    void showRequests() { show(Kind::setup); }

    // The window of `kind` if it was made; nothing otherwise.
    QWidget* window(Kind kind) const;
    bool anyVisible() const;

    static QString title(Kind kind);

private:
    QWidget* make(Kind kind);

    Factory m_make;
    std::map<Kind, QPointer<QWidget>> m_windows;
};

} // namespace ringlark
