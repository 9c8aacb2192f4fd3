#include "Language.h"

#include <QApplication>

#include <gtest/gtest.h>

int main(int argc, char **argv)
{
    // On the X server that run-under-x.sh started, one device pixel per pixel.
    qputenv("QT_ENABLE_HIGHDPI_SCALING", "0");
    qunsetenv("QT_SCALE_FACTOR");
    QApplication app(argc, argv);
    TPanelLanguage::Install();
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
