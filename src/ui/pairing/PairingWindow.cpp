#include "ui/pairing/PairingWindow.h"

#include "model/AppModel.h"
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

Placeholder placeholder(bool daemonReachable, const std::optional<RinglarkStatus>& status,
                        const TailscaleState& tailscale, setup::TailscaleAccess access)
{
    if (!daemonReachable || !status)
        return {{}, QStringLiteral("Starting Ringlark\u2026"), {}, setup::TailscaleAction::none};
    if (tailscale.kind() != TailscaleState::Kind::ready) {
        const setup::TailscaleFix fix = setup::tailscaleFix(tailscale, access);
        return {QStringLiteral("Tailscale"), fix.detail, fix.button, fix.action};
    }
    // Tailscale is up, but the daemon may still fail to serve the phone's
    // page (HTTPS certificates off, no operator rights); it says what to do.
    if (status->tailscale.error && !status->tailscale.error->isEmpty())
        return {QStringLiteral("Tailscale"), *status->tailscale.error, {}, setup::TailscaleAction::none};
    return {{}, QStringLiteral("Getting the pairing link\u2026"), {}, setup::TailscaleAction::none};
}

QStringList steps()
{
    return {QStringLiteral("Scan with your phone's camera."),
            QStringLiteral("On iPhone, add Ringlark to the Home Screen from the Share menu and open it there; on "
                           "Android, tap Install."),
            QStringLiteral("Allow notifications.")};
}

} // namespace pairing

namespace {

// Width of the column between the margins.
constexpr int kMargin = 28;
constexpr int kColumnWidth = 340 - 2 * kMargin;

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
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(kMargin, kMargin, kMargin, kMargin);
    column->setSpacing(20);
    // Fixed at the width the column asks for; the height follows what is shown.
    column->setSizeConstraint(QLayout::SetFixedSize);
    column->addWidget(buildTitle());
    column->addWidget(buildCard(), 0, Qt::AlignHCenter);
    column->addWidget(buildSteps());
    column->addWidget(buildAddress(), 0, Qt::AlignHCenter);
    m_copy = new QPushButton(this);
    m_copy->setObjectName(QStringLiteral("copyAddress"));
    connect(m_copy, &QPushButton::clicked, this, &PairingWindow::copyAddress);
    column->addWidget(m_copy, 0, Qt::AlignHCenter);

    connect(&m_model, &AppModel::changed, this, [this](AppModel::Field field) {
        // Kept for the life of the process: while hidden it asks the platform nothing.
        if (!m_counted)
            return;
        if (field == AppModel::Field::pairing || field == AppModel::Field::daemonReachable
            || field == AppModel::Field::status)
            renderCard();
        if (field == AppModel::Field::status)
            renderAddress();
    });
    // Drawn once now, so the window manager sizes it for what it will show.
    renderCard();
    renderAddress();
    renderCopyLabel();
}

QWidget* PairingWindow::buildTitle()
{
    auto* title = textLabel(QStringLiteral("Pair Your Phone"), QStringLiteral("title"), this);
    QFont titleFont = scaled(font(), 17.0 / 13.0);
    titleFont.setWeight(QFont::DemiBold);
    title->setFont(titleFont);
    title->setFixedWidth(kColumnWidth);
    return title;
}

QWidget* PairingWindow::buildCard()
{
    auto* card = new pairing::Card(this);
    auto* layout = new QGridLayout(card);
    layout->setContentsMargins(16, 16, 16, 16);
    m_code = new pairing::CodeView(card);
    layout->addWidget(m_code, 0, 0, Qt::AlignCenter);
    layout->addWidget(buildPlaceholder(card), 0, 0, Qt::AlignCenter);
    return card;
}

