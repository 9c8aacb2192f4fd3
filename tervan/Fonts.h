#pragma once

#include <QFont>

// The panel's fonts by the names its layout gives them. Where the system lacks
// a face, the one place that decides the stand-in is Fonts.cpp.
class TPanelFonts
{
public:
    // `face` as the layout names it, `pixels` the character height.
    static QFont font(const char *face, int pixels, bool bold = false);
    // The face that is drawn for `face` on this system.
    static QString resolve(const QString &face);
};
