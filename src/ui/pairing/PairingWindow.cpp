#include "ui/pairing/PairingWindow.h"

#include "model/AppModel.h"
#include "model/TailscaleState.h"
#include "ui/pairing/QRCode.h"

#include <QClipboard>
#include <QFontDatabase>
#include <QGraphicsDropShadowEffect>
#include <QGridLayout>
#include <QGuiApplication>
#include <QLabel>
#include <QPainter>
#include <QPainterPath>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>

namespace ringlark {

namespace pairing {

// Draws the code at half its pixel size without smoothing, so the modules
// stay sharp: at twice the scale every image pixel lands on a device pixel.
class CodeView : public QWidget {
public:
    explicit CodeView(QWidget* parent) : QWidget(parent)
    {
        setObjectName(QStringLiteral("qrCode"));
        setAccessibleName(QStringLiteral("Pairing QR code"));
        setFixedSize(220, 220);
    }
    void setImage(const QImage& image)
    {
        m_image = image;
        update();
    }
    const QImage& image() const { return m_image; }

protected:
    void paintEvent(QPaintEvent*) override
    {
        QPainter p(this);
        p.setRenderHint(QPainter::SmoothPixmapTransform, false);
        p.drawImage(rect(), m_image);
    }

private:
    QImage m_image;
};

// A globe crossed out: no network yet.
class NoNetworkGlyph : public QWidget {
public:
    explicit NoNetworkGlyph(QWidget* parent) : QWidget(parent)
    {
        setObjectName(QStringLiteral("noNetworkGlyph"));
        setFixedSize(32, 32);
        setForegroundRole(QPalette::PlaceholderText);
    }

protected:
    void paintEvent(QPaintEvent*) override
    {
        QPainter p(this);
        p.setRenderHint(QPainter::Antialiasing);
        const QColor colour = palette().color(foregroundRole());
        p.setPen(QPen(colour, 1.6, Qt::SolidLine, Qt::RoundCap));
        p.setBrush(Qt::NoBrush);
        const QRectF globe(4, 4, 24, 24);
        p.drawEllipse(globe);
        p.drawEllipse(QRectF(10, 4, 12, 24));
        p.drawLine(QPointF(4, 16), QPointF(28, 16));
        // The slash, cut free from the globe by a gap of the background.
        p.setPen(QPen(palette().color(QPalette::Base), 5, Qt::SolidLine, Qt::RoundCap));
        p.drawLine(QPointF(5, 5), QPointF(27, 27));
        p.setPen(QPen(colour, 1.8, Qt::SolidLine, Qt::RoundCap));
        p.drawLine(QPointF(5, 5), QPointF(27, 27));
    }
};

// The white rounded card the code sits on.
class Card : public QWidget {
public:
    explicit Card(QWidget* parent) : QWidget(parent)
    {
        setObjectName(QStringLiteral("card"));
        setFixedSize(252, 252);
        auto* shadow = new QGraphicsDropShadowEffect(this);
        shadow->setColor(QColor(0, 0, 0, 20));
        shadow->setBlurRadius(8);
        shadow->setOffset(0, 2);
        setGraphicsEffect(shadow);
        // The card stays white in dark themes too, so what is written on it
        // keeps the colours of a light one.
        QPalette light;
        light.setColor(QPalette::PlaceholderText, QColor(0, 0, 0, 128));
        light.setColor(QPalette::Base, Qt::white);
        setPalette(light);
    }

protected:
    void paintEvent(QPaintEvent*) override
    {
        QPainter p(this);
        p.setRenderHint(QPainter::Antialiasing);
        p.setPen(Qt::NoPen);
        p.setBrush(Qt::white);
        p.drawRoundedRect(QRectF(rect()), 16, 16);
    }
};

} // namespace pairing

namespace {

QFont scaled(QFont font, qreal factor)
{
    font.setPointSizeF(font.pointSizeF() * factor);
    return font;
}

QLabel* textLabel(const QString& text, const QString& objectName, QWidget* parent)
{
    auto* label = new QLabel(text, parent);
    label->setObjectName(objectName);
    label->setTextFormat(Qt::PlainText);
    label->setAlignment(Qt::AlignHCenter);
    return label;
}

} // namespace

PairingWindow::PairingWindow(AppModel& model, QWidget* parent)
    : PairingWindow(model, std::chrono::milliseconds(1500), parent)
{
}

PairingWindow::PairingWindow(AppModel& model, std::chrono::milliseconds copiedFor, QWidget* parent)
    : QWidget(parent), m_model(model), m_copiedFor(copiedFor)
{
    setObjectName(QStringLiteral("pairingWindow"));
    // Width of the column between the margins.
    constexpr int columnWidth = 340 - 2 * 28;

    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(28, 28, 28, 28);
    column->setSpacing(20);
    // Fixed at the width the column asks for; the height follows what is shown.
    column->setSizeConstraint(QLayout::SetFixedSize);

    auto* titleBlock = new QVBoxLayout;
    titleBlock->setSpacing(6);
    auto* title = textLabel(QStringLiteral("Pair your iPhone"), QStringLiteral("title"), this);
    QFont titleFont = scaled(font(), 17.0 / 13.0);
    titleFont.setWeight(QFont::DemiBold);
    title->setFont(titleFont);
    title->setFixedWidth(columnWidth);
    auto* subtitle = textLabel(QStringLiteral("Open Ringlark on your iPhone and scan this code."),
                               QStringLiteral("subtitle"), this);
    subtitle->setFont(scaled(font(), 12.0 / 13.0));
    subtitle->setForegroundRole(QPalette::PlaceholderText);
    subtitle->setWordWrap(true);
    subtitle->setFixedWidth(columnWidth);
    titleBlock->addWidget(title);
    titleBlock->addWidget(subtitle);
    column->addLayout(titleBlock);

    auto* card = new pairing::Card(this);
    auto* cardLayout = new QGridLayout(card);
    cardLayout->setContentsMargins(0, 0, 0, 0);
    m_code = new pairing::CodeView(card);
    cardLayout->addWidget(m_code, 0, 0, Qt::AlignCenter);
    m_placeholder = new QWidget(card);
    m_placeholder->setObjectName(QStringLiteral("placeholder"));
    auto* placeholderLayout = new QVBoxLayout(m_placeholder);
    placeholderLayout->setSpacing(8);
    placeholderLayout->addWidget(new pairing::NoNetworkGlyph(m_placeholder), 0, Qt::AlignHCenter);
    m_placeholderText = textLabel(QString(), QStringLiteral("placeholderText"), m_placeholder);
    m_placeholderText->setFont(scaled(font(), 12.0 / 13.0));
    m_placeholderText->setForegroundRole(QPalette::PlaceholderText);
    placeholderLayout->addWidget(m_placeholderText);
    cardLayout->addWidget(m_placeholder, 0, 0, Qt::AlignCenter);
    column->addWidget(card, 0, Qt::AlignHCenter);

    m_address = new QWidget(this);
    m_address->setObjectName(QStringLiteral("addressBlock"));
    auto* addressLayout = new QVBoxLayout(m_address);
    addressLayout->setContentsMargins(0, 0, 0, 0);
    addressLayout->setSpacing(4);
    m_host = textLabel(QString(), QStringLiteral("host"), m_address);
    QFont mono = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    mono.setPointSizeF(scaled(font(), 12.0 / 13.0).pointSizeF());
    m_host->setFont(mono);
    m_host->setTextInteractionFlags(Qt::TextSelectableByMouse);
    m_owner = textLabel(QString(), QStringLiteral("owner"), m_address);
    m_owner->setFont(scaled(font(), 10.0 / 13.0));
    m_owner->setForegroundRole(QPalette::PlaceholderText);
    addressLayout->addWidget(m_host);
    addressLayout->addWidget(m_owner);
    column->addWidget(m_address, 0, Qt::AlignHCenter);

    m_copy = new QPushButton(this);
    m_copy->setObjectName(QStringLiteral("copyAddress"));
    connect(m_copy, &QPushButton::clicked, this, &PairingWindow::copyAddress);
    column->addWidget(m_copy, 0, Qt::AlignHCenter);

    connect(&m_model, &AppModel::changed, this, [this](AppModel::Field field) {
        if (field == AppModel::Field::pairing || field == AppModel::Field::daemonReachable)
            renderCard();
        else if (field == AppModel::Field::status)
            renderAddress();
    });
    renderCard();
    renderAddress();
    renderCopyLabel();
}

void PairingWindow::renderCard()
{
    const auto& pairing = m_model.pairing();
    if (pairing && pairing->url != m_codeText) {
        m_codeText = pairing->url;
        m_codeImage = QRCode::image(pairing->url, 440);
        if (m_codeImage)
            m_code->setImage(*m_codeImage);
    }
    const bool showCode = pairing && m_codeImage;
    m_code->setVisible(showCode);
    m_placeholder->setVisible(!showCode);
    m_placeholderText->setText(m_model.daemonReachable() ? QStringLiteral("Waiting for Tailscale")
                                                         : QStringLiteral("Starting Ringlark…"));
}

void PairingWindow::renderAddress()
{
    const auto& status = m_model.status();
    // Without a status Tailscale is never ready, so there is nothing to ask the platform.
    const auto tailscale = status ? std::optional(TailscaleState::current(status->tailscale,
                                                                          *m_model.platformServices().workspace,
                                                                          m_model.applicationsFolder()))
                                  : std::nullopt;
    const bool ready = tailscale && tailscale->kind() == TailscaleState::Kind::ready;
    if (ready) {
        m_host->setText(tailscale->host());
        m_owner->setText(QStringLiteral("Owner: ") + tailscale->owner());
    }
    m_address->setVisible(ready);
    m_copy->setVisible(ready);
}

void PairingWindow::copyAddress()
{
    // Only the host: it is what the phone or a person types elsewhere.
    QGuiApplication::clipboard()->setText(m_host->text());
    m_copied = true;
    renderCopyLabel();
    // Each press has its own reset and none cancels another, so the label
    // comes back as soon as the first press's time is up.
    QTimer::singleShot(m_copiedFor, this, [this] {
        m_copied = false;
        renderCopyLabel();
    });
}

void PairingWindow::renderCopyLabel()
{
    m_copy->setText(m_copied ? QStringLiteral("Copied") : QStringLiteral("Copy Address"));
}

void PairingWindow::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    if (!m_counted) {
        m_counted = true;
        m_model.windowAppeared();
    }
}

void PairingWindow::hideEvent(QHideEvent* event)
{
    QWidget::hideEvent(event);
    // Minimising and closing both hide; count each stay on screen once.
    if (m_counted) {
        m_counted = false;
        m_model.windowDisappeared();
    }
}

} // namespace ringlark
