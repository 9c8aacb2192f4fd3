#include "Speedbutton1.h"

#include "PaintSpan.h"

#include <QFontMetrics>
#include <QMouseEvent>
#include <QPainter>
#include <QPalette>
#include <qdrawutil.h>

#include <algorithm>

TSpeedButton1::TSpeedButton1(QWidget *parent) : QWidget(parent)
{
    setAttribute(Qt::WA_OpaquePaintEvent);
    setFocusPolicy(Qt::NoFocus);
    resize(23, 22);
}

void TSpeedButton1::setAltitude(int value)
{
    m_altitude = value;
    repaint();
}

void TSpeedButton1::setFaceColor(TColor value)
{
    m_faceColor = value;
    repaint();
}

void TSpeedButton1::setShadowEdgeColor(TColor value)
{
    m_shadowEdgeColor = value;
    repaint();
}

void TSpeedButton1::setLightEdgeColor(TColor value)
{
    m_lightEdgeColor = value;
    repaint();
}

void TSpeedButton1::setLightEdgeColorDown(TColor value)
{
    m_lightEdgeColorDown = value;
    repaint();
}

void TSpeedButton1::setShadowEdgeColorDown(TColor value)
{
    m_shadowEdgeColorDown = value;
    repaint();
}

void TSpeedButton1::setFaceColorDown(TColor value)
{
    m_faceColorDown = value;
    repaint();
}

void TSpeedButton1::setGroupIndex(int value)
{
    if (value == m_groupIndex)
        return;
    m_groupIndex = value;
    notifyGroup();
}

void TSpeedButton1::setAllowAllUp(bool value)
{
    if (value == m_allowAllUp)
        return;
    m_allowAllUp = value;
    notifyGroup();
}

void TSpeedButton1::setDown(bool value)
{
    if (m_groupIndex == 0)
        value = false; // a push button never latches
    if (value == m_down)
        return;
    if (m_down && !m_allowAllUp)
        return; // the group must keep one button down
    m_down = value;
    repaint();
    if (m_down)
        notifyGroup();
}

void TSpeedButton1::setCaption(const QString &value)
{
    m_caption = value;
    repaint();
}

void TSpeedButton1::setFontColor(TColor value)
{
    m_fontColor = value;
    repaint();
}

// Tells the other buttons of the group (same parent, same non-zero GroupIndex)
// that this one went down or changed its grouping.
void TSpeedButton1::notifyGroup()
{
    if (m_groupIndex == 0 || !parentWidget())
        return;
    for (QObject *child : parentWidget()->children()) {
        auto *button = qobject_cast<TSpeedButton1 *>(child);
        if (button && button != this && button->m_groupIndex == m_groupIndex)
            button->groupButtonChanged(*this);
    }
}

// Another button of the group went down or changed its grouping: follow its
// AllowAllUp, and step up if both are down. No click fires for this.
void TSpeedButton1::groupButtonChanged(const TSpeedButton1 &sender)
{
    if (sender.m_down && m_down) {
        m_down = false;
        repaint();
    }
    m_allowAllUp = sender.m_allowAllUp;
}

void TSpeedButton1::setPressed(bool value)
{
    if (value == m_pressed)
        return;
    m_pressed = value;
    update();
}

void TSpeedButton1::mousePressEvent(QMouseEvent *event)
{
    if (event->button() != Qt::LeftButton) {
        QWidget::mousePressEvent(event);
        return;
    }
    m_tracking = true;
    setPressed(rect().contains(event->position().toPoint()));
}

void TSpeedButton1::mouseMoveEvent(QMouseEvent *event)
{
    if (!m_tracking) {
        QWidget::mouseMoveEvent(event);
        return;
    }
    setPressed(rect().contains(event->position().toPoint()));
}

void TSpeedButton1::mouseReleaseEvent(QMouseEvent *event)
{
    if (event->button() != Qt::LeftButton || !m_tracking) {
        QWidget::mouseReleaseEvent(event);
        return;
    }
    m_tracking = false;
    setPressed(false);
    if (!rect().contains(event->position().toPoint()))
        return; // released outside: nothing happens, the Down look stays as it was
    if (m_groupIndex != 0)
        setDown(!m_down);
    emit clicked(this);
}

void TSpeedButton1::changeEvent(QEvent *event)
{
    QWidget::changeEvent(event);
    if (event->type() == QEvent::EnabledChange && !isEnabled()) {
        m_tracking = false;
        m_pressed = false;
    } else if (event->type() == QEvent::FontChange) {
        repaint();
    }
}

