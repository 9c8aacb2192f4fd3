#include "Artwork.h"
#include "JpegDecoder.h"
#include "PixelCheck.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <jpeglib.h>

#include <thread>
#include <vector>

namespace {

constexpr int jpegTolerance = 12;

struct Sample
{
    const char *where;
    int x;
    int y;
    QColor colour;
};

// The middles of flat areas of the picture, where the JPEG keeps the colour.
const Sample samples[] = {
    {"plain background left of the N column", 290, 110, QColor(147, 176, 192)},
    {"plain background between the frames", 127, 61, QColor(147, 176, 192)},
    {"plain background under the crate buttons", 545, 170, QColor(147, 176, 192)},
    {"plain background between the panels", 545, 361, QColor(147, 176, 192)},
    {"plain background inside frame L, right of the table", 280, 185, QColor(147, 176, 192)},
    {"field W behind edW", 127, 39, QColor(0, 0, 0)},
    {"field R behind RMonitor", 127, 98, QColor(0, 0, 0)},
    {"field L under LAMTable", 121, 168, QColor(0, 0, 0)},
    {"program field under ProgMon", 163, 380, QColor(230, 230, 230)},
    {"X indicator", 54, 235, QColor(1, 106, 161)},
    {"Q indicator", 128, 235, QColor(1, 106, 161)},
    {"L indicator", 202, 235, QColor(1, 106, 161)},
    {"I indicator", 276, 235, QColor(1, 106, 161)},
    {"program bar, left", 30, 497, QColor(1, 105, 160)},
    {"program bar, right", 300, 497, QColor(1, 105, 160)},
    {"addressed commands panel", 411, 300, QColor(110, 143, 160)},
    {"addressed commands panel, bottom", 411, 505, QColor(110, 143, 160)},
    {"unaddressed commands panel", 545, 310, QColor(110, 143, 160)},
    {"execute panel", 545, 450, QColor(1, 105, 160)},
};

TEST(EmbeddedArtwork, IsAProgressiveJpegOf600By520)
{
    ASSERT_GT(tervan::artworkJpegSize(), 1000u);
    const unsigned char *data = tervan::artworkJpegData();
    EXPECT_EQ(data[0], 0xFF);
    EXPECT_EQ(data[1], 0xD8); // start of image

    const QImage picture = tervan::panelArtwork();
    ASSERT_FALSE(picture.isNull());
    EXPECT_EQ(picture.width(), 600);
    EXPECT_EQ(picture.height(), 520);
    EXPECT_TRUE(tervan::artworkIsProgressive());
}

// Asks libjpeg itself, apart from the decoder under test.
TEST(EmbeddedArtwork, LibjpegSeesSeveralScans)
{
    jpeg_decompress_struct cinfo{};
    jpeg_error_mgr err{};
    cinfo.err = jpeg_std_error(&err);
    jpeg_create_decompress(&cinfo);
    jpeg_mem_src(&cinfo, tervan::artworkJpegData(), static_cast<unsigned long>(tervan::artworkJpegSize()));
    ASSERT_EQ(jpeg_read_header(&cinfo, TRUE), JPEG_HEADER_OK);
    EXPECT_TRUE(jpeg_has_multiple_scans(&cinfo));
    EXPECT_TRUE(cinfo.progressive_mode);
    EXPECT_EQ(cinfo.image_width, 600u);
    EXPECT_EQ(cinfo.image_height, 520u);
    EXPECT_EQ(cinfo.num_components, 3);
    jpeg_destroy_decompress(&cinfo);
}

TEST(EmbeddedArtwork, FlatAreasHaveTheirColours)
{
    const QImage picture = tervan::panelArtwork();
    ASSERT_FALSE(picture.isNull());
    for (const Sample &s : samples)
        EXPECT_TRUE(pixelNear(picture, s.x, s.y, s.colour, jpegTolerance)) << s.where;
}

TEST(EmbeddedArtwork, HeadingsAreDarkBlueOrWhiteInk)
{
    const QImage picture = tervan::panelArtwork();
    ASSERT_FALSE(picture.isNull());
    // Ink inside a heading's rows: somewhere along the row band it must be
    // much darker (blue headings) or lighter (white ones) than the ground.
    struct Band
    {
        const char *heading;
        int x0, x1, y0, y1;
        bool white;
    };
    const Band bands[] = {
        {"W heading", 11, 243, 12, 22, false},  {"R heading", 11, 243, 71, 80, false},
        {"L heading", 35, 218, 129, 139, false}, {"signals heading", 11, 316, 211, 220, false},
        {"program heading", 11, 316, 264, 273, false}, {"addressed", 338, 484, 11, 20, true},
        {"unaddressed", 500, 591, 243, 264, true},      {"execute", 500, 591, 374, 381, true},
    };
    for (const Band &b : bands) {
        int inked = 0;
        for (int y = b.y0; y <= b.y1; ++y)
            for (int x = b.x0; x <= b.x1; ++x) {
                const QColor c = picture.pixelColor(x, y);
                if (b.white ? c.red() > 230 && c.green() > 230 && c.blue() > 230
                            : c.red() < 40 && c.green() < 130 && c.blue() < 180 && c.blue() > c.red() + 60)
                    ++inked;
            }
        EXPECT_GT(inked, 40) << b.heading;
    }
}

TEST(EmbeddedArtwork, GrooveIsDarkThenLight)
{
    const QImage picture = tervan::panelArtwork();
    ASSERT_FALSE(picture.isNull());
    for (int y : {20, 260, 500}) {
        const int dark = (qGray(picture.pixel(329, y)) + qGray(picture.pixel(330, y))) / 2;
        const int light = (qGray(picture.pixel(331, y)) + qGray(picture.pixel(332, y))) / 2;
        const int ground = qGray(picture.pixel(326, y));
        EXPECT_LT(dark + 20, ground) << "y " << y;
        EXPECT_GT(light, ground + 15) << "y " << y;
    }
}

TEST(EmbeddedArtwork, DecodedOnceAndShared)
{
    const QImage first = tervan::panelArtwork();
    const QImage second = tervan::panelArtwork();
    EXPECT_EQ(first.cacheKey(), second.cacheKey());
    EXPECT_EQ(first.constBits(), second.constBits());
}

// Each test runs in a process of its own, so this is the first use: the
// threads race to decode and must all get the one picture.
TEST(EmbeddedArtwork, FirstUseFromManyThreads)
{
    std::vector<qint64> keys(8, 0);
    std::vector<std::thread> threads;
    for (size_t k = 0; k < keys.size(); ++k)
        threads.emplace_back([&keys, k] { keys[k] = tervan::panelArtwork().cacheKey(); });
    for (std::thread &t : threads)
        t.join();
    const QImage picture = tervan::panelArtwork();
    ASSERT_FALSE(picture.isNull());
    for (qint64 key : keys)
        EXPECT_EQ(key, picture.cacheKey());
}

TEST(EmbeddedArtwork, PublicDataDecodesToTheSamePicture)
{
    const tervan::DecodedJpeg again = tervan::decodeJpeg(tervan::artworkJpegData(), tervan::artworkJpegSize());
    EXPECT_EQ(again.image, tervan::panelArtwork());
}

} // namespace
