#include "JpegDecoder.h"

#include <csetjmp>
#include <cstdio> // jpeglib.h needs FILE and size_t declared first

#include <jpeglib.h>

namespace tervan {

namespace {

// libjpeg's own error handler ends the process. This one jumps back into
// decodeInto() instead, and counts the warnings about damaged data rather than
// printing them.
struct ErrorManager
{
    jpeg_error_mgr pub; // first, so that cinfo->err can be cast back
    std::jmp_buf jump;
    int warnings;
};

[[noreturn]] void onError(j_common_ptr cinfo)
{
    std::longjmp(reinterpret_cast<ErrorManager *>(cinfo->err)->jump, 1);
}

void onMessage(j_common_ptr cinfo, int level)
{
    if (level < 0) // a warning: the data is damaged, libjpeg would go on with grey
        ++reinterpret_cast<ErrorManager *>(cinfo->err)->warnings;
}

void onOutput(j_common_ptr) {}

// Larger pictures are refused before any pixel memory is taken, so that a
// damaged header cannot ask for gigabytes.
constexpr JDIMENSION maxSide = 16384;

// Runs the decompressor over the data into *out (RGB888). No object with a
// destructor is alive in this frame while libjpeg runs, so the jump back from
// onError() leaves nothing behind; the QImage lives in the caller's frame.
bool decodeInto(jpeg_decompress_struct *cinfo, ErrorManager *err, const unsigned char *data,
                size_t size, QImage *out, bool *progressive)
{
    cinfo->err = jpeg_std_error(&err->pub);
    err->pub.error_exit = onError;
    err->pub.emit_message = onMessage;
    err->pub.output_message = onOutput;
    err->warnings = 0;

    if (setjmp(err->jump)) {
        jpeg_destroy_decompress(cinfo);
        return false;
    }

    jpeg_create_decompress(cinfo);
    jpeg_mem_src(cinfo, data, static_cast<unsigned long>(size));
    jpeg_read_header(cinfo, TRUE);
    if (cinfo->image_width == 0 || cinfo->image_height == 0 || cinfo->image_width > maxSide
        || cinfo->image_height > maxSide) {
        jpeg_destroy_decompress(cinfo);
        return false;
    }
    *progressive = jpeg_has_multiple_scans(cinfo) != 0;

    cinfo->out_color_space = JCS_RGB;
    jpeg_start_decompress(cinfo);
    if (cinfo->output_components != 3) {
        jpeg_destroy_decompress(cinfo);
        return false;
    }
    *out = QImage(int(cinfo->output_width), int(cinfo->output_height), QImage::Format_RGB888);
    if (out->isNull()) { // no memory for the pixels
        jpeg_destroy_decompress(cinfo);
        return false;
    }
    while (cinfo->output_scanline < cinfo->output_height) {
        JSAMPROW row = out->scanLine(int(cinfo->output_scanline));
        jpeg_read_scanlines(cinfo, &row, 1);
    }
    jpeg_finish_decompress(cinfo);
    jpeg_destroy_decompress(cinfo);
    return err->warnings == 0;
}

} // namespace

DecodedJpeg decodeJpeg(const unsigned char *data, size_t size)
{
    DecodedJpeg result;
    if (data == nullptr || size == 0)
        return result;

    jpeg_decompress_struct cinfo{};
    ErrorManager err{};
    QImage rgb;
    bool progressive = false;
    if (decodeInto(&cinfo, &err, data, size, &rgb, &progressive)) {
        result.image = rgb.convertToFormat(QImage::Format_RGB32);
        result.progressive = progressive;
    }
    return result;
}

} // namespace tervan