void TSpeedButton1::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    // The bevel covers every pixel, so an enabled button shows nothing of the
    // plain speed-button look; a disabled one shows only that.
    if (isEnabled())
        paintBevel(painter);
    else
        paintBase(painter);
}

// The plain speed-button look: a classic raised (or, when down, sunken) button
// in the system colours with an etched caption. Seen only when disabled.
void TSpeedButton1::paintBase(QPainter &painter) const
{
    QPalette palette;
    palette.setColor(QPalette::Light, TColor::system(COLOR_BTNHIGHLIGHT).toQColor());
    palette.setColor(QPalette::Midlight, TColor::system(COLOR_3DLIGHT).toQColor());
    palette.setColor(QPalette::Dark, TColor::system(COLOR_BTNSHADOW).toQColor());
    palette.setColor(QPalette::Shadow, TColor::system(COLOR_3DDKSHADOW).toQColor());
    palette.setColor(QPalette::Button, TColor::system(COLOR_BTNFACE).toQColor());
    const bool sunken = m_down || m_pressed;
    const QBrush face(palette.color(QPalette::Button));
    qDrawWinButton(&painter, rect(), palette, sunken, &face);
    if (m_caption.isEmpty())
        return;
    const QRect textRect = sunken ? rect().translated(1, 1) : rect();
    painter.setFont(font());
    painter.setPen(palette.color(QPalette::Light));
    painter.drawText(textRect.translated(1, 1), Qt::AlignCenter, m_caption);
    painter.setPen(TColor::system(COLOR_GRAYTEXT).toQColor());
    painter.drawText(textRect, Qt::AlignCenter, m_caption);
}

// The bevel of width A = Altitude around the face (A, A, W - A, H - A). The
// outer colour takes the top and left bands, the inner colour the bottom and
// right bands; the lower-left and upper-right corner squares are split along
// their rising diagonal, the diagonal itself and the part below it inner. Down
// (latched or held) swaps in the down set, whose shadow colour is the outer one
// so that the button looks sunk in.
void TSpeedButton1::paintBevel(QPainter &painter) const
{
    const bool downLook = m_down || m_pressed;
    const QColor outer = (downLook ? m_shadowEdgeColorDown : m_lightEdgeColor).toQColor();
    const QColor inner = (downLook ? m_lightEdgeColorDown : m_shadowEdgeColor).toQColor();
    const QColor face = (downLook ? m_faceColorDown : m_faceColor).toQColor();

    const QRect bounds = rect();
    const qint64 a = m_altitude;
    const qint64 w = width();
    const qint64 h = height();

    fillSpan(painter, bounds, 0, 0, w, h, outer);
    fillSpan(painter, bounds, a, a, w, h, inner);
    fillSpan(painter, bounds, a, a, w - a, h - a, face);

    // Mitre lines in the inner colour, one per band row (lower left) and band
    // column (upper right); each runs up to but not including its end point.
    // Lines that lie wholly outside the button are skipped.
    for (qint64 j = 0; j < std::min(a, h); ++j)
        fillSpan(painter, bounds, j, h - 1 - j, j + a, h - j, inner);
    for (qint64 j = std::max<qint64>(0, a - w); j < a; ++j)
        fillSpan(painter, bounds, w - a + j, a - 1 - j, w - a + j + 1, a + 1, inner);

    if (m_caption.isEmpty())
        return;
    const QRect faceArea = visibleSpan(bounds, a, a, w - a, h - a);
    if (faceArea.isEmpty())
        return;

    // Centred on the face with truncating division (an odd remainder goes right
    // and down; a caption larger than the face is cut on both sides), drawn on
    // an opaque face-coloured cell, clipped to the face, never shifted.
    const QFontMetrics metrics(font());
    const qint64 textWidth = metrics.horizontalAdvance(m_caption);
    const qint64 textHeight = metrics.height();
    const int x = int(a + (w - 2 * a - textWidth) / 2);
    const int y = int(a + (h - 2 * a - textHeight) / 2);
    painter.setClipRect(faceArea);
    painter.fillRect(QRect(x, y, int(textWidth), int(textHeight)), face);
    painter.setFont(font());
    painter.setPen(m_fontColor.toQColor());
    painter.drawText(x, y + metrics.ascent(), m_caption);
}
