#include "jpegdecoder.h"

#include "watchedwait.h"

#include <QFile>
#include <QImage>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>
#include <csetjmp>
#include <new>
#include <vector>

#include <jpeglib.h>
#include <jerror.h>

namespace BigImageIO {

namespace {

constexpr int kRowsPerRead = 16;

// libjpeg reports fatal errors through error_exit, which must not return: jump back to the
// decoder with the message kept.
struct Decode;

struct ErrorManager {
    jpeg_error_mgr pub;
    std::jmp_buf jump;
    char message[JMSG_LENGTH_MAX];
    Decode* decode = nullptr;
};

void errorExit(j_common_ptr cinfo)
{
    auto* err = reinterpret_cast<ErrorManager*>(cinfo->err);
    (*cinfo->err->format_message)(cinfo, err->message);
    std::longjmp(err->jump, 1);
}

// Everything the decode touches lives here, in memory reached through a pointer, so that
// nothing depends on local variables after a longjmp.
struct Decode {
    jpeg_decompress_struct cinfo;
    ErrorManager err;
    FILE* file = nullptr;
    JpegDecodeResult result;
    QFuture<void> prefault;
    std::shared_ptr<PrefaultLimit> prefaultLimit = std::make_shared<PrefaultLimit>();
    bool readingRows = false;
    QString damage;      // the first warning that the data is damaged
    bool endOfFile = false; // the data ran out: libjpeg makes up the rest of the scan
};

// Warnings do not stop libjpeg: it resynchronises after corrupt data and makes up the rest
// of a cut file. Those that say the image data is damaged are kept; the others (unknown
// JFIF versions, odd colour transforms, bytes after the last row) change no pixel.
void keepDamage(j_common_ptr cinfo, int level)
{
    if (level >= 0)
        return; // trace messages
    auto* err = reinterpret_cast<ErrorManager*>(cinfo->err);
    Decode* d = err->decode;
    if (!d || !d->readingRows)
        return;
    const int code = cinfo->err->msg_code;
    if (code != JWRN_HIT_MARKER && code != JWRN_JPEG_EOF && code != JWRN_HUFF_BAD_CODE && code != JWRN_MUST_RESYNC
        && code != JWRN_NOT_SEQUENTIAL && code != JWRN_EXTRANEOUS_DATA && code != JWRN_ARITH_BAD_CODE
        && code != JWRN_BOGUS_PROGRESSION)
        return;
    if (code == JWRN_JPEG_EOF || code == JWRN_HIT_MARKER)
        d->endOfFile = true;
    if (d->damage.isEmpty()) {
        char text[JMSG_LENGTH_MAX];
        (*cinfo->err->format_message)(cinfo, text);
        d->damage = QString::fromLocal8Bit(text);
    }
}

// The first rows decode into a small buffer before the image is allocated: a few bytes whose
// frame header promises gigabytes commit nothing unless their data decodes.
constexpr int32_t kProbeRows = kRowsPerRead;

// libjpeg's own buffers (whole-image coefficients for progressive files) are limited in
// proportion to the file, so that a tiny progressive file cannot make it take gigabytes;
// real files compress far less than 1 : 2000.
size_t libjpegMemoryLimit(FILE* file)
{
    long size = 0;
    if (std::fseek(file, 0, SEEK_END) == 0)
        size = std::max(0L, std::ftell(file));
    std::rewind(file);
    return std::max<size_t>(size_t(256) << 20, size_t(size) * 2000);
}

// Reads `count` rows into rows[]; false when libjpeg delivered none (it only does so at the
// end of the data when reading from a suspending source, never here).
bool readRows(jpeg_decompress_struct& cinfo, JSAMPROW* rows, int32_t count)
{
    int32_t done = 0;
    while (done < count) {
        const JDIMENSION got = jpeg_read_scanlines(&cinfo, rows + done, JDIMENSION(count - done));
        if (got == 0)
            return false;
        done += int32_t(got);
    }
    return true;
}

// The arithmetic decoder meets a marker inside the scan without a warning and decodes zeros
// from then on. At the end of the image that is how its data ends (encoders drop trailing
// zeros), but a marker other than a restart marker or the end of the image, met while rows
// remain, means that the scan's data was cut. Huffman scans warn of that themselves.
void noteMarkerInScan(Decode* d)
{
    const int marker = d->cinfo.unread_marker;
    if (!d->cinfo.arith_code || marker == 0 || (marker >= 0xD0 && marker <= 0xD7) || marker == 0xD9
        || d->cinfo.output_scanline >= d->cinfo.output_height)
        return;
    d->endOfFile = true;
    if (d->damage.isEmpty())
        d->damage = QStringLiteral("Corrupt JPEG data: premature end of data segment");
}

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
    d->readingRows = true; // progressive files decode their scans in jpeg_start_decompress
    jpeg_start_decompress(&cinfo);
    const int32_t width = int32_t(cinfo.output_width);
    const int32_t height = int32_t(cinfo.output_height);
    const size_t rowBytes = size_t(width) * 3;
    // A single scan is decoded as the rows are read: once its data ran out, every further
    // row is made up. Files of several scans were read whole by jpeg_start_decompress; a
    // missing later scan only leaves them coarser, so all their rows are kept.
    const bool singleScan = !jpeg_has_multiple_scans(&cinfo);
    auto dataEnded = [&] {
        if (singleScan)
            noteMarkerInScan(d);
        return singleScan && d->endOfFile;
    };

