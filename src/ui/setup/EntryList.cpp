#include "ui/setup/EntryList.h"

#include "ui/setup/SetupStyle.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

namespace ringlark::setup {

namespace {

QLabel* label(const QString& objectName, int size, QFont::Weight weight, bool secondary, QWidget* parent)
{
    auto* label = new QLabel(parent);
    label->setObjectName(objectName);
    // Names and questions come from phones and agents: never markup.
    label->setTextFormat(Qt::PlainText);
    label->setWordWrap(true);
    label->setFont(style::font(label->font(), size, weight));
    if (secondary)
        label->setForegroundRole(style::secondaryRole);
    return label;
}

} // namespace

EntryList::EntryList(const QString& objectName, QString buttonText, QWidget* parent)
    : QWidget(parent), m_buttonText(std::move(buttonText)), m_layout(new QVBoxLayout(this))
{
    setObjectName(objectName);
    m_layout->setContentsMargins(32, 0, 0, 0); // under the row's text, past its glyph
    m_layout->setSpacing(6);
    m_empty = label(objectName + QStringLiteral("Empty"), style::calloutSize, QFont::Normal, true, this);
    m_empty->hide();
    m_layout->addWidget(m_empty);
}

void EntryList::setEntries(const QList<ListEntry>& entries, const std::optional<QString>& empty)
{
    const auto idsOf = [](const QList<ListEntry>& list) {
        QStringList ids;
        for (const ListEntry& entry : list)
            ids << entry.id;
        return ids;
    };
    if (idsOf(entries) != idsOf(m_entries) || m_shown.size() != entries.size()) {
        rebuild(entries);
    } else {
        for (qsizetype i = 0; i < entries.size(); ++i)
            fill(m_shown[i], entries[i]);
    }
    m_entries = entries;
    m_empty->setText(empty.value_or(QString()));
    m_empty->setVisible(entries.isEmpty() && empty.has_value());
    setVisible(!entries.isEmpty() || empty.has_value());
}

void EntryList::rebuild(const QList<ListEntry>& entries)
{
    // Deleted later: a button of the old entries may be what led here.
    for (const Shown& shown : m_shown) {
        shown.widget->hide();
        m_layout->removeWidget(shown.widget);
        shown.widget->deleteLater();
    }
    m_shown.clear();
    for (const ListEntry& entry : entries) {
        auto* widget = new QWidget(this);
        widget->setObjectName(objectName() + QStringLiteral("Entry"));
        auto* row = new QHBoxLayout(widget);
        row->setContentsMargins(0, 0, 0, 0);
        row->setSpacing(12);
        auto* text = new QVBoxLayout;
        text->setSpacing(1);
        const Shown shown{widget, label(QStringLiteral("title"), style::calloutSize, QFont::Medium, false, widget),
                          label(QStringLiteral("detail"), style::calloutSize, QFont::Normal, true, widget),
                          label(QStringLiteral("note"), style::calloutSize, QFont::Normal, true, widget)};
        text->addWidget(shown.title);
        text->addWidget(shown.detail);
        text->addWidget(shown.note);
        row->addLayout(text, 1);
        auto* button = new QPushButton(m_buttonText, widget);
        button->setObjectName(objectName() + QStringLiteral("Button"));
        const QString id = entry.id;
        QObject::connect(button, &QPushButton::clicked, this, [this, id] { emit activated(id); });
        row->addWidget(button, 0, Qt::AlignVCenter);
        fill(shown, entry);
        m_layout->addWidget(widget);
        m_shown.append(shown);
    }
}

void EntryList::fill(const Shown& shown, const ListEntry& entry)
{
    shown.title->setText(entry.title);
    shown.detail->setText(entry.detail);
    shown.detail->setVisible(!entry.detail.isEmpty());
    shown.note->setText(entry.note);
    shown.note->setVisible(!entry.note.isEmpty());
}

} // namespace ringlark::setup
