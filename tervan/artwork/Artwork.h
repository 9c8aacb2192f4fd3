#pragma once

#include <QImage>

#include <cstddef>

namespace tervan {

// The background picture of the front panel: 600 x 520, true colour, stored in
// the program as a progressive JPEG and decoded from memory with libjpeg.

// The decoded picture. Decoded on the first call and kept; safe to call from any
// thread. A null image if the stored JPEG cannot be decoded.
QImage panelArtwork();

// Whether the stored JPEG is progressive (several scans).
bool artworkIsProgressive();

// The stored JPEG file, byte for byte.
const unsigned char *artworkJpegData();
size_t artworkJpegSize();

} // namespace tervan
