#pragma once

#include <QString>

class TReporter;

// The panel's help, which lies in the program's folder twice: as the
// compiled help file tervan.chm and as the same pages in HTML under help/
// (installed on Linux, both are in PREFIX/share/kt40 instead).
// Open() shows the compiled help in a viewer for it when one is installed
// (hh.exe on Windows), otherwise the pages in the desktop's browser, and
// when neither can be shown it tells the operator where the help lies.
// Everything outside the program goes through `outside`.
class THelp
{
public:
    static void Open(const QString &folder, TReporter &outside);
};
