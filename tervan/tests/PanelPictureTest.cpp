// The whole main window as it looks at start-up, compared with a stored
// picture (pictures/panel.png). Any change of a position, a size, a colour
// or a font in the layout shows here. After an intended change, renew the
// picture with
//   TERVAN_RENEW_PICTURES=1 ctest --test-dir build -R PanelPicture
// and look at the new pictures/panel.png before committing it.
#include "PanelFixture.h"

#include "Fonts.h"

#include <QCoreApplication>
#include <QDir>
#include <QImage>

namespace tervan::test {
namespace {

// Tolerance for the rasterisation of text, which may differ a little between
// builds of the font libraries: a pixel counts as different when one of its
// channels is off by more than `channelTolerance`, and up to
// `pixelsTolerated` such pixels pass. A button or field one pixel off, a
// colour or a font size changed make far more.
constexpr int channelTolerance = 16;
constexpr int pixelsTolerated = 32;

struct Comparison
{
    int differing = 0;
    QRect where;  // bounding box of the differing pixels
    QImage diff;  // the stored picture dimmed, differing pixels red
};

Comparison compare(const QImage &expected, const QImage &actual)
{
    Comparison c;
    c.diff = expected.convertToFormat(QImage::Format_RGB32);
    for (int y = 0; y < expected.height(); ++y) {
        for (int x = 0; x < expected.width(); ++x) {
            const QRgb e = expected.pixel(x, y), a = actual.pixel(x, y);
            const int d = std::max({std::abs(qRed(e) - qRed(a)), std::abs(qGreen(e) - qGreen(a)),
                                    std::abs(qBlue(e) - qBlue(a))});
            if (d > channelTolerance) {
                ++c.differing;
                c.where |= QRect(x, y, 1, 1);
                c.diff.setPixel(x, y, qRgb(255, 0, 0));
            } else {
                const int grey = 128 + qGray(e) / 4;
                c.diff.setPixel(x, y, d > 0 ? qRgb(255, 200, 0) : qRgb(grey, grey, grey));
            }
        }
    }
    return c;
}

TEST_F(PanelTest, PanelPictureAtStartUpIsTheStoredOne)
{
    open();
    // Nothing under the mouse, so that no control shows a hover look.
    QTest::mouseMove(form.get(), QPoint(598, 519));
    QCoreApplication::processEvents();
    const QImage actual = form->grab().toImage().convertToFormat(QImage::Format_RGB32);
    const QString stored = QStringLiteral(TERVAN_PICTURES "/panel.png");
    if (qEnvironmentVariableIsSet("TERVAN_RENEW_PICTURES")) {
        ASSERT_TRUE(actual.save(stored));
        GTEST_SKIP() << "renewed " << stored.toStdString();
    }
    const QImage expected = QImage(stored).convertToFormat(QImage::Format_RGB32);
    ASSERT_FALSE(expected.isNull()) << "no picture at " << stored.toStdString();
    ASSERT_EQ(actual.size(), expected.size());

    const Comparison c = compare(expected, actual);
    if (c.differing > pixelsTolerated) {
        const QDir out(QCoreApplication::applicationDirPath());
        const QString actualPath = out.filePath(QStringLiteral("panel-actual.png"));
        const QString diffPath = out.filePath(QStringLiteral("panel-diff.png"));
        actual.save(actualPath);
        c.diff.save(diffPath);
        ADD_FAILURE() << c.differing << " pixels differ from " << stored.toStdString() << " within x "
                      << c.where.left() << ".." << c.where.right() << ", y " << c.where.top() << ".."
                      << c.where.bottom() << ".\n  the window now: " << actualPath.toStdString()
                      << "\n  differences (red; yellow within tolerance): " << diffPath.toStdString()
                      << "\n  fonts used: Arial as " << TPanelFonts::resolve(QStringLiteral("Arial")).toStdString()
                      << ", Verdana as " << TPanelFonts::resolve(QStringLiteral("Verdana")).toStdString()
                      << "\n  after an intended change: TERVAN_RENEW_PICTURES=1 ctest --test-dir build -R PanelPicture";
    }
}

} // namespace
} // namespace tervan::test
