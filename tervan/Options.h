#pragma once

#include <QDialog>
#include <QTimer>
#include <QWidget>

#include <cstdint>

class QLabel;
class QLineEdit;
class TCamProcessor;
class TSpeedButton1;

// An up-down control: two arrow halves that step a position within a range
// and show it in a buddy edit field. A press steps once, holding repeats.
// The buddy's text counts as the position when it is a whole number within
// the range; otherwise the last position stays in force, and leaving the
// field shows it again. Up and Down typed in the buddy step as the arrows do.
class TUpDown : public QWidget
{
    Q_OBJECT

public:
    explicit TUpDown(QWidget *parent = nullptr);

    int min() const { return m_min; }
    int max() const { return m_max; }
    void setRange(int min, int max);
    bool wrap() const { return m_wrap; }
    void setWrap(bool value) { m_wrap = value; }

    // The position, taken from the buddy's text when that is valid.
    int position() const;
    // Sets the position, kept within the range, and shows it in the buddy.
    void setPosition(int value);

    QLineEdit *associate() const { return m_buddy; }
    void setAssociate(QLineEdit *buddy);

    // One step as a click on the upper (+1) or lower (-1) half gives.
    void step(int delta);

signals:
    void positionChanged(int position);

protected:
    void paintEvent(QPaintEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void showPosition();
    void repeat();

    int m_min = 0;
    int m_max = 100;
    mutable int m_position = 0;
    bool m_wrap = false;
    int m_held = 0; // +1 or -1 while an arrow is held down
    QLineEdit *m_buddy = nullptr;
    QTimer m_repeat;
};

// The options dialog: the pause between the commands of a program run and
// the pause at the end of each cycle, both in ms. "OK" hands them to the
// worker, which uses a new value from its next pause on; "Отмена" keeps the
// values in force. The dialog keeps nothing between openings.
class TfrmOptions : public QDialog
{
    Q_OBJECT

public:
    // `owner` is the main window: the dialog is centred over it.
    TfrmOptions(TCamProcessor &worker, QWidget *owner);

    void FormShow();
    void SpeedButton11Click(TSpeedButton1 *sender);
    void SpeedButton12Click(TSpeedButton1 *sender);

    QLabel *Label1 = nullptr;
    QLineEdit *MaskEdit1 = nullptr;
    TUpDown *udp1 = nullptr;
    QLabel *Label2 = nullptr;
    QLabel *Label3 = nullptr;
    QLineEdit *MaskEdit2 = nullptr;
    TUpDown *udp2 = nullptr;
    QLabel *Label4 = nullptr;
    TSpeedButton1 *SpeedButton11 = nullptr; // "OK"
    TSpeedButton1 *SpeedButton12 = nullptr; // "Отмена"

protected:
    void showEvent(QShowEvent *event) override;

private:
    QLabel *createLabel(const char *name, const QString &text, QRect geometry);
    QLineEdit *createEdit(const char *name, QRect geometry);
    TUpDown *createUpDown(const char *name, QRect geometry, QLineEdit *buddy);
    TSpeedButton1 *createButton(const char *name, const QString &caption, QRect geometry, std::uint32_t fontColour);

    TCamProcessor &m_worker;
};
