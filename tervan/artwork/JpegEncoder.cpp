#include "JpegEncoder.h"

#include <csetjmp>
#include <cstdio> // jpeglib.h needs FILE and size_t declared first
#include <cstdlib>

#include <jpeglib.h>

namespace tervan {

namespace {

struct ErrorManager
{
    jpeg_error_mgr pub; // first, so that cinfo->err can be cast back
    std::jmp_buf jump;
};

[[noreturn]] void onError(j_common_ptr cinfo)
{
    std::longjmp(reinterpret_cast<ErrorManager *>(cinfo->err)->jump, 1);
}

void onOutput(j_common_ptr) {}

// As in the decoder: nothing with a destructor lives in this frame while
// libjpeg runs. *buffer is allocated by libjpeg with malloc(); the caller frees it.
bool encodeInto(jpeg_compress_struct *cinfo, ErrorManager *err, const QImage *rgb, int quality,
                unsigned char **buffer, unsigned long *size)
{
    cinfo->err = jpeg_std_error(&err->pub);
    err->pub.error_exit = onError;
    err->pub.output_message = onOutput;

    if (setjmp(err->jump)) {
        jpeg_destroy_compress(cinfo);
        return false;
    }

    jpeg_create_compress(cinfo);
    jpeg_mem_dest(cinfo, buffer, size);
    cinfo->image_width = JDIMENSION(rgb->width());
    cinfo->image_height = JDIMENSION(rgb->height());
    cinfo->input_components = 3;
    cinfo->in_color_space = JCS_RGB;
    jpeg_set_defaults(cinfo);
    jpeg_set_quality(cinfo, quality, TRUE);
    for (int c = 0; c < cinfo->num_components; ++c) {
        cinfo->comp_info[c].h_samp_factor = 1;
        cinfo->comp_info[c].v_samp_factor = 1;
    }
    cinfo->optimize_coding = TRUE;
    jpeg_simple_progression(cinfo);

    jpeg_start_compress(cinfo, TRUE);
    while (cinfo->next_scanline < cinfo->image_height) {
        // libjpeg does not write through the row pointer.
        JSAMPROW row = const_cast<JSAMPROW>(rgb->constScanLine(int(cinfo->next_scanline)));
        jpeg_write_scanlines(cinfo, &row, 1);
    }
    jpeg_finish_compress(cinfo);
    jpeg_destroy_compress(cinfo);
    return true;
}

} // namespace

QByteArray encodeProgressiveJpeg(const QImage &image, int quality)
{
    if (image.isNull() || quality < 1 || quality > 100)
        return {};

    const QImage rgb = image.convertToFormat(QImage::Format_RGB888);
    jpeg_compress_struct cinfo{};
    ErrorManager err{};
    unsigned char *buffer = nullptr;
    unsigned long size = 0;
    QByteArray file;
    if (encodeInto(&cinfo, &err, &rgb, quality, &buffer, &size))
        file = QByteArray(reinterpret_cast<const char *>(buffer), qsizetype(size));
    std::free(buffer);
    return file;
}

} // namespace tervan
