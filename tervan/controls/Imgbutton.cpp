#include "Imgbutton.h"

#include "PaintSpan.h"

#include <QMessageBox>
#include <QMouseEvent>
#include <QPainter>
#include <QPointer>

#include <algorithm>
#include <typeinfo>
#include <utility>

namespace {

#include "CHCK_BMP.xpm"

const QImage &checkMark()
{
    static const QImage image = QImage(CHCK_BMP).convertToFormat(QImage::Format_RGB32);
    return image;
}

void showErrorBox(const QString &message)
{
    QMessageBox box(QMessageBox::Critical, QStringLiteral("Error"), message, QMessageBox::Ok);
    box.exec();
}

TImgButton::ErrorReporter &installedReporter()
{
    static TImgButton::ErrorReporter reporter;
    return reporter;
}

// The widget extent for an image extent plus the frame, within what Qt accepts.
int framedExtent(int imageExtent)
{
    return int(std::clamp<qint64>(qint64(imageExtent) + 2, 0, QWIDGETSIZE_MAX));
}

} // namespace

TImgButton::TImgButton(QWidget *parent) : QWidget(parent)
{
    setMouseTracking(true);
    resize(50, 50);
}

TImgButton::ErrorReporter TImgButton::setErrorReporter(ErrorReporter reporter)
{
    return std::exchange(installedReporter(), std::move(reporter));
}

void TImgButton::reportError(const QString &message)
{
    if (const ErrorReporter &reporter = installedReporter())
        reporter(message);
    else
        showErrorBox(message);
}

void TImgButton::setGlyph(const QImage &value)
{
    // The strip is only ever read as a plain bitmap.
    m_glyph = value.convertToFormat(QImage::Format_RGB32);
    m_statesCount = 1;
}

void TImgButton::setStatesCount(int value)
{
    if (value < 0) {
        reportError(QStringLiteral("SatesCount must be positive"));
        return;
    }
    m_statesCount = value;
    repaint();
}

void TImgButton::setCurrentState(int value)
{
    if (value < 0 || value > m_statesCount - 1) {
        reportError(QStringLiteral("CurrentState value not corresponding to StatesCount"));
        return;
    }
    if (m_groupIndex != 0 && parent()) {
        // The members are the parent's children of exactly this class (a derived
        // class is not a member), in child order. The list is read afresh at
        // every step: a handler may add or remove children, set states in turn,
        // or even delete this button.
        const QPointer<TImgButton> self(this);
        const QPointer<QObject> owner(parent());
        for (qsizetype i = 0; self && owner && i < owner->children().size(); ++i) {
            QObject *component = owner->children().at(i);
            if (component == this || typeid(*component) != typeid(TImgButton))
                continue;
            auto *member = static_cast<TImgButton *>(component);
            if (member->m_groupIndex == m_groupIndex)
                emit member->groupStateChange(member, m_currentState, value);
        }
        if (!self)
            return;
    }
    m_currentState = value;
    repaint();
}

void TImgButton::setStateImageWidth(int value)
{
    m_stateImageWidth = value;
    resize(framedExtent(value), height());
}

void TImgButton::setStateImageHeight(int value)
{
    m_stateImageHeight = value;
    resize(width(), framedExtent(value));
}

void TImgButton::setChecked(bool value)
{
    if (value == m_checked)
        return;
    m_checked = value;
    repaint();
}

void TImgButton::mousePressEvent(QMouseEvent *event)
{
    emit mouseDown(this, event->button(), event->modifiers(), event->position().toPoint());
}

void TImgButton::mouseMoveEvent(QMouseEvent *event)
{
    emit mouseMove(this, event->buttons(), event->modifiers(), event->position().toPoint());
}

void TImgButton::mouseReleaseEvent(QMouseEvent *event)
{
    emit mouseUp(this, event->button(), event->modifiers(), event->position().toPoint());
}

void TImgButton::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    const QRect bounds = rect();
    if (m_glyph.isNull()) {
        painter.fillRect(QRect(0, 0, 50, 50), QColor(255, 0, 0));
        return;
    }

    // Black frame: rows 0 and H + 1, columns 0 and W + 1.
    const qint64 w = m_stateImageWidth;
    const qint64 h = m_stateImageHeight;
    const QColor black(0, 0, 0);
    fillSpan(painter, bounds, 0, 0, w + 2, 1, black);
    fillSpan(painter, bounds, 0, h + 1, w + 2, h + 2, black);
    fillSpan(painter, bounds, 0, 0, 1, h + 2, black);
    fillSpan(painter, bounds, w + 1, 0, w + 2, h + 2, black);

    // State k of the strip, copied unscaled into the frame. Whatever part of it
    // lies beyond the strip is left as it was.
    const qint64 stateLeft = qint64(m_currentState) * (w + 1);
    const QRect source = visibleSpan(m_glyph.rect(), stateLeft, 0, stateLeft + w, h);
    if (!source.isEmpty()) {
        painter.setCompositionMode(QPainter::CompositionMode_Source);
        painter.drawImage(QPoint(int(1 + source.left() - stateLeft), 1 + source.top()), m_glyph,
                          source);
    }

    // The check mark keeps its place whatever the image size: white leaves the
    // image as it is, dark darkens it.
    if (m_checked) {
        painter.setCompositionMode(QPainter::RasterOp_SourceAndDestination);
        painter.drawImage(QPoint(50, 10), checkMark());
    }
}
