#include "Cshell.h"
#include "Language.h"

#include <QApplication>

int main(int argc, char **argv)
{
    // The panel is laid out in device pixels at 96 dpi: no scaling.
    qputenv("QT_ENABLE_HIGHDPI_SCALING", "0");
    qunsetenv("QT_SCALE_FACTOR");
    QApplication app(argc, argv);
    TPanelLanguage::Install();
    TfrmCamac frmCamac;
    if (!frmCamac.Start())
        return 0;
    return app.exec();
}
