#include "Artwork.h"
#include "JpegDecoder.h"
#include "JpegEncoder.h"
#include "PixelCheck.h"

#include <QBuffer>
#include <QImageWriter>
#include <QPainter>

#include <gtest/gtest.h>

#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;

Bytes embedded()
{
    const unsigned char *data = tervan::artworkJpegData();
    return Bytes(data, data + tervan::artworkJpegSize());
}

// Decodes an exact-size copy, so that a read past the end is caught under ASan.
tervan::DecodedJpeg decode(const Bytes &bytes)
{
    const Bytes copy = bytes;
    return tervan::decodeJpeg(copy.data(), copy.size());
}

tervan::DecodedJpeg decode(const QByteArray &bytes)
{
    return decode(Bytes(bytes.begin(), bytes.end()));
}

// Offset of the first marker 0xFF code after the start of the file, or 0.
size_t findMarker(const Bytes &bytes, unsigned char code)
{
    for (size_t k = 2; k + 1 < bytes.size(); ++k)
        if (bytes[k] == 0xFF && bytes[k + 1] == code)
            return k;
    return 0;
}

// Four flat 16 x 16 blocks (JPEG blocks are 8 x 8, so their middles stay flat).
QImage quadrants()
{
    QImage image(32, 32, QImage::Format_RGB32);
    QPainter p(&image);
    p.fillRect(0, 0, 16, 16, QColor(147, 176, 192));
    p.fillRect(16, 0, 16, 16, QColor(1, 105, 160));
    p.fillRect(0, 16, 16, 16, QColor(230, 230, 230));
    p.fillRect(16, 16, 16, 16, QColor(0, 0, 0));
    return image;
}

TEST(JpegCodec, RoundTripIsProgressiveAndKeepsFlatColours)
{
    const QByteArray file = tervan::encodeProgressiveJpeg(quadrants(), 92);
    ASSERT_FALSE(file.isEmpty());
    const tervan::DecodedJpeg back = decode(file);
    ASSERT_FALSE(back.image.isNull());
    EXPECT_TRUE(back.progressive);
    EXPECT_EQ(back.image.size(), QSize(32, 32));
    EXPECT_EQ(back.image.format(), QImage::Format_RGB32);
    EXPECT_TRUE(pixelNear(back.image, 6, 6, QColor(147, 176, 192), 4));
    EXPECT_TRUE(pixelNear(back.image, 25, 6, QColor(1, 105, 160), 4));
    EXPECT_TRUE(pixelNear(back.image, 6, 25, QColor(230, 230, 230), 4));
    EXPECT_TRUE(pixelNear(back.image, 25, 25, QColor(0, 0, 0), 4));
}

TEST(JpegCodec, OddSizesSurviveTheRoundTrip)
{
    QImage image(13, 7, QImage::Format_RGB32);
    image.fill(QColor(200, 40, 90));
    const tervan::DecodedJpeg back = decode(tervan::encodeProgressiveJpeg(image, 90));
    ASSERT_FALSE(back.image.isNull());
    EXPECT_EQ(back.image.size(), QSize(13, 7));
    EXPECT_TRUE(pixelNear(back.image, 12, 6, QColor(200, 40, 90), 4));
}

TEST(JpegCodec, EncoderRefusesWhatItCannotWrite)
{
    EXPECT_TRUE(tervan::encodeProgressiveJpeg(QImage(), 90).isEmpty());
    EXPECT_TRUE(tervan::encodeProgressiveJpeg(quadrants(), 0).isEmpty());
    EXPECT_TRUE(tervan::encodeProgressiveJpeg(quadrants(), 101).isEmpty());
}

TEST(JpegCodec, BaselineFileIsNotProgressive)
{
    if (!QImageWriter::supportedImageFormats().contains("jpeg"))
        GTEST_SKIP() << "Qt's JPEG writer is not installed";
    QByteArray file;
    QBuffer buffer(&file);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, "jpeg");
    writer.setQuality(95);
    ASSERT_TRUE(writer.write(quadrants()));
    buffer.close();

    const tervan::DecodedJpeg back = decode(file);
    ASSERT_FALSE(back.image.isNull());
    EXPECT_FALSE(back.progressive);
    EXPECT_TRUE(pixelNear(back.image, 25, 6, QColor(1, 105, 160), 12));
}

