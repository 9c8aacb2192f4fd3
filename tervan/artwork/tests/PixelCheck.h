#pragma once

#include <QColor>
#include <QImage>

#include <gtest/gtest.h>

#include <cstdlib>

// Succeeds when the pixel at (x, y) is within tolerance of the colour in
// each of red, green and blue.
inline ::testing::AssertionResult pixelNear(const QImage &image, int x, int y, QColor want,
                                            int tolerance)
{
    if (!image.valid(x, y))
        return ::testing::AssertionFailure() << "(" << x << ", " << y << ") lies outside the picture";
    const QColor got = image.pixelColor(x, y);
    if (std::abs(got.red() - want.red()) <= tolerance
        && std::abs(got.green() - want.green()) <= tolerance
        && std::abs(got.blue() - want.blue()) <= tolerance)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure()
           << "pixel (" << x << ", " << y << ") is RGB(" << got.red() << "," << got.green() << ","
           << got.blue() << "), want RGB(" << want.red() << "," << want.green() << ","
           << want.blue() << ") +-" << tolerance;
}
