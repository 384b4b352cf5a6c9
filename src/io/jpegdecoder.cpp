#include "jpegdecoder.h"

#include "watchedwait.h"

#include <QFile>
#include <QImage>

#include <cstdio>
#include <csetjmp>
#include <new>

#include <jpeglib.h>

namespace BigImageIO {

namespace {

constexpr int kRowsPerRead = 16;

// libjpeg reports fatal errors through error_exit, which must not return: jump back to the
// decoder with the message kept.
struct ErrorManager {
    jpeg_error_mgr pub;
    std::jmp_buf jump;
    char message[JMSG_LENGTH_MAX];
};

void errorExit(j_common_ptr cinfo)
{
    auto* err = reinterpret_cast<ErrorManager*>(cinfo->err);
    (*cinfo->err->format_message)(cinfo, err->message);
    std::longjmp(err->jump, 1);
}

// Warnings (premature end of data, corrupt bytes) do not stop the decode; the damaged part
// comes out as libjpeg fills it, as with Qt's reader.
void ignoreMessage(j_common_ptr, int) {}

// Everything the decode touches lives here, in memory reached through a pointer, so that
// nothing depends on local variables after a longjmp.
struct Decode {
    jpeg_decompress_struct cinfo;
    ErrorManager err;
    FILE* file = nullptr;
    JpegDecodeResult result;
    QFuture<void> prefault;
};

void run(Decode* d, std::atomic<float>* progress)
{
    jpeg_decompress_struct& cinfo = d->cinfo;
    jpeg_read_header(&cinfo, TRUE);
    if (cinfo.jpeg_color_space != JCS_GRAYSCALE && cinfo.jpeg_color_space != JCS_YCbCr
        && cinfo.jpeg_color_space != JCS_RGB) {
        d->result.status = JpegDecodeStatus::Unsupported;
        return;
    }
    cinfo.out_color_space = JCS_RGB;
    jpeg_start_decompress(&cinfo);
    const int32_t width = int32_t(cinfo.output_width);
    const int32_t height = int32_t(cinfo.output_height);
    try {
        d->result.image = BigImage::makeUnfilled(width, height);
    } catch (const std::bad_alloc&) {
        d->result.status = JpegDecodeStatus::OutOfMemory;
        return;
    }
    BigImage& img = *d->result.image;
    // The other core maps the new image's memory while this one decodes into it.
    d->prefault = prefaultInBackground(d->result.image);
    JSAMPROW rows[kRowsPerRead];
    while (cinfo.output_scanline < cinfo.output_height) {
        const int32_t first = int32_t(cinfo.output_scanline);
        const int32_t count = std::min<int32_t>(kRowsPerRead, height - first);
        for (int32_t i = 0; i < count; ++i)
            rows[i] = reinterpret_cast<JSAMPROW>(img.row(first + i));
        jpeg_read_scanlines(&cinfo, rows, JDIMENSION(count));
        if (progress)
            *progress = float(cinfo.output_scanline) / float(height);
    }
    jpeg_finish_decompress(&cinfo);

    DotsPerMetre& dpi = d->result.dpi;
    if (cinfo.density_unit == 1) {
        dpi.x = int32_t(100.0 * cinfo.X_density / 2.54);
        dpi.y = int32_t(100.0 * cinfo.Y_density / 2.54);
    } else if (cinfo.density_unit == 2) {
        dpi.x = int32_t(100.0 * cinfo.X_density);
        dpi.y = int32_t(100.0 * cinfo.Y_density);
    } else {
        // No density: what a QImage holds by default (it follows the screen's resolution).
        const QImage probe(1, 1, QImage::Format_RGB888);
        dpi.x = probe.dotsPerMeterX();
        dpi.y = probe.dotsPerMeterY();
    }
    d->result.status = JpegDecodeStatus::Decoded;
}

} // namespace

JpegDecodeResult decodeJpeg(const QString& fileName, std::atomic<float>* progress)
{
    auto d = std::make_unique<Decode>();
    d->file = std::fopen(QFile::encodeName(fileName).constData(), "rb");
    if (!d->file) {
        d->result.error = QStringLiteral("cannot open the file");
        return d->result;
    }
    d->cinfo.err = jpeg_std_error(&d->err.pub);
    d->err.pub.error_exit = errorExit;
    d->err.pub.emit_message = ignoreMessage;
    jpeg_create_decompress(&d->cinfo);
    if (setjmp(d->err.jump) == 0) {
        jpeg_stdio_src(&d->cinfo, d->file);
        run(d.get(), progress);
    } else {
        d->result.status = JpegDecodeStatus::Failed;
        d->result.error = QString::fromLocal8Bit(d->err.message);
        d->result.image.reset();
    }
    if (d->result.status != JpegDecodeStatus::Decoded)
        d->result.image.reset();
    jpeg_destroy_decompress(&d->cinfo);
    std::fclose(d->file);
    waitForPoolWork(d->prefault);
    return d->result;
}

} // namespace BigImageIO
