#include "Render.h"
#include "Speedbutton1.h"

#include <QFontMetrics>
#include <QPainter>
#include <QTest>

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <limits>
#include <vector>

namespace {

struct Look
{
    QRgb outer;
    QRgb inner;
    QRgb face;
};

// Distinct colours for all six look properties, so that any mix-up shows.
const TColor light = TColor::rgb(250, 10, 10);
const TColor shadow = TColor::rgb(10, 250, 10);
const TColor face = TColor::rgb(10, 10, 250);
const TColor lightDown = TColor::rgb(200, 200, 0);
const TColor shadowDown = TColor::rgb(0, 200, 200);
const TColor faceDown = TColor::rgb(200, 0, 200);

QRgb rgbOf(TColor color) { return color.toQColor().rgb(); }

// Up: light outside (top, left), shadow inside (bottom, right). Down: crossed.
const Look upLook{rgbOf(light), rgbOf(shadow), rgbOf(face)};
const Look downLook{rgbOf(shadowDown), rgbOf(lightDown), rgbOf(faceDown)};

void colourIn(TSpeedButton1 &button, int width, int height, int altitude)
{
    button.resize(width, height);
    button.setAltitude(altitude);
    button.setLightEdgeColor(light);
    button.setShadowEdgeColor(shadow);
    button.setFaceColor(face);
    button.setLightEdgeColorDown(lightDown);
    button.setShadowEdgeColorDown(shadowDown);
    button.setFaceColorDown(faceDown);
}

bool inFace(int x, int y, int w, int h, int a) { return x >= a && x < w - a && y >= a && y < h - a; }

// The bevel described as regions: the face; the lower-left and upper-right
// corner squares split along their rising diagonal (diagonal and below inner);
// otherwise the top and left bands outer and the rest inner.
QRgb expectedPixel(int x, int y, int w, int h, int a, const Look &look)
{
    if (inFace(x, y, w, h, a))
        return look.face;
    if (x >= w - a && y < a)
        return (x - (w - a)) + y >= a - 1 ? look.inner : look.outer;
    if (x < a && y >= h - a)
        return x >= h - 1 - y ? look.inner : look.outer;
    return (x < a || y < a) ? look.outer : look.inner;
}

// Compares every pixel, or only those inside / outside the face.
enum class Area { All, OutsideFace };

::testing::AssertionResult matchesBevel(const QImage &image, int a, const Look &look,
                                        Area area = Area::All)
{
    const int w = image.width();
    const int h = image.height();
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            if (area == Area::OutsideFace && inFace(x, y, w, h, a))
                continue;
            const QRgb want = expectedPixel(x, y, w, h, a, look);
            const QRgb got = image.pixel(x, y) | 0xFF000000u;
            if (got != want)
                return ::testing::AssertionFailure()
                       << "pixel (" << x << "," << y << ") of " << w << "x" << h << " A=" << a
                       << ": got " << std::hex << got << ", want " << want;
        }
    return ::testing::AssertionSuccess();
}

// The face as it must look: the caption drawn at its centred position
// (truncating division) over the face colour, cut to the face.
QImage expectedFace(const QSize &size, int a, const QString &caption, const QFont &font,
                    QRgb faceColour, const QColor &textColour)
{
    QImage image(size, QImage::Format_RGB32);
    image.fill(faceColour);
    const QFontMetrics metrics(font);
    const int x = a + (size.width() - 2 * a - metrics.horizontalAdvance(caption)) / 2;
    const int y = a + (size.height() - 2 * a - metrics.height()) / 2;
    QPainter painter(&image);
    painter.setFont(font);
    painter.setPen(textColour);
    painter.drawText(x, y + metrics.ascent(), caption);
    return image;
}

::testing::AssertionResult faceMatches(const QImage &image, const QImage &expected, int a)
{
    const int w = image.width();
    const int h = image.height();
    int ink = 0;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            if (!inFace(x, y, w, h, a))
                continue;
            if (expected.pixel(x, y) != expected.pixel(a, a))
                ++ink;
            if ((image.pixel(x, y) | 0xFF000000u) != expected.pixel(x, y))
                return ::testing::AssertionFailure()
                       << "face pixel (" << x << "," << y << ") of " << w << "x" << h
                       << ": got " << std::hex << image.pixel(x, y) << ", want "
                       << expected.pixel(x, y);
        }
    if (ink == 0)
        return ::testing::AssertionFailure() << "no part of the caption lies in the face";
    return ::testing::AssertionSuccess();
}