    const int32_t probeRows = std::min(kProbeRows, height);
    std::vector<uint8_t> probe(rowBytes * size_t(probeRows));
    JSAMPROW rows[kProbeRows];
    for (int32_t i = 0; i < probeRows; ++i)
        rows[i] = probe.data() + rowBytes * size_t(i);
    if (!readRows(cinfo, rows, probeRows) || dataEnded()) {
        d->result.error = d->damage.isEmpty() ? QStringLiteral("no image data") : d->damage;
        d->result.status = JpegDecodeStatus::Failed;
        return;
    }
    try {
        // Zeroed: rows that a cut file never reaches stay black and cost no memory.
        d->result.image = BigImage::makeZeroed(width, height);
    } catch (const std::bad_alloc&) {
        d->result.status = JpegDecodeStatus::OutOfMemory;
        return;
    }
    BigImage& img = *d->result.image;
    for (int32_t i = 0; i < probeRows; ++i)
        std::memcpy(img.row(i), rows[i], rowBytes);
    std::vector<uint8_t>().swap(probe);
    // The other core maps the new image's memory while this one decodes into it, a little
    // ahead of the rows decoded and no further, so that memory follows the data.
    auto allowPrefault = [&] { d->prefaultLimit->allowRows(cinfo.output_scanline, width); };
    allowPrefault();
    d->prefault = prefaultInBackground(d->result.image, d->prefaultLimit);
    while (cinfo.output_scanline < cinfo.output_height && !dataEnded()) {
        const int32_t first = int32_t(cinfo.output_scanline);
        const int32_t count = std::min<int32_t>(kRowsPerRead, height - first);
        for (int32_t i = 0; i < count; ++i)
            rows[i] = reinterpret_cast<JSAMPROW>(img.row(first + i));
        if (!readRows(cinfo, rows, count))
            break;
        allowPrefault();
        if (progress)
            *progress = float(cinfo.output_scanline) / float(height);
    }
    d->readingRows = false;
    const int32_t decoded = int32_t(cinfo.output_scanline);
    if (decoded < height) {
        jpeg_abort_decompress(&cinfo); // a cut file: the rest would be made up
    } else {
        jpeg_finish_decompress(&cinfo);
    }

    DotsPerMetre& dpi = d->result.dpi;
    if (cinfo.density_unit == 1) {
        dpi.x = int32_t(100.0 * cinfo.X_density / 2.54);
        dpi.y = int32_t(100.0 * cinfo.Y_density / 2.54);
    } else if (cinfo.density_unit == 2) {
        dpi.x = int32_t(100.0 * cinfo.X_density);
        dpi.y = int32_t(100.0 * cinfo.Y_density);
    } else {
        // No density: what a QImage holds by default (it follows the screen's resolution).
        const QImage probeImage(1, 1, QImage::Format_RGB888);
        dpi.x = probeImage.dotsPerMeterX();
        dpi.y = probeImage.dotsPerMeterY();
    }
    if (d->damage.isEmpty()) {
        d->result.status = JpegDecodeStatus::Decoded;
    } else {
        d->result.status = JpegDecodeStatus::Damaged;
        d->result.error = d->damage;
    }
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
    d->err.pub.emit_message = keepDamage;
    d->err.decode = d.get();
    jpeg_create_decompress(&d->cinfo);
    if (setjmp(d->err.jump) == 0) {
        d->cinfo.mem->max_memory_to_use = long(std::min<size_t>(libjpegMemoryLimit(d->file), LONG_MAX));
        jpeg_stdio_src(&d->cinfo, d->file);
        run(d.get(), progress);
    } else {
        d->result.status = JpegDecodeStatus::Failed;
        d->result.error = QString::fromLocal8Bit(d->err.message);
        d->result.image.reset();
    }
    if (d->result.status != JpegDecodeStatus::Decoded && d->result.status != JpegDecodeStatus::Damaged)
        d->result.image.reset();
    jpeg_destroy_decompress(&d->cinfo);
    std::fclose(d->file);
    d->prefaultLimit->stop = true;
    waitForPoolWork(d->prefault);
    return d->result;
}

} // namespace BigImageIO
