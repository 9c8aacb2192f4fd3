#pragma once

#include <QImage>
#include <QObject>
#include <QEvent>
#include <QWidget>

// The widget's own painting, one device pixel per pixel, over a background of
// the given colour (what the widget leaves unpainted keeps it).
inline QImage renderOf(QWidget &widget, QRgb background = qRgb(1, 2, 3))
{
    QImage image(widget.size(), QImage::Format_RGB32);
    image.fill(background);
    widget.render(&image, QPoint(), QRegion(), QWidget::DrawChildren);
    return image;
}

// Counts the paint events a widget receives.
class PaintCounter : public QObject
{
public:
    explicit PaintCounter(QWidget &widget) { widget.installEventFilter(this); }
    int count = 0;

protected:
    bool eventFilter(QObject *, QEvent *event) override
    {
        if (event->type() == QEvent::Paint)
            ++count;
        return false;
    }
};
