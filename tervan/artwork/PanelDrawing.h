#pragma once

#include <QImage>
#include <QString>

namespace tervan {

// Draws the background picture of the front panel, 600 x 520: the etched
// frames and their headings, the sunken fields behind W, R, the LAM table, the
// X, Q, L, I indicators and the program grid, the bar under the program
// buttons, the groove between the halves and the panels of the command
// columns. Needs a QGuiApplication (for the fonts).
QImage drawPanelArtwork();

// The family that stands in for a face the panel names ("Arial", "MS Sans
// Serif", "Times New Roman", "Courier New") where that face is not installed:
// the metric-compatible Liberation family, else DejaVu. Any other face, or an
// installed one, is returned unchanged.
QString resolveFontFace(const QString &face);

} // namespace tervan