QFont captionFont(int pixelSize)
{
    QFont font(QStringLiteral("DejaVu Sans"));
    font.setPixelSize(pixelSize);
    return font;
}

// A w x h button with bevel 2 and a yellow caption: bevel untouched, caption
// centred in the face and cut to it.
void expectCaptionInFace(int w, int h, const QString &caption, const QFont &font)
{
    SCOPED_TRACE(testing::Message() << w << "x" << h);
    TSpeedButton1 button;
    colourIn(button, w, h, 2);
    button.setFont(font);
    button.setFontColor(TColor::rgb(255, 255, 0));
    button.setCaption(caption);
    const QImage image = renderOf(button);
    EXPECT_TRUE(matchesBevel(image, 2, upLook, Area::OutsideFace));
    EXPECT_TRUE(faceMatches(
        image, expectedFace(image.size(), 2, caption, font, upLook.face, Qt::yellow), 2));
}

} // namespace

TEST(SpeedButtonPaint, DefaultLookIsWhiteBlackAndGrey)
{
    TSpeedButton1 button;
    const int a = button.altitude();
    EXPECT_EQ(a, 2);
    EXPECT_TRUE(matchesBevel(renderOf(button), a,
                             {qRgb(255, 255, 255), qRgb(0, 0, 0), qRgb(128, 128, 128)}));
    button.setGroupIndex(1);
    button.setDown(true);
    EXPECT_TRUE(matchesBevel(renderOf(button), a,
                             {qRgb(0, 0, 0), qRgb(255, 255, 255), qRgb(192, 192, 192)}));
}

TEST(SpeedButtonPaint, BandsAndMitresForEveryShape)
{
    struct Shape { int w, h, a; };
    // Panel sizes, odd sizes, Altitude 0 (flat face) and Altitude of half the
    // smaller side (no face at all: bands and mitres only).
    const std::vector<Shape> shapes{{23, 22, 2}, {33, 15, 2}, {76, 30, 2}, {17, 9, 3},
                                    {12, 12, 1}, {9, 7, 0},   {10, 10, 5}, {12, 8, 4}};
    for (const Shape &s : shapes) {
        SCOPED_TRACE(testing::Message() << s.w << "x" << s.h << " A=" << s.a);
        TSpeedButton1 button;
        colourIn(button, s.w, s.h, s.a);
        EXPECT_TRUE(matchesBevel(renderOf(button), s.a, upLook));
        button.setGroupIndex(1);
        button.setDown(true);
        EXPECT_TRUE(matchesBevel(renderOf(button), s.a, downLook));
    }
}

TEST(SpeedButtonPaint, OutOfRangeAltitudeStaysBounded)
{
    TSpeedButton1 button;
    colourIn(button, 20, 10, -3);
    const QImage flat = renderOf(button);
    EXPECT_EQ(flat.pixel(0, 0) | 0xFF000000u, upLook.face);
    EXPECT_EQ(flat.pixel(19, 9) | 0xFF000000u, upLook.face);
    // A huge bevel must neither overflow nor loop for ages; it is all bevel.
    button.setAltitude(std::numeric_limits<int>::max());
    const QImage huge = renderOf(button);
    for (int y = 0; y < 10; ++y)
        for (int x = 0; x < 20; ++x)
            ASSERT_NE(huge.pixel(x, y) | 0xFF000000u, upLook.face) << x << "," << y;
}

TEST(SpeedButtonPaint, CaptionIsCentredWithTruncatingDivision)
{
    const QString caption = QStringLiteral("Крейт № 0");
    const QFont font = captionFont(11);
    // Four widths and heights in a row give every parity of face minus text.
    for (int w = 70; w < 74; ++w)
        for (int h = 18; h < 22; ++h)
            expectCaptionInFace(w, h, caption, font);
}

