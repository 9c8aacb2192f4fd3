#include "Artwork.h"

#include "JpegDecoder.h"

namespace tervan {

namespace embedded {
// panel.jpg, turned into an array at build time (EmbedFile.cmake).
extern const unsigned char panelJpeg[];
extern const size_t panelJpegSize;
} // namespace embedded

namespace {

// Decoded once, on first use; the initialisation of a local static is
// thread-safe, and copies of a QImage share its pixels with reference counts
// that are safe across threads.
const DecodedJpeg &decoded()
{
    static const DecodedJpeg picture = decodeJpeg(embedded::panelJpeg, embedded::panelJpegSize);
    return picture;
}

} // namespace

QImage panelArtwork()
{
    return decoded().image;
}

bool artworkIsProgressive()
{
    return decoded().progressive;
}

const unsigned char *artworkJpegData()
{
    return embedded::panelJpeg;
}

size_t artworkJpegSize()
{
    return embedded::panelJpegSize;
}

} // namespace tervan
