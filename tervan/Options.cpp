#include "Options.h"

#include "Camproc.h"
#include "Colors.h"
#include "Fonts.h"
#include "Speedbutton1.h"

#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPainter>
#include <QRegularExpressionValidator>
#include <QStyle>
#include <QStyleOption>

#include <algorithm>

namespace {

constexpr int repeatDelay = 400;    // ms before a held arrow repeats
constexpr int repeatInterval = 50;  // ms between repeats
constexpr int longestDelay = 2000;  // ms

void setColours(QWidget *widget, const QColor &background, const QColor &text, bool fill)
{
    QPalette p = widget->palette();
    p.setColor(QPalette::Window, background);
    p.setColor(QPalette::Base, background);
    p.setColor(QPalette::WindowText, text);
    p.setColor(QPalette::Text, text);
    widget->setPalette(p);
    widget->setAutoFillBackground(fill);
}

} // namespace

// ---- TUpDown ------------------------------------------------------------------

TUpDown::TUpDown(QWidget *parent) : QWidget(parent)
{
    setFocusPolicy(Qt::NoFocus);
    connect(&m_repeat, &QTimer::timeout, this, &TUpDown::repeat);
}

void TUpDown::setRange(int min, int max)
{
    m_min = min;
    m_max = std::max(min, max);
    setPosition(m_position);
}

int TUpDown::position() const
{
    if (m_buddy) {
        bool ok = false;
        const int typed = m_buddy->text().trimmed().toInt(&ok);
        if (ok && typed >= m_min && typed <= m_max)
            m_position = typed;
    }
    return m_position;
}

void TUpDown::setPosition(int value)
{
    const int clamped = std::clamp(value, m_min, m_max);
    const bool changed = clamped != m_position;
    m_position = clamped;
    showPosition();
    if (changed)
        emit positionChanged(m_position);
}

void TUpDown::setAssociate(QLineEdit *buddy)
{
    if (m_buddy)
        m_buddy->removeEventFilter(this);
    m_buddy = buddy;
    if (m_buddy) {
        m_buddy->installEventFilter(this);
        connect(m_buddy, &QLineEdit::editingFinished, this, [this] {
            position();
            showPosition();
        });
        showPosition();
    }
}

void TUpDown::step(int delta)
{
    int next = position() + delta;
    if (next > m_max)
        next = m_wrap ? m_min : m_max;
    else if (next < m_min)
        next = m_wrap ? m_max : m_min;
    setPosition(next);
}

void TUpDown::showPosition()
{
    if (m_buddy && m_buddy->text() != QString::number(m_position))
        m_buddy->setText(QString::number(m_position));
}

void TUpDown::repeat()
{
    m_repeat.setInterval(repeatInterval);
    step(m_held);
}

void TUpDown::mousePressEvent(QMouseEvent *event)
{
    if (event->button() != Qt::LeftButton)
        return;
    m_held = event->position().y() < height() / 2.0 ? 1 : -1;
    step(m_held);
    m_repeat.start(repeatDelay);
    update();
}

void TUpDown::mouseReleaseEvent(QMouseEvent *event)
{
    if (event->button() != Qt::LeftButton)
        return;
    m_held = 0;
    m_repeat.stop();
    update();
}

bool TUpDown::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == m_buddy && event->type() == QEvent::KeyPress) {
        const int key = static_cast<QKeyEvent *>(event)->key();
        if (key == Qt::Key_Up || key == Qt::Key_Down) {
            step(key == Qt::Key_Up ? 1 : -1);
            return true;
        }
    }
    return QWidget::eventFilter(watched, event);
}

void TUpDown::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    const int half = height() / 2;
    const QRect halves[2] = {QRect(0, 0, width(), half), QRect(0, half, width(), height() - half)};
    for (int i = 0; i < 2; ++i) {
        QStyleOptionButton button;
        button.initFrom(this);
        button.rect = halves[i];
        const bool sunken = m_held == (i == 0 ? 1 : -1);
        button.state |= sunken ? QStyle::State_Sunken : QStyle::State_Raised;
        style()->drawPrimitive(QStyle::PE_PanelButtonBevel, &button, &painter, this);
        QStyleOption arrow;
        arrow.initFrom(this);
        arrow.rect = halves[i].adjusted(2, 1, -2, -1);
        style()->drawPrimitive(i == 0 ? QStyle::PE_IndicatorArrowUp : QStyle::PE_IndicatorArrowDown, &arrow, &painter,
                               this);
    }
}

// ---- TfrmOptions --------------------------------------------------------------

