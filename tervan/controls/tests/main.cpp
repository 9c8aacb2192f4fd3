#include <QApplication>

#include <gtest/gtest.h>

int main(int argc, char **argv)
{
    // Widgets are drawn off screen, one device pixel per pixel.
    qputenv("QT_QPA_PLATFORM", "offscreen");
    qunsetenv("QT_SCALE_FACTOR");
    qunsetenv("QT_SCREEN_SCALE_FACTORS");
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
