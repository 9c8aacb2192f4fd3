// Draws the background picture of the front panel and writes it as a
// progressive JPEG, the file that the program embeds (panel.jpg here):
//
//   tervan_artwork_gen <output.jpg> [<preview.png>]
//
// Not run by the build; run it (or the target tervan_artwork_regen) after a
// change to the drawing, look at the result and commit it.

#include "JpegDecoder.h"
#include "JpegEncoder.h"
#include "PanelDrawing.h"

#include <QSaveFile>
#include <QFont>
#include <QFontInfo>
#include <QGuiApplication>

#include <cstdio>

namespace {

constexpr int quality = 92;

int fail(const char *what, const QString &path)
{
    std::fprintf(stderr, "tervan_artwork_gen: %s %s\n", what, qPrintable(path));
    return 1;
}

} // namespace

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen"); // no display needed
    QGuiApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() < 2 || args.size() > 3) {
        std::fprintf(stderr, "usage: tervan_artwork_gen <output.jpg> [<preview.png>]\n");
        return 2;
    }

    const QString face = tervan::resolveFontFace(QStringLiteral("Arial"));
    std::printf("headings: \"Arial\" drawn with \"%s\"\n", qPrintable(QFontInfo(QFont(face)).family()));

    const QImage picture = tervan::drawPanelArtwork();
    const QByteArray jpeg = tervan::encodeProgressiveJpeg(picture, quality);
    if (jpeg.isEmpty())
        return fail("cannot compress the picture for", args[1]);

    // Read it back as the program will, before anything is written.
    const tervan::DecodedJpeg check = tervan::decodeJpeg(
        reinterpret_cast<const unsigned char *>(jpeg.constData()), size_t(jpeg.size()));
    if (check.image.size() != picture.size() || !check.progressive)
        return fail("the compressed picture does not read back for", args[1]);

    QSaveFile out(args[1]);
    if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate) || out.write(jpeg) != jpeg.size()
        || !out.commit())
        return fail("cannot write", args[1]);
    std::printf("%s: %d x %d, %lld bytes, progressive\n", qPrintable(args[1]), picture.width(),
                picture.height(), static_cast<long long>(jpeg.size()));

    if (args.size() == 3 && !picture.save(args[2], "PNG"))
        return fail("cannot write", args[2]);
    return 0;
}
