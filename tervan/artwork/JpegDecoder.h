#pragma once

#include <QImage>

#include <cstddef>

namespace tervan {

struct DecodedJpeg
{
    QImage image;             // Format_RGB32; null when the data is not a sound JPEG
    bool progressive = false; // the file has several scans
};

// Decodes a JPEG file held in memory with libjpeg's decompressor. Corrupt or
// truncated data, or a warning about the data, gives a null image; nothing is
// printed and the process is never ended.
DecodedJpeg decodeJpeg(const unsigned char *data, size_t size);

} // namespace tervan
