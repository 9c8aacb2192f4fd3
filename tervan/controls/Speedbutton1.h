#pragma once

#include "Colors.h"

#include <QString>
#include <QWidget>

class QPainter;

// The button of the front panel: a speed button whose whole surface is a flat
// face inside a bevel Altitude pixels wide, with its own three colours for the
// up and the down look.
//
// Speed-button behaviour: GroupIndex 0 makes a push button that never stays
// down; any other GroupIndex makes a latching button that toggles Down when the
// left mouse button is released over it. Buttons on the same parent with the
// same non-zero GroupIndex exclude each other and share AllowAllUp; with
// AllowAllUp false a latched button cannot be raised, so one stays down.
// clicked() fires on every release of the left button inside the button.
//
// The seven look properties repaint at once when set, even when unchanged.
class TSpeedButton1 : public QWidget
{
    Q_OBJECT
    Q_PROPERTY(int Altitude READ altitude WRITE setAltitude)
    Q_PROPERTY(TColor FaceColor READ faceColor WRITE setFaceColor)
    Q_PROPERTY(TColor ShadowEdgeColor READ shadowEdgeColor WRITE setShadowEdgeColor)
    Q_PROPERTY(TColor LightEdgeColor READ lightEdgeColor WRITE setLightEdgeColor)
    Q_PROPERTY(TColor LightEdgeColorDown READ lightEdgeColorDown WRITE setLightEdgeColorDown)
    Q_PROPERTY(TColor ShadowEdgeColorDown READ shadowEdgeColorDown WRITE setShadowEdgeColorDown)
    Q_PROPERTY(TColor FaceColorDown READ faceColorDown WRITE setFaceColorDown)
    Q_PROPERTY(int GroupIndex READ groupIndex WRITE setGroupIndex)
    Q_PROPERTY(bool AllowAllUp READ allowAllUp WRITE setAllowAllUp)
    Q_PROPERTY(bool Down READ down WRITE setDown)
    Q_PROPERTY(QString Caption READ caption WRITE setCaption)
    Q_PROPERTY(TColor FontColor READ fontColor WRITE setFontColor)
    Q_PROPERTY(int Tag READ tag WRITE setTag)

public:
    explicit TSpeedButton1(QWidget *parent = nullptr);

    int altitude() const { return m_altitude; }
    void setAltitude(int value);
    TColor faceColor() const { return m_faceColor; }
    void setFaceColor(TColor value);
    TColor shadowEdgeColor() const { return m_shadowEdgeColor; }
    void setShadowEdgeColor(TColor value);
    TColor lightEdgeColor() const { return m_lightEdgeColor; }
    void setLightEdgeColor(TColor value);
    TColor lightEdgeColorDown() const { return m_lightEdgeColorDown; }
    void setLightEdgeColorDown(TColor value);
    TColor shadowEdgeColorDown() const { return m_shadowEdgeColorDown; }
    void setShadowEdgeColorDown(TColor value);
    TColor faceColorDown() const { return m_faceColorDown; }
    void setFaceColorDown(TColor value);

    int groupIndex() const { return m_groupIndex; }
    void setGroupIndex(int value);
    bool allowAllUp() const { return m_allowAllUp; }
    void setAllowAllUp(bool value);
    bool down() const { return m_down; }
    void setDown(bool value);

    QString caption() const { return m_caption; }
    void setCaption(const QString &value);
    // The colour of the caption text (the font's colour); the font itself is
    // the widget's font().
    TColor fontColor() const { return m_fontColor; }
    void setFontColor(TColor value);

    int tag() const { return m_tag; }
    void setTag(int value) { m_tag = value; }

signals:
    void clicked(TSpeedButton1 *sender);

protected:
    void paintEvent(QPaintEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    void changeEvent(QEvent *event) override;

private:
    void paintBase(QPainter &painter) const;
    void paintBevel(QPainter &painter) const;
    void setPressed(bool value);
    void notifyGroup();
    void groupButtonChanged(const TSpeedButton1 &sender);

    // Look
    TColor m_lightEdgeColor = TColor::rgb(255, 255, 255);
    TColor m_shadowEdgeColor = TColor::rgb(0, 0, 0);
    TColor m_faceColor = TColor::rgb(128, 128, 128);
    TColor m_lightEdgeColorDown = TColor::rgb(255, 255, 255);
    TColor m_shadowEdgeColorDown = TColor::rgb(0, 0, 0);
    TColor m_faceColorDown = TColor::rgb(192, 192, 192);
    int m_altitude = 2;

    // Speed-button state
    int m_groupIndex = 0;
    bool m_allowAllUp = false;
    bool m_down = false;
    bool m_tracking = false; // left button went down on this button and is still held
    bool m_pressed = false;  // ... and the pointer is inside
    QString m_caption;
    TColor m_fontColor = TColor::system(COLOR_WINDOWTEXT);
    int m_tag = 0;
};
