#include "Panelimage.h"

#include <QPaintEvent>
#include <QPainter>

TPanelImage::TPanelImage(QWidget *parent) : QWidget(parent)
{
    setAttribute(Qt::WA_OpaquePaintEvent);
}

void TPanelImage::setPicture(const QImage &picture)
{
    m_picture = picture;
    update();
}

void TPanelImage::paintEvent(QPaintEvent *event)
{
    QPainter painter(this);
    // Plain background wherever the picture does not reach.
    painter.fillRect(event->rect(), QColor(147, 176, 192));
    if (!m_picture.isNull())
        painter.drawImage(QPoint(0, 0), m_picture);
}
