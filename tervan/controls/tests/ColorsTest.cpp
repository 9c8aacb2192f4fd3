#include "Colors.h"

#include <gtest/gtest.h>

TEST(Colors, ExplicitColourKeepsRedInTheLowByte)
{
    const TColor aqua = TColor::rgb(0x00, 0xFF, 0xFF);
    EXPECT_EQ(aqua.value(), 0x00FFFF00u);
    EXPECT_EQ(TColor::rgb(0x12, 0x34, 0x56).value(), 0x00563412u);
    EXPECT_EQ(TColor::rgb(0x12, 0x34, 0x56).toQColor(), QColor(0x12, 0x34, 0x56));
    EXPECT_FALSE(aqua.isSystem());
}

TEST(Colors, SystemColoursAreNotExplicitColours)
{
    const TColor face = TColor::system(COLOR_BTNFACE);
    EXPECT_TRUE(face.isSystem());
    EXPECT_NE(face, TColor::fromValue(COLOR_BTNFACE));
    EXPECT_NE(face, TColor::system(COLOR_INFOBK));
    // The classic scheme the panel was drawn for.
    EXPECT_EQ(face.toQColor(), QColor(192, 192, 192));
    EXPECT_EQ(TColor::system(COLOR_WINDOWTEXT).toQColor(), QColor(0, 0, 0));
    EXPECT_EQ(TColor::system(COLOR_INFOBK).toQColor(), QColor(255, 255, 225));
    EXPECT_EQ(TColor::system(COLOR_INACTIVECAPTION).toQColor(), QColor(128, 128, 128));
}
