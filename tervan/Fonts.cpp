#include "Fonts.h"

#include <QFontDatabase>
#include <QStringList>

namespace {

// Faces of the panel and their metric-compatible stand-ins, in order of
// preference, for systems that do not have them (Linux as a rule):
//   MS Sans Serif   -> Liberation Sans, DejaVu Sans
//   Arial           -> Liberation Sans, DejaVu Sans
//   Times New Roman -> Liberation Serif, DejaVu Serif
//   Courier, Courier New -> Liberation Mono, DejaVu Sans Mono
//   Verdana         -> DejaVu Sans (drawn after Verdana's proportions)
//   Lucida Console  -> DejaVu Sans Mono, Liberation Mono
struct Substitute
{
    const char *face;
    const char *standIns[2];
};

constexpr Substitute substitutes[] = {
    {"MS Sans Serif", {"Liberation Sans", "DejaVu Sans"}},
    {"Arial", {"Liberation Sans", "DejaVu Sans"}},
    {"Times New Roman", {"Liberation Serif", "DejaVu Serif"}},
    {"Courier", {"Liberation Mono", "DejaVu Sans Mono"}},
    {"Courier New", {"Liberation Mono", "DejaVu Sans Mono"}},
    {"Verdana", {"DejaVu Sans", "Liberation Sans"}},
    {"Lucida Console", {"DejaVu Sans Mono", "Liberation Mono"}},
};

} // namespace

QString TPanelFonts::resolve(const QString &face)
{
#ifdef _WIN32
    return face; // Windows has the panel's faces themselves
#else
    const QStringList families = QFontDatabase::families();
    if (families.contains(face, Qt::CaseInsensitive))
        return face;
    for (const Substitute &s : substitutes) {
        if (face.compare(QLatin1String(s.face), Qt::CaseInsensitive) != 0)
            continue;
        for (const char *standIn : s.standIns)
            if (families.contains(QLatin1String(standIn), Qt::CaseInsensitive))
                return QLatin1String(standIn);
    }
    return face; // left to the font matcher
#endif
}

QFont TPanelFonts::font(const char *face, int pixels, bool bold)
{
    QFont f(resolve(QLatin1String(face)));
    f.setPixelSize(pixels);
    f.setBold(bold);
    f.setStyleStrategy(QFont::PreferAntialias);
    return f;
}
