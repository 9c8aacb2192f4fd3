#include "PanelDrawing.h"

#include <QFont>
#include <QFontDatabase>
#include <QFontMetrics>
#include <QPainter>

namespace tervan {

namespace {

constexpr int pictureWidth = 600;
constexpr int pictureHeight = 520;

const QColor background(147, 176, 192);
const QColor etchDark(112, 141, 157);
const QColor etchLight(177, 206, 222);
// The two rings of a sunken edge, outer first.
const QColor sunkenOuterTopLeft(112, 141, 157);
const QColor sunkenInnerTopLeft(44, 56, 64);
const QColor sunkenInnerBottomRight(177, 206, 222);
const QColor sunkenOuterBottomRight(255, 255, 255);
const QColor headingBlue(0, 102, 153);
const QColor commandPanel(110, 143, 160);
const QColor executePanel(1, 105, 160);
const QColor indicatorBlue(1, 106, 161);
const QColor programBar(1, 105, 160);
const QColor programField(230, 230, 230);

// Pixel ranges below are inclusive, as (left, top) to (right, bottom).
QRect span(int left, int top, int right, int bottom)
{
    return QRect(QPoint(left, top), QPoint(right, bottom));
}

void hline(QPainter &p, int x0, int x1, int y, const QColor &c)
{
    p.fillRect(span(x0, y, x1, y), c);
}

void vline(QPainter &p, int x, int y0, int y1, const QColor &c)
{
    p.fillRect(span(x, y0, x, y1), c);
}

void outline(QPainter &p, const QRect &r, const QColor &c)
{
    hline(p, r.left(), r.right(), r.top(), c);
    hline(p, r.left(), r.right(), r.bottom(), c);
    vline(p, r.left(), r.top(), r.bottom(), c);
    vline(p, r.right(), r.top(), r.bottom(), c);
}

// A dark line along r and a light one a pixel to the right and below it.
void etchedFrame(QPainter &p, const QRect &r)
{
    outline(p, r.translated(1, 1), etchLight);
    outline(p, r, etchDark);
}

// A field of the given colour inside a 2-pixel edge, darker at the top and
// left, lighter at the bottom and right; r includes the edge.
void sunkenField(QPainter &p, const QRect &r, const QColor &fill)
{
    p.fillRect(r, fill);
    const QRect inner = r.adjusted(1, 1, -1, -1);
    hline(p, r.left(), r.right(), r.bottom(), sunkenOuterBottomRight);
    vline(p, r.right(), r.top(), r.bottom(), sunkenOuterBottomRight);
    hline(p, r.left(), r.right() - 1, r.top(), sunkenOuterTopLeft);
    vline(p, r.left(), r.top(), r.bottom() - 1, sunkenOuterTopLeft);
    hline(p, inner.left(), inner.right(), inner.bottom(), sunkenInnerBottomRight);
    vline(p, inner.right(), inner.top(), inner.bottom(), sunkenInnerBottomRight);
    hline(p, inner.left(), inner.right() - 1, inner.top(), sunkenInnerTopLeft);
    vline(p, inner.left(), inner.top(), inner.bottom() - 1, sunkenInnerTopLeft);
}

QFont font(const QString &face, int pixelSize, bool bold)
{
    QFont f(resolveFontFace(face));
    f.setPixelSize(pixelSize);
    f.setBold(bold);
    f.setHintingPreference(QFont::PreferFullHinting);
    return f;
}

// The pixels that text covers when drawn with its baseline origin at (0, 0).
QRect inkRect(const QFont &f, const QString &text)
{
    const QFontMetrics metrics(f);
    const QRect box = metrics.boundingRect(text).adjusted(-4, -4, 4, 4);
    QImage scratch(box.size(), QImage::Format_ARGB32_Premultiplied);
    scratch.fill(Qt::transparent);
    {
        QPainter p(&scratch);
        p.setFont(f);
        p.setPen(Qt::black);
        p.drawText(-box.left(), -box.top(), text);
    }
    QRect ink;
    for (int y = 0; y < scratch.height(); ++y)
        for (int x = 0; x < scratch.width(); ++x)
            if (qAlpha(scratch.pixel(x, y)) >= 96) // ignore the faintest anti-aliasing
                ink |= QRect(x, y, 1, 1);
    return ink.translated(box.topLeft());
}

// Draws text so that its ink starts at row top and is centred on column
// centre2 / 2 (twice the centre, so that half pixels are exact).
void headingCentred(QPainter &p, const QFont &f, const QColor &c, const QString &text,
                    int centre2, int top)
{
    const QRect ink = inkRect(f, text);
    const int left = (centre2 - ink.width() + 1) / 2;
    p.setFont(f);
    p.setPen(c);
    p.drawText(left - ink.left(), top - ink.top(), text);
}

// Draws text with the top-left corner of its ink at (left, top).
void textAt(QPainter &p, const QFont &f, const QColor &c, const QString &text, int left, int top)
{
    const QRect ink = inkRect(f, text);
    p.setFont(f);
    p.setPen(c);
    p.drawText(left - ink.left(), top - ink.top(), text);
}

} // namespace

QString resolveFontFace(const QString &face)
{
    if (QFontDatabase::hasFamily(face))
        return face;
    struct Substitute
    {
        const char *face;
        const char *first;
        const char *second;
    };
    static const Substitute substitutes[] = {
        {"MS Sans Serif", "Liberation Sans", "DejaVu Sans"},
        {"Arial", "Liberation Sans", "DejaVu Sans"},
        {"Verdana", "DejaVu Sans", "Liberation Sans"},
        {"Times New Roman", "Liberation Serif", "DejaVu Serif"},
        {"Courier New", "Liberation Mono", "DejaVu Sans Mono"},
        {"Courier", "Liberation Mono", "DejaVu Sans Mono"},
        {"Lucida Console", "DejaVu Sans Mono", "Liberation Mono"},
    };
    for (const Substitute &s : substitutes) {
        if (face.compare(QLatin1String(s.face), Qt::CaseInsensitive) != 0)
            continue;
        const QString first = QString::fromLatin1(s.first);
        return QFontDatabase::hasFamily(first) ? first : QString::fromLatin1(s.second);
    }
    return face;
}

QImage drawPanelArtwork()
{
    QImage image(pictureWidth, pictureHeight, QImage::Format_RGB32);
    image.fill(background);
    QPainter p(&image);
    p.setRenderHint(QPainter::TextAntialiasing);

    // Left half: W, R, LAM, signals and program frames.
    etchedFrame(p, span(5, 6, 249, 58));
    etchedFrame(p, span(5, 64, 249, 117));
    etchedFrame(p, span(5, 123, 323, 198));
    etchedFrame(p, span(5, 204, 323, 251));
    etchedFrame(p, span(5, 257, 323, 514));

    sunkenField(p, span(11, 27, 243, 51), Qt::black);   // behind edW
    sunkenField(p, span(11, 86, 243, 110), Qt::black);  // behind RMonitor
    sunkenField(p, span(11, 145, 231, 191), Qt::black); // under LAMTable
    sunkenField(p, span(11, 278, 316, 481), programField); // around ProgMon

    // The X, Q, L and I indicators, each with its letter to the left.
    const int indicatorLeft[] = {39, 113, 187, 261};
    const int letterLeft[] = {27, 101, 176, 252};
    const char *const letters[] = {"X", "Q", "L", "I"};
    const QFont letterFont = font(QStringLiteral("Arial"), 13, true);
    for (int k = 0; k < 4; ++k) {
        sunkenField(p, span(indicatorLeft[k], 226, indicatorLeft[k] + 31, 244), indicatorBlue);
        textAt(p, letterFont, Qt::white, QString::fromLatin1(letters[k]), letterLeft[k], 231);
    }

    // The bar under Очистить, Добавить, Сохранить and Загрузить.
    p.fillRect(span(12, 488, 315, 507), programBar);

    // The groove between the halves: two dark columns, then two light ones.
    p.fillRect(span(329, 6, 330, 513), etchDark);
    p.fillRect(span(331, 6, 332, 513), etchLight);

    // Right half: the panels of the command columns.
    p.fillRect(span(338, 6, 484, 513), commandPanel);
    p.fillRect(span(500, 238, 591, 353), commandPanel);
    p.fillRect(span(500, 368, 591, 513), executePanel);

    const QFont heading = font(QStringLiteral("Arial"), 11, true);
    headingCentred(p, heading, headingBlue, QStringLiteral("Данные для передачи (W)"), 11 + 243, 12);
    headingCentred(p, heading, headingBlue, QStringLiteral("Прочитанные данные (R)"), 11 + 243, 71);
    headingCentred(p, heading, headingBlue, QStringLiteral("Состояние шины прерываний (L)"),
                   35 + 218, 129);
    headingCentred(p, heading, headingBlue, QStringLiteral("Состояние сигналов магистрали"),
                   5 + 323, 211);
    headingCentred(p, heading, headingBlue, QStringLiteral("Программирование цикла"), 11 + 316, 264);

    headingCentred(p, heading, Qt::white, QStringLiteral("Адресные команды"), 338 + 484, 11);
    headingCentred(p, heading, Qt::white, QStringLiteral("Безадресные"), 500 + 591, 243);
    const QString second = QStringLiteral("команды");
    headingCentred(p, heading, Qt::white, second, 500 + 591, 264 - inkRect(heading, second).height() + 1);
    headingCentred(p, heading, Qt::white, QStringLiteral("Выполнить"), 500 + 591, 374);

    p.end();
    return image;
}

} // namespace tervan