TEST(JpegCodec, GreyFileDecodesToGreyRgb)
{
    if (!QImageWriter::supportedImageFormats().contains("jpeg"))
        GTEST_SKIP() << "Qt's JPEG writer is not installed";
    QImage grey(16, 16, QImage::Format_Grayscale8);
    grey.fill(QColor(100, 100, 100));
    QByteArray file;
    QBuffer buffer(&file);
    buffer.open(QIODevice::WriteOnly);
    ASSERT_TRUE(QImageWriter(&buffer, "jpeg").write(grey));
    buffer.close();

    const tervan::DecodedJpeg back = decode(file);
    ASSERT_FALSE(back.image.isNull());
    EXPECT_TRUE(pixelNear(back.image, 8, 8, QColor(100, 100, 100), 3));
}

TEST(JpegCodec, NothingToDecodeGivesNull)
{
    EXPECT_TRUE(tervan::decodeJpeg(nullptr, 0).image.isNull());
    EXPECT_TRUE(tervan::decodeJpeg(nullptr, 100).image.isNull());
    const unsigned char one = 0xFF;
    EXPECT_TRUE(tervan::decodeJpeg(&one, 0).image.isNull());
    EXPECT_TRUE(tervan::decodeJpeg(&one, 1).image.isNull());
}

TEST(JpegCodec, GarbageGivesNullWithoutEndingTheProcess)
{
    Bytes garbage(4096);
    for (size_t k = 0; k < garbage.size(); ++k)
        garbage[k] = static_cast<unsigned char>(k * 37 + 11);
    const tervan::DecodedJpeg result = decode(garbage);
    EXPECT_TRUE(result.image.isNull());
    EXPECT_FALSE(result.progressive);
}

TEST(JpegCodec, HeaderWithoutImageGivesNull)
{
    const Bytes jpeg = embedded();
    const size_t sos = findMarker(jpeg, 0xDA); // first scan
    ASSERT_GT(sos, 0u);
    EXPECT_TRUE(decode(Bytes(jpeg.begin(), jpeg.begin() + long(sos))).image.isNull());
}

TEST(JpegCodec, TruncatedFileGivesNull)
{
    const Bytes jpeg = embedded();
    for (size_t keep : {jpeg.size() / 2, jpeg.size() - 2, size_t(20)})
        EXPECT_TRUE(decode(Bytes(jpeg.begin(), jpeg.begin() + long(keep))).image.isNull())
            << "first " << keep << " bytes";
}

TEST(JpegCodec, DamagedFrameHeaderGivesNull)
{
    const Bytes jpeg = embedded();
    const size_t sof = findMarker(jpeg, 0xC2); // progressive frame header
    ASSERT_GT(sof, 0u);
    // FF C2, length (2), precision (1), height (2), width (2), components (1)
    Bytes zeroWidth = jpeg;
    zeroWidth[sof + 7] = 0;
    zeroWidth[sof + 8] = 0;
    EXPECT_TRUE(decode(zeroWidth).image.isNull());

    Bytes huge = jpeg; // 60000 x 60000 must be refused, not allocated
    huge[sof + 5] = huge[sof + 7] = 0xEA;
    huge[sof + 6] = huge[sof + 8] = 0x60;
    EXPECT_TRUE(decode(huge).image.isNull());

    Bytes badPrecision = jpeg;
    badPrecision[sof + 4] = 3;
    EXPECT_TRUE(decode(badPrecision).image.isNull());
}

TEST(JpegCodec, DecoderStillWorksAfterAFailure)
{
    Bytes garbage(64, 0xAB);
    EXPECT_TRUE(decode(garbage).image.isNull());
    const tervan::DecodedJpeg good = decode(embedded());
    EXPECT_EQ(good.image.size(), QSize(600, 520));
    EXPECT_TRUE(good.progressive);
}

} // namespace
