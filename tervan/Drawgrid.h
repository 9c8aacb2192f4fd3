#pragma once

#include <QAbstractScrollArea>
#include <QColor>

#include <functional>

// A grid of equal cells whose contents its owner draws: the panel's LAM table
// and program grid. Cells are colWidth x rowHeight with a one-pixel grid line
// right of and below each; the grid scrolls by whole rows. The grid fills a
// cell with its background (or the highlight of the selected row) and then
// hands it to the owner's drawCell with the pen set to the text colour.
class TDrawGrid : public QAbstractScrollArea
{
    Q_OBJECT

public:
    using DrawCell = std::function<void(QPainter &, int col, int row, const QRect &cell)>;

    explicit TDrawGrid(QWidget *parent = nullptr);

    void setGrid(int colCount, int rowCount, int colWidth, int rowHeight);
    void setDrawCell(DrawCell drawCell) { m_drawCell = std::move(drawCell); }
    void setBackground(const QColor &colour);
    void setGridLineColor(const QColor &colour);
    void setRowSelect(bool on) { m_rowSelect = on; }

    int colCount() const { return m_colCount; }
    int rowCount() const { return m_rowCount; }
    int topRow() const { return m_topRow; }
    int row() const { return m_row; }
    void setRow(int row);
    // The cell's rectangle in viewport coordinates (empty when scrolled away).
    QRect cellRect(int col, int row) const;
    // Repaints one cell only.
    void updateCell(int col, int row);

signals:
    void rowChanged(int row);

protected:
    void paintEvent(QPaintEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;
    void scrollContentsBy(int dx, int dy) override;

private:
    void updateScrollBar();
    int visibleRows() const;

    int m_colCount = 5;
    int m_rowCount = 5;
    int m_colWidth = 64;
    int m_rowHeight = 24;
    int m_topRow = 0;
    int m_row = 0;
    bool m_rowSelect = false;
    QColor m_background = Qt::white;
    QColor m_gridLine = QColor(192, 192, 192);
    DrawCell m_drawCell;
};