TfrmOptions::TfrmOptions(TCamProcessor &worker, QWidget *owner)
    : QDialog(owner, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint), m_worker(worker)
{
    setObjectName(QStringLiteral("frmOptions"));
    setWindowTitle(QStringLiteral("Настройки"));
    // Outer 435 x 188 with a sizable frame (4 px) and a caption (19 px).
    resize(427, 161);
    setFont(TPanelFonts::font("MS Sans Serif", 11));
    setColours(this, QColor(146, 176, 192), Qt::black, true);
    setSizeGripEnabled(false);

    Label1 = createLabel("Label1", QStringLiteral("Задержка между командами микропрограммы"), {32, 32, 242, 13});
    Label1->setWordWrap(true);
    Label1->resize(242, std::max(13, Label1->heightForWidth(242)));
    MaskEdit1 = createEdit("MaskEdit1", {296, 32, 57, 14});
    udp1 = createUpDown("udp1", {353, 32, 14, 14}, MaskEdit1);
    Label2 = createLabel("Label2", QStringLiteral("мс"), {384, 32, 14, 13});
    Label3 = createLabel("Label3", QStringLiteral("Задержка выполнения цикла"), {32, 64, 149, 13});
    MaskEdit2 = createEdit("MaskEdit2", {296, 64, 57, 14});
    udp2 = createUpDown("udp2", {353, 64, 14, 14}, MaskEdit2);
    Label4 = createLabel("Label4", QStringLiteral("мс"), {384, 64, 14, 13});
    SpeedButton11 = createButton("SpeedButton11", QStringLiteral("OK"), {112, 110, 89, 22}, TColor::rgb(0, 255, 0).value());
    SpeedButton12 = createButton("SpeedButton12", QStringLiteral("Отмена"), {232, 110, 89, 22}, TColor::rgb(255, 0, 0).value());

    // Tab order: the first edit, its arrows, the second edit, its arrows
    // (the arrows take no focus of their own).
    setTabOrder(MaskEdit1, MaskEdit2);

    connect(SpeedButton11, &TSpeedButton1::clicked, this, &TfrmOptions::SpeedButton11Click);
    connect(SpeedButton12, &TSpeedButton1::clicked, this, &TfrmOptions::SpeedButton12Click);
}

QLabel *TfrmOptions::createLabel(const char *name, const QString &text, QRect geometry)
{
    auto *label = new QLabel(text, this);
    label->setObjectName(QLatin1String(name));
    label->setGeometry(geometry);
    label->setFont(TPanelFonts::font("MS Sans Serif", 11));
    setColours(label, QColor(146, 176, 192), Qt::white, false);
    return label;
}

QLineEdit *TfrmOptions::createEdit(const char *name, QRect geometry)
{
    auto *edit = new QLineEdit(QStringLiteral("0"), this);
    edit->setObjectName(QLatin1String(name));
    edit->setGeometry(geometry);
    edit->setFrame(false);
    edit->setTextMargins(0, 0, 0, 0);
    edit->setFont(TPanelFonts::font("Verdana", 11, true));
    setColours(edit, Qt::black, QColor(0, 255, 0), true);
    // Digits only; a number beyond the range is not taken (see TUpDown).
    edit->setValidator(new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]{0,4}")), edit));
    return edit;
}

TUpDown *TfrmOptions::createUpDown(const char *name, QRect geometry, QLineEdit *buddy)
{
    auto *upDown = new TUpDown(this);
    upDown->setObjectName(QLatin1String(name));
    upDown->setGeometry(geometry);
    upDown->setRange(0, longestDelay);
    upDown->setWrap(false);
    upDown->setAssociate(buddy);
    upDown->setPosition(0);
    return upDown;
}

TSpeedButton1 *TfrmOptions::createButton(const char *name, const QString &caption, QRect geometry,
                                         std::uint32_t fontColour)
{
    auto *b = new TSpeedButton1(this);
    b->setObjectName(QLatin1String(name));
    b->setGeometry(geometry);
    b->setGroupIndex(0);
    b->setAltitude(2);
    b->setFaceColor(TColor::rgb(128, 128, 128));
    b->setFaceColorDown(TColor::rgb(192, 192, 192));
    b->setLightEdgeColor(TColor::rgb(255, 255, 255));
    b->setLightEdgeColorDown(TColor::rgb(255, 255, 255));
    b->setShadowEdgeColor(TColor::rgb(0, 0, 0));
    b->setShadowEdgeColorDown(TColor::rgb(0, 0, 0));
    b->setFont(TPanelFonts::font("MS Sans Serif", 11, true));
    b->setFontColor(TColor::fromValue(fontColour));
    b->setCaption(caption);
    return b;
}

void TfrmOptions::FormShow()
{
    udp1->setPosition(m_worker.CommandDelay);
    udp2->setPosition(m_worker.CycleDelay);
}

void TfrmOptions::SpeedButton11Click(TSpeedButton1 *)
{
    m_worker.CommandDelay = udp1->position();
    m_worker.CycleDelay = udp2->position();
    accept();
}

void TfrmOptions::SpeedButton12Click(TSpeedButton1 *)
{
    reject();
}

void TfrmOptions::showEvent(QShowEvent *event)
{
    QDialog::showEvent(event);
    // Not when the window comes back from being minimised. The dialog is
    // centred over its owner by QDialog as it is shown.
    if (!event->spontaneous())
        FormShow();
}
