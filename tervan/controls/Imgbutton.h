#pragma once

#include <QImage>
#include <QString>
#include <QWidget>

#include <functional>

// A button that shows one of several images cut from one picture strip, in a
// 1-pixel black frame, with an optional check mark. It does not react to the
// mouse itself; it passes the mouse on as mouseDown/mouseMove/mouseUp.
//
// The strip holds the state images side by side, each StateImageWidth wide and
// StateImageHeight high, one pixel column apart. Setting CurrentState tells the
// other TImgButtons of the same parent with the same non-zero GroupIndex,
// before the state is stored, through their groupStateChange signals.
class TImgButton : public QWidget
{
    Q_OBJECT
    Q_PROPERTY(QImage Glyph READ glyph WRITE setGlyph)
    Q_PROPERTY(int StatesCount READ statesCount WRITE setStatesCount)
    Q_PROPERTY(int CurrentState READ currentState WRITE setCurrentState)
    Q_PROPERTY(int StateImageWidth READ stateImageWidth WRITE setStateImageWidth)
    Q_PROPERTY(int StateImageHeight READ stateImageHeight WRITE setStateImageHeight)
    Q_PROPERTY(int GroupIndex READ groupIndex WRITE setGroupIndex)
    Q_PROPERTY(bool Checked READ checked WRITE setChecked)

public:
    // Shows a failure message to the operator. The default shows a modal error
    // box; tests put their own in place.
    using ErrorReporter = std::function<void(const QString &message)>;

    explicit TImgButton(QWidget *parent = nullptr);

    // The button keeps its own copy of the strip; assigning one sets StatesCount to 1.
    const QImage &glyph() const { return m_glyph; }
    void setGlyph(const QImage &value);
    int statesCount() const { return m_statesCount; }
    void setStatesCount(int value);
    int currentState() const { return m_currentState; }
    void setCurrentState(int value);
    int stateImageWidth() const { return m_stateImageWidth; }
    void setStateImageWidth(int value);
    int stateImageHeight() const { return m_stateImageHeight; }
    void setStateImageHeight(int value);
    int groupIndex() const { return m_groupIndex; }
    void setGroupIndex(int value) { m_groupIndex = value; }
    bool checked() const { return m_checked; }
    void setChecked(bool value);

    // Replaces the reporter of every TImgButton and returns the previous one;
    // an empty reporter restores the error box.
    static ErrorReporter setErrorReporter(ErrorReporter reporter);

signals:
    // Sent on a member of the group when another member's CurrentState is set.
    void groupStateChange(TImgButton *sender, int fromState, int toState);
    void mouseDown(TImgButton *sender, Qt::MouseButton button, Qt::KeyboardModifiers modifiers,
                   QPoint pos);
    void mouseMove(TImgButton *sender, Qt::MouseButtons buttons, Qt::KeyboardModifiers modifiers,
                   QPoint pos);
    void mouseUp(TImgButton *sender, Qt::MouseButton button, Qt::KeyboardModifiers modifiers,
                 QPoint pos);

protected:
    void paintEvent(QPaintEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;

private:
    static void reportError(const QString &message);

    QImage m_glyph;
    int m_currentState = 0;
    int m_statesCount = 0;
    int m_stateImageWidth = 0;
    int m_stateImageHeight = 0;
    int m_groupIndex = 0;
    bool m_checked = false;
};
