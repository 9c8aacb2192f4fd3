#pragma once

#include <QByteArray>
#include <QImage>

namespace tervan {

// Compresses a picture into a progressive JPEG file with libjpeg's compressor
// (baseline tables, full-resolution colour: no chroma subsampling, so that thin
// coloured lines keep their colour). quality is 1..100. An empty array when the
// image is null or libjpeg fails.
QByteArray encodeProgressiveJpeg(const QImage &image, int quality);

} // namespace tervan
