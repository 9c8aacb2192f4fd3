#pragma once

#include <QImage>
#include <QWidget>

// The picture under every control of the panel, drawn unscaled from its
// top-left corner.
class TPanelImage : public QWidget
{
    Q_OBJECT

public:
    explicit TPanelImage(QWidget *parent = nullptr);
    void setPicture(const QImage &picture);
    const QImage &picture() const { return m_picture; }

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    QImage m_picture;
};