TEST(SpeedButtonPaint, CaptionLargerThanFaceIsCutOnBothSides)
{
    const QString caption = QStringLiteral("WWWWWW");
    const QFont font = captionFont(20);
    ASSERT_GT(QFontMetrics(font).height(), 10);
    for (int w = 20; w < 22; ++w)
        for (int h = 9; h < 11; ++h)
            expectCaptionInFace(w, h, caption, font);
}

TEST(SpeedButtonPaint, CaptionDoesNotShiftWhenDown)
{
    const QFont font = captionFont(11);
    TSpeedButton1 button;
    colourIn(button, 33, 15, 2);
    button.setFont(font);
    button.setCaption(QStringLiteral("F 17"));
    button.setGroupIndex(3);
    button.setDown(true);
    const QImage image = renderOf(button);
    EXPECT_TRUE(matchesBevel(image, 2, downLook, Area::OutsideFace));
    EXPECT_TRUE(faceMatches(
        image, expectedFace(image.size(), 2, QStringLiteral("F 17"), font, downLook.face, Qt::black),
        2));
}

TEST(SpeedButtonPaint, NoCaptionWithoutFace)
{
    TSpeedButton1 button;
    colourIn(button, 10, 10, 5);
    button.setFont(captionFont(11));
    button.setCaption(QStringLiteral("N 01"));
    EXPECT_TRUE(matchesBevel(renderOf(button), 5, upLook));
}

TEST(SpeedButtonPaint, SystemColoursResolveWhenDrawn)
{
    TSpeedButton1 button;
    button.setAltitude(0);
    button.setGroupIndex(7);
    button.setFaceColorDown(TColor::system(COLOR_INFOBK));
    button.setDown(true);
    EXPECT_EQ(renderOf(button).pixel(5, 5) | 0xFF000000u, qRgb(255, 255, 225));
}

TEST(SpeedButtonPaint, DisabledShowsThePlainLookInEveryState)
{
    TSpeedButton1 button;
    colourIn(button, 40, 20, 2);
    button.setEnabled(false);
    const std::vector<QRgb> ownColours{upLook.outer, upLook.inner, upLook.face,
                                       downLook.outer, downLook.inner, downLook.face};
    for (bool down : {false, true}) {
        SCOPED_TRACE(down ? "down" : "up");
        button.setGroupIndex(1);
        button.setAllowAllUp(true);
        button.setDown(down);
        const QImage image = renderOf(button);
        for (int y = 0; y < image.height(); ++y)
            for (int x = 0; x < image.width(); ++x)
                ASSERT_EQ(std::count(ownColours.begin(), ownColours.end(),
                                     image.pixel(x, y) | 0xFF000000u),
                          0)
                    << x << "," << y;
        EXPECT_EQ(image.pixel(20, 10) | 0xFF000000u, TColor::system(COLOR_BTNFACE).toQColor().rgb());
    }
}

TEST(SpeedButtonPaint, EverySetterRepaintsAtOnceEvenWhileLatched)
{
    QWidget window;
    window.resize(100, 60);
    auto *button = new TSpeedButton1(&window);
    button->setGroupIndex(1);
    button->setDown(true);
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    QCoreApplication::processEvents();
    PaintCounter paints(*button);

    // Each setter, given the value the button already has: no comparison is made.
    const std::vector<std::function<void()>> setters{
        [&] { button->setAltitude(button->altitude()); },
        [&] { button->setFaceColor(button->faceColor()); },
        [&] { button->setShadowEdgeColor(button->shadowEdgeColor()); },
        [&] { button->setLightEdgeColor(button->lightEdgeColor()); },
        [&] { button->setLightEdgeColorDown(button->lightEdgeColorDown()); },
        [&] { button->setShadowEdgeColorDown(button->shadowEdgeColorDown()); },
        [&] { button->setFaceColorDown(button->faceColorDown()); },
    };
    for (std::size_t i = 0; i < setters.size(); ++i) {
        const int before = paints.count;
        setters[i]();
        EXPECT_EQ(paints.count, before + 1) << "setter " << i;
    }

    const int before = paints.count;
    button->setFaceColorDown(TColor::rgb(0, 255, 255));
    EXPECT_EQ(paints.count, before + 1);
    EXPECT_EQ(renderOf(*button).pixel(10, 10) | 0xFF000000u, qRgb(0, 255, 255));
}
