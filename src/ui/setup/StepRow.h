#pragma once

#include "ui/setup/SetupRows.h"

#include <QList>
#include <QStringList>
#include <QWidget>

class QLabel;
class QPushButton;

namespace ringlark::setup {

// The state mark at the start of a row: a green check disc, an orange "!"
// disc, or a dotted circle.
class StepGlyph : public QWidget {
    Q_OBJECT
public:
    explicit StepGlyph(QWidget* parent = nullptr);
    void setState(StepState state);
    StepState state() const { return m_state; }
    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    StepState m_state = StepState::pending;
};

// One checklist row: glyph, title over detail, and up to as many buttons as
// it was given names for. Updated in place from a `Row`.
class StepRow : public QWidget {
    Q_OBJECT
public:
    // `buttonNames` are the object names of the row's buttons, left to right.
    StepRow(const QString& objectName, const QStringList& buttonNames, QWidget* parent = nullptr);

    void setRow(const Row& row);
    const Row& row() const { return m_row; }
    QPushButton* button(int index) const { return m_buttons.value(index); }

private:
    Row m_row;
    StepGlyph* m_glyph;
    QLabel* m_title;
    QLabel* m_detail;
    QList<QPushButton*> m_buttons;
};

// The readiness capsule in the header: a coloured dot and a label.
class StatusPill : public QWidget {
    Q_OBJECT
public:
    explicit StatusPill(QWidget* parent = nullptr);
    void setPill(const Pill& pill);
    const Pill& pill() const { return m_pill; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    Pill m_pill;
    QWidget* m_dot;
    QLabel* m_label;
};

} // namespace ringlark::setup
