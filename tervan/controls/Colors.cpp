#include "Colors.h"

namespace {

// How the system colours resolve on this platform. There is no system colour
// scheme to ask, so every index takes the value of the classic "Windows
// Standard" scheme, the look the panel was drawn for. An index not listed here
// resolves to black, as an unknown index does on Windows.
QColor systemColor(int index)
{
    switch (index) {
    case COLOR_INACTIVECAPTION: return QColor(128, 128, 128);
    case COLOR_WINDOWTEXT:      return QColor(0, 0, 0);
    case COLOR_BTNFACE:         return QColor(192, 192, 192);
    case COLOR_BTNSHADOW:       return QColor(128, 128, 128);
    case COLOR_GRAYTEXT:        return QColor(128, 128, 128);
    case COLOR_BTNHIGHLIGHT:    return QColor(255, 255, 255);
    case COLOR_3DDKSHADOW:      return QColor(0, 0, 0);
    case COLOR_3DLIGHT:         return QColor(223, 223, 223);
    case COLOR_INFOBK:          return QColor(255, 255, 225);
    default:                    return QColor(0, 0, 0);
    }
}

} // namespace

QColor TColor::toQColor() const
{
    if (isSystem())
        return systemColor(int(m_value & 0xFFu));
    return QColor(int(m_value & 0xFFu), int(m_value >> 8 & 0xFFu), int(m_value >> 16 & 0xFFu));
}