QWidget* PairingWindow::buildPlaceholder(QWidget* card)
{
    m_placeholder = new QWidget(card);
    m_placeholder->setObjectName(QStringLiteral("placeholder"));
    auto* layout = new QVBoxLayout(m_placeholder);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(8);
    layout->addWidget(new pairing::NoNetworkGlyph(m_placeholder), 0, Qt::AlignHCenter);
    m_placeholderHeading = textLabel(QString(), QStringLiteral("placeholderHeading"), m_placeholder);
    QFont heading = scaled(font(), 12.0 / 13.0);
    heading.setWeight(QFont::DemiBold);
    m_placeholderHeading->setFont(heading);
    layout->addWidget(m_placeholderHeading);
    m_placeholderText = textLabel(QString(), QStringLiteral("placeholderText"), m_placeholder);
    m_placeholderText->setFont(scaled(font(), 12.0 / 13.0));
    m_placeholderText->setForegroundRole(QPalette::PlaceholderText);
    m_placeholderText->setWordWrap(true);
    m_placeholderText->setFixedWidth(220);
    // The daemon's advice may name a command to copy.
    m_placeholderText->setTextInteractionFlags(Qt::TextSelectableByMouse);
    layout->addWidget(m_placeholderText);
    m_fix = new QPushButton(m_placeholder);
    m_fix->setObjectName(QStringLiteral("tailscaleButton"));
    connect(m_fix, &QPushButton::clicked, this, [this] {
        setup::perform(m_fixAction, *m_model.platformServices().workspace, m_model.applicationsFolder());
    });
    layout->addWidget(m_fix, 0, Qt::AlignHCenter);
    return m_placeholder;
}

QWidget* PairingWindow::buildSteps()
{
    m_steps = new QWidget(this);
    m_steps->setObjectName(QStringLiteral("steps"));
    m_steps->setFixedWidth(kColumnWidth);
    auto* grid = new QGridLayout(m_steps);
    grid->setContentsMargins(0, 0, 0, 0);
    grid->setHorizontalSpacing(6);
    grid->setVerticalSpacing(6);
    const QStringList steps = pairing::steps();
    for (int i = 0; i < steps.size(); ++i) {
        auto* number = new QLabel(QString::number(i + 1) + QLatin1Char('.'), m_steps);
        number->setFont(scaled(font(), 12.0 / 13.0));
        auto* text = new QLabel(steps[i], m_steps);
        text->setObjectName(QStringLiteral("step"));
        text->setTextFormat(Qt::PlainText);
        text->setWordWrap(true);
        text->setFont(scaled(font(), 12.0 / 13.0));
        grid->addWidget(number, i, 0, Qt::AlignTop | Qt::AlignRight);
        grid->addWidget(text, i, 1);
    }
    grid->setColumnStretch(1, 1);
    return m_steps;
}

QWidget* PairingWindow::buildAddress()
{
    m_address = new QWidget(this);
    m_address->setObjectName(QStringLiteral("addressBlock"));
    auto* layout = new QVBoxLayout(m_address);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(4);
    m_host = textLabel(QString(), QStringLiteral("host"), m_address);
    QFont mono = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    mono.setPointSizeF(scaled(font(), 12.0 / 13.0).pointSizeF());
    m_host->setFont(mono);
    m_host->setTextInteractionFlags(Qt::TextSelectableByMouse);
    m_owner = textLabel(QString(), QStringLiteral("owner"), m_address);
    m_owner->setFont(scaled(font(), 10.0 / 13.0));
    m_owner->setForegroundRole(QPalette::PlaceholderText);
    layout->addWidget(m_host);
    layout->addWidget(m_owner);
    return m_address;
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
    // The steps only make sense beside a code to scan.
    m_steps->setVisible(showCode);
    if (showCode)
        return;
    const TailscaleState& tailscale = m_model.tailscaleState();
    const bool asks = tailscale.kind() == TailscaleState::Kind::notRunning
        || tailscale.kind() == TailscaleState::Kind::needsLogin;
    const auto access = asks ? setup::tailscaleAccess(*m_model.platformServices().workspace, m_model.applicationsFolder())
                             : setup::TailscaleAccess::none;
    const auto shown = pairing::placeholder(m_model.daemonReachable(), m_model.status(), tailscale, access);
    m_placeholderHeading->setText(shown.heading);
    m_placeholderHeading->setVisible(!shown.heading.isEmpty());
    m_placeholderText->setText(shown.message);
    m_fix->setText(shown.button);
    m_fix->setVisible(!shown.button.isEmpty());
    m_fixAction = shown.action;
}

void PairingWindow::renderAddress()
{
    const auto& status = m_model.status();
    // Without a status Tailscale is never ready, so there is nothing to ask the platform.
    const bool ready = status && m_model.tailscaleState().kind() == TailscaleState::Kind::ready;
    if (ready) {
        m_host->setText(m_model.tailscaleState().host());
        m_owner->setText(QStringLiteral("Owner: ") + m_model.tailscaleState().owner());
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
        renderCard();
        renderAddress();
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
