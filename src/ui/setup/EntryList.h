#pragma once

#include "ui/setup/SetupRows.h"

#include <QList>
#include <QWidget>

#include <optional>

class QLabel;
class QPushButton;
class QVBoxLayout;

namespace ringlark::setup {

// A list of entries (a title with up to two lines under it) with one button
// each, or a line saying the list is empty. Entries are rebuilt only when
// the ids change; otherwise their texts change in place, so a button under
// the pointer stays put while ages move on.
class EntryList : public QWidget {
    Q_OBJECT
public:
    // `buttonText` labels every entry's button; `objectName` names the
    // list, its entries are "<objectName>Entry" and their buttons
    // "<objectName>Button".
    EntryList(const QString& objectName, QString buttonText, QWidget* parent = nullptr);

    // `empty`: the line to show when there are no entries; none shows nothing.
    void setEntries(const QList<ListEntry>& entries, const std::optional<QString>& empty = std::nullopt);
    const QList<ListEntry>& entries() const { return m_entries; }

signals:
    // An entry's button was pressed.
    void activated(const QString& id);

private:
    struct Shown {
        QWidget* widget;
        QLabel* title;
        QLabel* detail;
        QLabel* note;
    };
    void rebuild(const QList<ListEntry>& entries);
    static void fill(const Shown& shown, const ListEntry& entry);

    QString m_buttonText;
    QVBoxLayout* m_layout;
    QLabel* m_empty;
    QList<ListEntry> m_entries;
    QList<Shown> m_shown;
};

} // namespace ringlark::setup
