#include "Drawgrid.h"

#include <QMouseEvent>
#include <QPaintEvent>
#include <QPainter>
#include <QScrollBar>

#include <algorithm>

TDrawGrid::TDrawGrid(QWidget *parent) : QAbstractScrollArea(parent)
{
    setFrameStyle(QFrame::NoFrame);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    verticalScrollBar()->setSingleStep(1);
}

void TDrawGrid::setGrid(int colCount, int rowCount, int colWidth, int rowHeight)
{
    m_colCount = colCount;
    m_rowCount = rowCount;
    m_colWidth = colWidth;
    m_rowHeight = rowHeight;
    updateScrollBar();
    viewport()->update();
}

void TDrawGrid::setBackground(const QColor &colour)
{
    m_background = colour;
    viewport()->update();
}

void TDrawGrid::setGridLineColor(const QColor &colour)
{
    m_gridLine = colour;
    viewport()->update();
}

void TDrawGrid::setRow(int row)
{
    row = std::clamp(row, 0, std::max(0, m_rowCount - 1));
    if (row == m_row)
        return;
    m_row = row;
    if (row < m_topRow)
        verticalScrollBar()->setValue(row);
    else if (row >= m_topRow + visibleRows())
        verticalScrollBar()->setValue(row - visibleRows() + 1);
    viewport()->update();
    emit rowChanged(row);
}

QRect TDrawGrid::cellRect(int col, int row) const
{
    if (col < 0 || col >= m_colCount || row < m_topRow || row >= m_rowCount)
        return {};
    return QRect(col * (m_colWidth + 1), (row - m_topRow) * (m_rowHeight + 1), m_colWidth, m_rowHeight);
}

void TDrawGrid::updateCell(int col, int row)
{
    const QRect r = cellRect(col, row);
    if (!r.isEmpty())
        viewport()->update(r);
}

int TDrawGrid::visibleRows() const
{
    return std::max(1, viewport()->height() / (m_rowHeight + 1));
}

void TDrawGrid::updateScrollBar()
{
    verticalScrollBar()->setRange(0, std::max(0, m_rowCount - visibleRows()));
    verticalScrollBar()->setPageStep(visibleRows());
}

void TDrawGrid::resizeEvent(QResizeEvent *event)
{
    QAbstractScrollArea::resizeEvent(event);
    updateScrollBar();
}

void TDrawGrid::scrollContentsBy(int, int)
{
    m_topRow = verticalScrollBar()->value();
    viewport()->update();
}

void TDrawGrid::paintEvent(QPaintEvent *event)
{
    QPainter painter(viewport());
    const QRect dirty = event->rect();
    painter.fillRect(dirty, m_gridLine);
    const int lastRow = std::min(m_rowCount, m_topRow + visibleRows() + 1);
    for (int row = m_topRow; row < lastRow; ++row) {
        for (int col = 0; col < m_colCount; ++col) {
            const QRect cell = cellRect(col, row);
            if (!cell.intersects(dirty))
                continue;
            const bool selected = m_rowSelect && row == m_row;
            painter.fillRect(cell, selected ? palette().color(QPalette::Active, QPalette::Highlight) : m_background);
            painter.setPen(selected ? palette().color(QPalette::Active, QPalette::HighlightedText)
                                    : palette().color(QPalette::Active, QPalette::Text));
            painter.setFont(font());
            if (m_drawCell) {
                painter.save();
                painter.setClipRect(cell);
                m_drawCell(painter, col, row, cell);
                painter.restore();
            }
        }
    }
}

void TDrawGrid::mousePressEvent(QMouseEvent *event)
{
    if (event->button() != Qt::LeftButton)
        return;
    const QPoint p = event->position().toPoint();
    const int row = m_topRow + p.y() / (m_rowHeight + 1);
    if (p.y() < 0 || row >= m_rowCount)
        return;
    setRow(row);
}
