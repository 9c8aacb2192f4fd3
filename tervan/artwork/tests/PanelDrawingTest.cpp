#include "Artwork.h"
#include "PanelDrawing.h"
#include "PixelCheck.h"

#include <QFontDatabase>
#include <QFontInfo>
#include <QRawFont>

#include <gtest/gtest.h>

#include <cstdlib>

namespace {

const QColor ground(147, 176, 192);
const QColor etchDark(112, 141, 157);
const QColor etchLight(177, 206, 222);

// Drawn once for all tests of this file.
const QImage &drawn()
{
    static const QImage picture = tervan::drawPanelArtwork();
    return picture;
}

bool same(const QImage &image, int x, int y, QColor want)
{
    return pixelNear(image, x, y, want, 0);
}

int difference(QColor a, QColor b)
{
    return std::abs(a.red() - b.red()) + std::abs(a.green() - b.green()) + std::abs(a.blue() - b.blue());
}

// The pixels within the inclusive range that differ clearly from the ground
// colour (the core of the glyphs, not their faint anti-aliased rim).
QRect inkWithin(const QImage &image, int x0, int y0, int x1, int y1, QColor groundColour)
{
    QRect ink;
    for (int y = y0; y <= y1; ++y)
        for (int x = x0; x <= x1; ++x)
            if (difference(image.pixelColor(x, y), groundColour) > 150)
                ink |= QRect(x, y, 1, 1);
    return ink;
}

TEST(PanelDrawing, Is600By520TrueColour)
{
    EXPECT_EQ(drawn().size(), QSize(600, 520));
    EXPECT_FALSE(drawn().hasAlphaChannel());
}

TEST(PanelDrawing, EtchedFramesAreADarkLineWithALightOneBelowRight)
{
    struct Frame
    {
        const char *name;
        int left, top, right, bottom;
    };
    const Frame frames[] = {
        {"W", 5, 6, 249, 58},         {"R", 5, 64, 249, 117},     {"L", 5, 123, 323, 198},
        {"signals", 5, 204, 323, 251}, {"program", 5, 257, 323, 514},
    };
    const QImage &p = drawn();
    for (const Frame &f : frames) {
        const int midX = (f.left + f.right) / 2 + 3;
        const int midY = (f.top + f.bottom) / 2;
        EXPECT_TRUE(same(p, midX, f.top, etchDark)) << f.name << " top";
        EXPECT_TRUE(same(p, midX, f.top + 1, etchLight)) << f.name << " top";
        EXPECT_TRUE(same(p, midX, f.top - 1, ground)) << f.name << " top";
        EXPECT_TRUE(same(p, f.left, midY, etchDark)) << f.name << " left";
        EXPECT_TRUE(same(p, f.left + 1, midY, etchLight)) << f.name << " left";
        EXPECT_TRUE(same(p, f.left - 1, midY, ground)) << f.name << " left";
        EXPECT_TRUE(same(p, midX, f.bottom, etchDark)) << f.name << " bottom";
        EXPECT_TRUE(same(p, midX, f.bottom + 1, etchLight)) << f.name << " bottom";
        EXPECT_TRUE(same(p, midX, f.bottom + 2, ground)) << f.name << " bottom";
        EXPECT_TRUE(same(p, f.right, midY, etchDark)) << f.name << " right";
        EXPECT_TRUE(same(p, f.right + 1, midY, etchLight)) << f.name << " right";
        EXPECT_TRUE(same(p, f.right + 2, midY, ground)) << f.name << " right";
        // The corners belong to the dark line.
        EXPECT_TRUE(same(p, f.left, f.top, etchDark)) << f.name;
        EXPECT_TRUE(same(p, f.right, f.bottom, etchDark)) << f.name;
    }
}

struct Field
{
    const char *name;
    int left, top, right, bottom; // edge included
    QColor fill;
};

const Field fields[] = {
    {"W", 11, 27, 243, 51, QColor(0, 0, 0)},
    {"R", 11, 86, 243, 110, QColor(0, 0, 0)},
    {"L", 11, 145, 231, 191, QColor(0, 0, 0)},
    {"program", 11, 278, 316, 481, QColor(230, 230, 230)},
    {"X", 39, 226, 70, 244, QColor(1, 106, 161)},
    {"Q", 113, 226, 144, 244, QColor(1, 106, 161)},
    {"L indicator", 187, 226, 218, 244, QColor(1, 106, 161)},
    {"I", 261, 226, 292, 244, QColor(1, 106, 161)},
};

TEST(PanelDrawing, SunkenFieldsAreFilledInsideATwoPixelEdge)
{
    const QImage &p = drawn();
    for (const Field &f : fields) {
        // Every corner of the inner part has the fill.
        EXPECT_TRUE(same(p, f.left + 2, f.top + 2, f.fill)) << f.name;
        EXPECT_TRUE(same(p, f.right - 2, f.top + 2, f.fill)) << f.name;
        EXPECT_TRUE(same(p, f.left + 2, f.bottom - 2, f.fill)) << f.name;
        EXPECT_TRUE(same(p, f.right - 2, f.bottom - 2, f.fill)) << f.name;
        // The edge: both rings darker than the ground at the top and left,
        // lighter at the bottom and right; outside it, the ground.
        const int midX = (f.left + f.right) / 2;
        const int midY = (f.top + f.bottom) / 2;
        for (int ring = 0; ring < 2; ++ring) {
            EXPECT_LT(qGray(p.pixel(midX, f.top + ring)), qGray(ground.rgb())) << f.name << " top";
            EXPECT_LT(qGray(p.pixel(f.left + ring, midY)), qGray(ground.rgb())) << f.name << " left";
            EXPECT_GT(qGray(p.pixel(midX, f.bottom - ring)), qGray(ground.rgb())) << f.name << " bottom";
            EXPECT_GT(qGray(p.pixel(f.right - ring, midY)), qGray(ground.rgb())) << f.name << " right";
        }
        EXPECT_TRUE(same(p, f.right + 1, midY, ground)) << f.name;
        EXPECT_TRUE(same(p, midX, f.bottom + 1, ground)) << f.name;
    }
}

// The inner parts lie under the controls: the fields must cover them whole.
TEST(PanelDrawing, FieldsCoverTheControlsOverThem)
{
    struct Control
    {
        const char *name;
        int left, top, width, height;
        QColor fill;
    };
    const Control controls[] = {
        {"edW", 21, 32, 215, 15, QColor(0, 0, 0)},
        {"RMonitor", 17, 91, 217, 14, QColor(0, 0, 0)},
        {"ProgMon", 13, 280, 302, 199, QColor(230, 230, 230)},
        {"Xstate", 42, 229, 26, 13, QColor(1, 106, 161)},
        {"Istate", 264, 229, 26, 13, QColor(1, 106, 161)},
    };
    const QImage &p = drawn();
    for (const Control &c : controls) {
        const int right = c.left + c.width - 1;
        const int bottom = c.top + c.height - 1;
        EXPECT_TRUE(same(p, c.left, c.top, c.fill)) << c.name;
        EXPECT_TRUE(same(p, right, bottom, c.fill)) << c.name;
        EXPECT_TRUE(same(p, c.left, bottom, c.fill)) << c.name;
        EXPECT_TRUE(same(p, right, c.top, c.fill)) << c.name;
    }
    // LAMTable covers its field up to the outer light ring.
    EXPECT_TRUE(same(p, 13, 147, QColor(0, 0, 0)));
    EXPECT_TRUE(same(p, 229, 189, QColor(0, 0, 0)));
}

TEST(PanelDrawing, BarPanelsAndGrooveHaveTheirPlaces)
{
    const QImage &p = drawn();
    const QColor bar(1, 105, 160);
    const QColor panel(110, 143, 160);
    EXPECT_TRUE(same(p, 12, 488, bar));
    EXPECT_TRUE(same(p, 315, 507, bar));
    EXPECT_TRUE(same(p, 11, 497, ground));
    EXPECT_TRUE(same(p, 316, 497, ground));
    EXPECT_TRUE(same(p, 160, 487, ground));
    EXPECT_TRUE(same(p, 160, 508, ground));

    for (int y : {6, 100, 513}) {
        EXPECT_TRUE(same(p, 328, y, ground)) << y;
        EXPECT_TRUE(same(p, 329, y, etchDark)) << y;
        EXPECT_TRUE(same(p, 330, y, etchDark)) << y;
        EXPECT_TRUE(same(p, 331, y, etchLight)) << y;
        EXPECT_TRUE(same(p, 332, y, etchLight)) << y;
        EXPECT_TRUE(same(p, 333, y, ground)) << y;
    }
    EXPECT_TRUE(same(p, 330, 5, ground));
    EXPECT_TRUE(same(p, 330, 514, ground));

    EXPECT_TRUE(same(p, 338, 6, panel));
    EXPECT_TRUE(same(p, 484, 513, panel));
    EXPECT_TRUE(same(p, 337, 300, ground));
    EXPECT_TRUE(same(p, 485, 300, ground));
    EXPECT_TRUE(same(p, 411, 5, ground));
    EXPECT_TRUE(same(p, 411, 514, ground));

    EXPECT_TRUE(same(p, 500, 238, panel));
    EXPECT_TRUE(same(p, 591, 353, panel));
    EXPECT_TRUE(same(p, 545, 237, ground));
    EXPECT_TRUE(same(p, 545, 354, ground));

    EXPECT_TRUE(same(p, 500, 368, bar));
    EXPECT_TRUE(same(p, 591, 513, bar));
    EXPECT_TRUE(same(p, 499, 400, ground));
    EXPECT_TRUE(same(p, 592, 400, ground));
    EXPECT_TRUE(same(p, 545, 367, ground));
    EXPECT_TRUE(same(p, 545, 514, ground));
}

// Right of the groove above the unaddressed panel, and in the margins, the
// buttons stand on the plain ground; the last column is never shown.
TEST(PanelDrawing, PlainGroundWhereNothingIsDrawn)
{
    const QImage &p = drawn();
    int drawnPixels = 0;
    for (int y = 0; y < 520; ++y)
        for (int x = 0; x < 600; ++x) {
            const bool plain = (x >= 485 && y < 238) || (x >= 333 && x <= 337) || x >= 592
                               || y <= 4 || y >= 516 || (x >= 251 && x <= 327 && y < 123);
            if (plain && p.pixelColor(x, y) != ground)
                ++drawnPixels;
        }
    EXPECT_EQ(drawnPixels, 0);
}

struct Heading
{
    const char *text;
    int x0, y0, x1, y1; // where to look for it
    QColor groundColour;
    int top, bottom;     // rows of its ink
    int centre2;         // twice the column it is centred on
};

const QColor panelGround(110, 143, 160);
const QColor executeGround(1, 105, 160);

const Heading headings[] = {
    {"Данные для передачи (W)", 7, 8, 247, 25, ground, 12, 22, 11 + 243},
    {"Прочитанные данные (R)", 7, 67, 247, 84, ground, 71, 80, 11 + 243},
    {"Состояние шины прерываний (L)", 7, 126, 321, 143, ground, 129, 139, 35 + 218},
    {"Состояние сигналов магистрали", 7, 207, 321, 224, ground, 211, 220, 5 + 323},
    {"Программирование цикла", 7, 260, 321, 276, ground, 264, 273, 11 + 316},
    {"Адресные команды", 338, 6, 484, 27, panelGround, 11, 20, 338 + 484},
    {"Безадресные команды", 500, 238, 591, 275, panelGround, 243, 264, 500 + 591},
    {"Выполнить", 500, 368, 591, 387, executeGround, 374, 381, 500 + 591},
};

TEST(PanelDrawing, HeadingsStandInTheirRowsAndAreCentred)
{
    const QImage &p = drawn();
    for (const Heading &h : headings) {
        const QRect ink = inkWithin(p, h.x0, h.y0, h.x1, h.y1, h.groundColour);
        ASSERT_FALSE(ink.isEmpty()) << h.text;
        EXPECT_NEAR(ink.top(), h.top, 1) << h.text;
        EXPECT_NEAR(ink.bottom(), h.bottom, 1) << h.text;
        EXPECT_NEAR(ink.left() + ink.right(), h.centre2, 4) << h.text;
    }
    // The one heading whose columns are given.
    const QRect lamHeading = inkWithin(p, 7, 126, 321, 143, ground);
    EXPECT_NEAR(lamHeading.left(), 35, 6);
    EXPECT_NEAR(lamHeading.right(), 218, 6);
}

TEST(PanelDrawing, HeadingColours)
{
    const QImage &p = drawn();
    // The darkest pixel of a blue heading is its colour; the lightest of a
    // white one is white.
    int darkest = 255 * 3;
    QColor blue;
    for (int y = 12; y <= 22; ++y)
        for (int x = 11; x <= 243; ++x) {
            const QColor c = p.pixelColor(x, y);
            if (c.red() + c.green() + c.blue() < darkest) {
                darkest = c.red() + c.green() + c.blue();
                blue = c;
            }
        }
    EXPECT_TRUE(pixelNear(p, 0, 0, ground, 0));
    EXPECT_LE(difference(blue, QColor(0, 102, 153)), 6) << blue.name().toStdString();

    for (const Heading &h : headings) {
        if (h.groundColour == ground)
            continue;
        bool white = false;
        for (int y = h.top; y <= h.bottom && !white; ++y)
            for (int x = h.x0; x <= h.x1 && !white; ++x)
                white = p.pixelColor(x, y) == QColor(255, 255, 255);
        EXPECT_TRUE(white) << h.text;
    }
}

TEST(PanelDrawing, UnaddressedHeadingHasTwoLines)
{
    const QImage &p = drawn();
    // A row without ink between the two lines.
    bool gap = false;
    for (int y = 248; y <= 258 && !gap; ++y)
        gap = inkWithin(p, 500, y, 591, y, panelGround).isEmpty();
    EXPECT_TRUE(gap);
}

TEST(PanelDrawing, SignalLettersStandLeftOfTheirFields)
{
    const QImage &p = drawn();
    const int left[] = {27, 101, 176, 252};
    const int fieldLeft[] = {39, 113, 187, 261};
    for (int k = 0; k < 4; ++k) {
        const QRect ink = inkWithin(p, left[k] - 5, 222, fieldLeft[k] - 1, 248, ground);
        ASSERT_FALSE(ink.isEmpty()) << k;
        EXPECT_NEAR(ink.left(), left[k], 1) << k;
        EXPECT_NEAR(ink.top(), 231, 1) << k;
        // The tail of the Q goes below the line.
        EXPECT_NEAR(ink.bottom(), 239, k == 1 ? 3 : 1) << k;
        EXPECT_LT(ink.right(), fieldLeft[k] - 1) << k; // clear of the blue field
        bool white = false;
        for (int y = ink.top(); y <= ink.bottom(); ++y)
            for (int x = ink.left(); x <= ink.right(); ++x)
                white = white || p.pixelColor(x, y) == QColor(255, 255, 255);
        EXPECT_TRUE(white) << k;
    }
}

TEST(PanelDrawing, HeadingFontHasTheCyrillicLetters)
{
    QFont font(tervan::resolveFontFace(QStringLiteral("Arial")));
    font.setPixelSize(11);
    font.setBold(true);
    const QRawFont raw = QRawFont::fromFont(font);
    ASSERT_TRUE(raw.isValid());
    for (const Heading &h : headings)
        for (QChar c : QString::fromUtf8(h.text))
            EXPECT_TRUE(c.isSpace() || raw.supportsCharacter(c))
                << h.text << ": U+" << std::hex << unsigned(c.unicode());
}

TEST(PanelDrawing, MissingFacesResolveToInstalledMetricCompatibleOnes)
{
    for (const char *face : {"MS Sans Serif", "Arial", "Times New Roman", "Courier New", "Verdana",
                             "Lucida Console"})
        EXPECT_TRUE(QFontDatabase::hasFamily(tervan::resolveFontFace(QString::fromLatin1(face)))) << face;

    const QString serif = tervan::resolveFontFace(QStringLiteral("Times New Roman"));
    EXPECT_TRUE(serif == QLatin1String("Times New Roman") || serif.contains(QLatin1String("Serif")))
        << serif.toStdString();
    EXPECT_TRUE(QFontInfo(QFont(tervan::resolveFontFace(QStringLiteral("Courier New")))).fixedPitch());
    EXPECT_FALSE(QFontInfo(QFont(tervan::resolveFontFace(QStringLiteral("Arial")))).fixedPitch());
    EXPECT_EQ(tervan::resolveFontFace(QStringLiteral("No Such Face 123")), QStringLiteral("No Such Face 123"));
}

// The committed picture is the drawing, compressed: a drawing changed without
// remaking panel.jpg shows here.
TEST(PanelDrawing, EmbeddedPictureIsThisDrawing)
{
    const QImage embedded = tervan::panelArtwork();
    ASSERT_EQ(embedded.size(), drawn().size());
    long long total = 0;
    int far = 0;
    for (int y = 0; y < 520; ++y)
        for (int x = 0; x < 600; ++x) {
            const int d = difference(embedded.pixelColor(x, y), drawn().pixelColor(x, y));
            total += d;
            far += d > 120;
        }
    const double mean = double(total) / (600.0 * 520.0 * 3.0);
    EXPECT_LT(mean, 2.0);
    EXPECT_LT(far, 600); // a heading drawn with another typeface, at most
}

} // namespace
