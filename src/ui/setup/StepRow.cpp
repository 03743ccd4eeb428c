#include "ui/setup/StepRow.h"

#include "ui/setup/SetupStyle.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPainterPath>
#include <QPushButton>
#include <QVBoxLayout>

#include <cmath>
#include <numbers>

namespace ringlark::setup {

namespace {

constexpr int kGlyphColumn = 20;
// The mark is drawn at the size of the title-3 font.
constexpr qreal kGlyphDiameter = style::title3Size + 1;

QColor pillDotColor(PillColor color)
{
    switch (color) {
    case PillColor::green:
        return style::green();
    case PillColor::orange:
        return style::orange();
    case PillColor::gray:
        break;
    }
    return style::gray();
}

class Dot : public QWidget {
public:
    explicit Dot(QWidget* parent) : QWidget(parent) { setFixedSize(8, 8); }
    QColor color = style::gray();

protected:
    void paintEvent(QPaintEvent*) override
    {
        QPainter p(this);
        p.setRenderHint(QPainter::Antialiasing);
        p.setPen(Qt::NoPen);
        p.setBrush(color);
        p.drawEllipse(rect());
    }
};

} // namespace

StepGlyph::StepGlyph(QWidget* parent) : QWidget(parent)
{
    setFixedWidth(kGlyphColumn);
    setMinimumHeight(kGlyphColumn);
}

void StepGlyph::setState(StepState state)
{
    if (state == m_state)
        return;
    m_state = state;
    update();
}

QSize StepGlyph::sizeHint() const { return {kGlyphColumn, kGlyphColumn}; }

void StepGlyph::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const QPointF c = QRectF(rect()).center();
    const qreal r = kGlyphDiameter / 2;
    const QRectF disc(c.x() - r, c.y() - r, 2 * r, 2 * r);

    if (m_state == StepState::pending) {
        p.setPen(Qt::NoPen);
        p.setBrush(style::tertiaryText(palette()));
        constexpr int dots = 12;
        for (int i = 0; i < dots; ++i) {
            const qreal angle = 2 * std::numbers::pi * i / dots;
            const QPointF at(c.x() + (r - 1) * std::cos(angle), c.y() + (r - 1) * std::sin(angle));
            p.drawEllipse(at, 1.0, 1.0);
        }
        return;
    }

    p.setPen(Qt::NoPen);
    p.setBrush(m_state == StepState::done ? style::green() : style::orange());
    p.drawEllipse(disc);

    QPen mark(Qt::white, 1.8, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
    p.setPen(mark);
    p.setBrush(Qt::NoBrush);
    if (m_state == StepState::done) {
        QPainterPath check;
        check.moveTo(c.x() - r * 0.45, c.y() + r * 0.02);
        check.lineTo(c.x() - r * 0.1, c.y() + r * 0.38);
        check.lineTo(c.x() + r * 0.48, c.y() - r * 0.36);
        p.drawPath(check);
    } else {
        p.drawLine(QPointF(c.x(), c.y() - r * 0.5), QPointF(c.x(), c.y() + r * 0.12));
        p.setPen(Qt::NoPen);
        p.setBrush(Qt::white);
        p.drawEllipse(QPointF(c.x(), c.y() + r * 0.45), 1.1, 1.1);
    }
}

StepRow::StepRow(const QString& objectName, const QStringList& buttonNames, QWidget* parent)
    : QWidget(parent), m_glyph(new StepGlyph(this)), m_title(new QLabel(this)), m_detail(new QLabel(this))
{
    setObjectName(objectName);
    m_glyph->setObjectName(QStringLiteral("glyph"));
    m_title->setObjectName(QStringLiteral("title"));
    m_detail->setObjectName(QStringLiteral("detail"));

    m_title->setFont(style::font(font(), style::bodySize, QFont::Medium));
    m_detail->setFont(style::font(font(), style::calloutSize));
    m_detail->setWordWrap(true);
    m_detail->setForegroundRole(style::secondaryRole);

    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(0, 4, 0, 4);
    row->setSpacing(12);
    row->addWidget(m_glyph, 0, Qt::AlignVCenter);

    auto* text = new QVBoxLayout;
    text->setSpacing(2);
    text->addWidget(m_title);
    text->addWidget(m_detail);
    row->addLayout(text, 1);

    auto* controls = new QHBoxLayout;
    controls->setSpacing(8);
    for (const QString& name : buttonNames) {
        auto* button = new QPushButton(this);
        button->setObjectName(name);
        button->hide();
        controls->addWidget(button);
        m_buttons.append(button);
    }
    row->addLayout(controls);
}

void StepRow::setRow(const Row& row)
{
    m_row = row;
    m_glyph->setState(row.state);
    m_title->setText(row.title);
    m_detail->setText(row.detail);
    for (int i = 0; i < m_buttons.size(); ++i) {
        QPushButton* button = m_buttons[i];
        if (i < row.controls.size()) {
            button->setText(row.controls[i].text);
            button->setEnabled(row.controls[i].enabled);
            button->show();
        } else {
            button->hide();
        }
    }
}

StatusPill::StatusPill(QWidget* parent) : QWidget(parent), m_dot(new Dot(this)), m_label(new QLabel(this))
{
    setObjectName(QStringLiteral("pill"));
    m_label->setObjectName(QStringLiteral("pillLabel"));
    m_label->setFont(style::font(font(), style::calloutSize, QFont::Medium));
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(10, 5, 10, 5);
    layout->setSpacing(6);
    layout->addWidget(m_dot, 0, Qt::AlignVCenter);
    layout->addWidget(m_label, 0, Qt::AlignVCenter);
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    setPill(setup::pill(false, false));
}

void StatusPill::setPill(const Pill& pill)
{
    m_pill = pill;
    static_cast<Dot*>(m_dot)->color = pillDotColor(pill.color);
    m_dot->update();
    m_label->setText(pill.label);
}

void StatusPill::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(Qt::NoPen);
    p.setBrush(style::quaternaryFill(palette()));
    const qreal radius = height() / 2.0;
    p.drawRoundedRect(QRectF(rect()), radius, radius);
}

} // namespace ringlark::setup
