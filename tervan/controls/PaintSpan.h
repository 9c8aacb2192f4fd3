#pragma once

#include <QColor>
#include <QPainter>
#include <QRect>

#include <algorithm>

// Pixel spans as the controls' painting describes them: from (left, top) up to
// but not including (right, bottom). A reversed span is empty. The arithmetic
// is 64-bit so that no property value, however large, overflows it.

// The part of the span that lies inside bounds.
inline QRect visibleSpan(const QRect &bounds, qint64 left, qint64 top, qint64 right, qint64 bottom)
{
    left = std::max<qint64>(left, bounds.left());
    top = std::max<qint64>(top, bounds.top());
    right = std::min<qint64>(right, qint64(bounds.right()) + 1);
    bottom = std::min<qint64>(bottom, qint64(bounds.bottom()) + 1);
    if (left >= right || top >= bottom)
        return {};
    return QRect(int(left), int(top), int(right - left), int(bottom - top));
}

inline void fillSpan(QPainter &painter, const QRect &bounds, qint64 left, qint64 top,
                     qint64 right, qint64 bottom, const QColor &color)
{
    const QRect area = visibleSpan(bounds, left, top, right, bottom);
    if (!area.isEmpty())
        painter.fillRect(area, color);
}
