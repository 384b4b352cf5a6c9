// libtiff into the image rows: strips straight into place (grey spread to three bytes in
// place), tiles through one tile buffer; libtiff messages are caught per file.
#include "tiffdecoder.h"

#include "assertion.h"
#include "watchedwait.h"

#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QtGlobal>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include <tiffio.h>

// libtiff 4.5 takes message handlers per file; older versions only have the global ones.
#if TIFFLIB_VERSION >= 20221213
#define SEAMWRIGHT_TIFF_HANDLERS_PER_FILE 1
#else
#include <mutex>
#endif

namespace BigImageIO {

namespace {

// What the fast path accepts, read from the first directory.
struct Layout {
    int32_t width = 0;
    int32_t height = 0;
    int samples = 0;      // 3: R, G, B; 1: grey
    bool invert = false;  // MinIsWhite: 0 is white
    bool tiled = false;
    uint32_t rowsPerStrip = 0;
    uint32_t tileWidth = 0;
    uint32_t tileLength = 0;
};

struct Decode {
    TIFF* tif = nullptr;
    QString firstError;
    TiffDecodeResult result;
    QFuture<void> prefault;
    std::shared_ptr<PrefaultLimit> prefaultLimit = std::make_shared<PrefaultLimit>();
};

#ifdef SEAMWRIGHT_TIFF_HANDLERS_PER_FILE
// Returning 1 marks a message as handled, so libtiff's global handlers (standard error) never
// see it; the handlers of other threads' files are untouched.
int keepFirstError(TIFF*, void* user, const char* module, const char* fmt, va_list ap)
{
    auto* d = static_cast<Decode*>(user);
    if (d && d->firstError.isEmpty()) {
        char text[512];
        std::vsnprintf(text, sizeof text, fmt, ap);
        d->firstError = module ? QString::fromLocal8Bit(module) + ": " + QString::fromLocal8Bit(text)
                               : QString::fromLocal8Bit(text);
    }
    return 1;
}

int dropWarning(TIFF*, void*, const char*, const char*, va_list) { return 1; }

TIFF* openTiff(const QString& fileName, Decode* d)
{
    std::unique_ptr<TIFFOpenOptions, void (*)(TIFFOpenOptions*)> options(TIFFOpenOptionsAlloc(), TIFFOpenOptionsFree);
    if (!options)
        return nullptr;
    TIFFOpenOptionsSetErrorHandlerExtR(options.get(), keepFirstError, d);
    TIFFOpenOptionsSetWarningHandlerExtR(options.get(), dropWarning, d);
    // "m": no memory map, so uncompressed strips are read straight into the image's rows.
    return TIFFOpenExt(QFile::encodeName(fileName).constData(), "rm", options.get());
}
#else
// Global handlers, set once: every message is dropped, the first error of a file is lost.
TIFF* openTiff(const QString& fileName, Decode*)
{
    static std::once_flag once;
    std::call_once(once, [] {
        TIFFSetErrorHandler(nullptr);
        TIFFSetWarningHandler(nullptr);
    });
    return TIFFOpen(QFile::encodeName(fileName).constData(), "rm");
}
#endif

// False when the file is anything but 8-bit unsigned RGB or grey, chunky, top-left first,
// with a codec this libtiff has: Qt's reader then handles it as it always did. Tiles must be
// multiples of 16 pixels, as Qt's reader demands of grey ones.
bool fastPathLayout(TIFF* tif, Layout* l)
{
    uint32_t width = 0, height = 0;
    uint16_t photometric = 0;
    if (!TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &width) || !TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &height)
        || !TIFFGetField(tif, TIFFTAG_PHOTOMETRIC, &photometric))
        return false;
    if (width == 0 || height == 0 || width > uint32_t(INT32_MAX) || height > uint32_t(INT32_MAX))
        return false;
    uint16_t bits = 0, samples = 0, format = 0, planar = 0, orientation = 0, compression = 0;
    TIFFGetFieldDefaulted(tif, TIFFTAG_BITSPERSAMPLE, &bits);
    TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLESPERPIXEL, &samples);
    TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLEFORMAT, &format);
    TIFFGetFieldDefaulted(tif, TIFFTAG_PLANARCONFIG, &planar);
    TIFFGetFieldDefaulted(tif, TIFFTAG_ORIENTATION, &orientation);
    TIFFGetFieldDefaulted(tif, TIFFTAG_COMPRESSION, &compression);
    if (bits != 8 || format != SAMPLEFORMAT_UINT || orientation != ORIENTATION_TOPLEFT
        || compression == COMPRESSION_OJPEG || !TIFFIsCODECConfigured(compression))
        return false;
    const bool rgb = photometric == PHOTOMETRIC_RGB && samples == 3 && planar == PLANARCONFIG_CONTIG;
    const bool grey = (photometric == PHOTOMETRIC_MINISBLACK || photometric == PHOTOMETRIC_MINISWHITE) && samples == 1;
    if (!rgb && !grey)
        return false;
    l->width = int32_t(width);
    l->height = int32_t(height);
    l->samples = samples;
    l->invert = photometric == PHOTOMETRIC_MINISWHITE;
    l->tiled = TIFFIsTiled(tif) != 0;
    if (l->tiled) {
        if (!TIFFGetField(tif, TIFFTAG_TILEWIDTH, &l->tileWidth) || !TIFFGetField(tif, TIFFTAG_TILELENGTH, &l->tileLength)
            || l->tileWidth == 0 || l->tileLength == 0 || l->tileWidth % 16 != 0 || l->tileLength % 16 != 0)
            return false;
        // The tile buffer is allocated before anything is decoded: tiles of more than 64 MB
        // are no scanner's, and Qt's reader may decide on them.
        if (uint64_t(l->tileWidth) * l->tileLength * samples > (uint64_t(64) << 20))
            return false;
        const uint64_t across = (uint64_t(width) + l->tileWidth - 1) / l->tileWidth;
        const uint64_t down = (uint64_t(height) + l->tileLength - 1) / l->tileLength;
        return TIFFNumberOfTiles(tif) == across * down;
    }
    TIFFGetFieldDefaulted(tif, TIFFTAG_ROWSPERSTRIP, &l->rowsPerStrip);
    l->rowsPerStrip = std::clamp<uint32_t>(l->rowsPerStrip, 1, height);
    return TIFFNumberOfStrips(tif) == (uint64_t(height) + l->rowsPerStrip - 1) / l->rowsPerStrip;
}

// How many bytes one stored byte can decode to at the most, per codec: PackBits 128 from 2,
// deflate about 1032 : 1, LZW about 2700 : 1 (4096 leaves room), baseline JPEG 256 : 1.
// Codecs without such a bound known here (zstd, LZMA, …) get a loose one.
uint64_t largestRatio(uint16_t compression)
{
    switch (compression) {
    case COMPRESSION_NONE:
        return 1;
    case COMPRESSION_PACKBITS:
        return 64;
    case COMPRESSION_ADOBE_DEFLATE:
    case COMPRESSION_DEFLATE:
        return 1100;
    case COMPRESSION_LZW:
    case COMPRESSION_JPEG:
        return 4096;
    default:
        return uint64_t(1) << 20;
    }
}

// A cut file names strips or tiles beyond its end; a forged one promises more bytes than its
// data can decode to under its codec (in libtiff's own sizes, for every kind of TIFF, so that
// Qt's reader is never handed such a file either), or points many strips at the same bytes,
// so that a few bytes repeated fill gigabytes. Refuse all of them before anything of the size
// the header promises is allocated.
bool dataCanHoldTheImage(TIFF* tif, int64_t fileSize)
{
    uint32_t height = 0;
    if (!TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &height) || height == 0)
        return false;
    uint16_t compression = COMPRESSION_NONE;
    TIFFGetFieldDefaulted(tif, TIFFTAG_COMPRESSION, &compression);
    const uint64_t ratio = largestRatio(compression);
    constexpr uint64_t kSlack = 4096; // codec headers and tables of tiny strips
    const bool tiled = TIFFIsTiled(tif) != 0;
    uint32_t rowsPerStrip = 0;
    TIFFGetFieldDefaulted(tif, TIFFTAG_ROWSPERSTRIP, &rowsPerStrip);
    rowsPerStrip = std::clamp<uint32_t>(rowsPerStrip, 1, height);
    const uint32_t stripsPerPlane = uint32_t((uint64_t(height) + rowsPerStrip - 1) / rowsPerStrip);
    const uint32_t count = tiled ? TIFFNumberOfTiles(tif) : TIFFNumberOfStrips(tif);
    if (count == 0)
        return false;
    uint64_t stored = 0; // strips of a sound file do not overlap: together they fit the file
    for (uint32_t i = 0; i < count; ++i) {
        const uint64_t offset = TIFFGetStrileOffset(tif, i);
        const uint64_t bytes = TIFFGetStrileByteCount(tif, i);
        if (offset > uint64_t(fileSize) || bytes > uint64_t(fileSize) - offset)
            return false;
        stored += bytes;
        if (stored > uint64_t(fileSize))
            return false;
        const uint32_t first = (i % stripsPerPlane) * rowsPerStrip;
        const uint64_t decoded
            = tiled ? TIFFTileSize64(tif) : TIFFVStripSize64(tif, std::min(rowsPerStrip, height - first));
        if (decoded == 0 || decoded > bytes * ratio + kSlack)
            return false;
    }
    return true;
}

// Grey levels decoded into the first third of their pixels' bytes become R = G = B, from the
// last pixel back, so that no level is overwritten before it is read.
void spreadGrey(uint8_t* bytes, int64_t count, bool invert)
{
    for (int64_t i = count - 1; i >= 0; --i) {
        const uint8_t v = invert ? uint8_t(255 - bytes[i]) : bytes[i];
        uint8_t* p = bytes + 3 * i;
        p[0] = v;
        p[1] = v;
        p[2] = v;
    }
}

// Rows are gapless, so a strip's rows are one run of bytes: RGB decodes straight into it,
// grey into its start and then spreads. The prefault follows the rows decoded, so that a
// file whose later strips fail costs little memory.
bool readStrips(TIFF* tif, const Layout& l, BigImage& img, PrefaultLimit& limit, std::atomic<float>* progress)
{
    SW_ASSERT(l.samples == 1 || l.samples == 3);
    const uint32_t strips = TIFFNumberOfStrips(tif);
    for (uint32_t s = 0; s < strips; ++s) {
        const int32_t first = int32_t(int64_t(s) * l.rowsPerStrip);
        const int32_t rows = int32_t(std::min<int64_t>(l.rowsPerStrip, int64_t(l.height) - first));
        const int64_t pixels = int64_t(rows) * int64_t(l.width);
        const int64_t bytes = pixels * l.samples;
        uint8_t* target = reinterpret_cast<uint8_t*>(img.row(first));
        if (TIFFReadEncodedStrip(tif, s, target, tmsize_t(bytes)) != tmsize_t(bytes))
            return false;
        if (l.samples == 1)
            spreadGrey(target, pixels, l.invert);
        limit.allowRows(first + rows, l.width);
        if (progress)
            *progress = float(first + rows) / float(l.height);
    }
    return true;
}

// Tiles decode one at a time into a buffer of one tile; the part inside the image is copied
// to its rows (tiles at the right and bottom edges reach beyond it).
bool readTiles(TIFF* tif, const Layout& l, BigImage& img, PrefaultLimit& limit, std::atomic<float>* progress)
{
    SW_ASSERT(l.samples == 1 || l.samples == 3);
    const int64_t tileBytes = int64_t(l.tileWidth) * int64_t(l.tileLength) * l.samples;
    if (TIFFTileSize64(tif) != uint64_t(tileBytes))
        return false;
    std::vector<uint8_t> tile(static_cast<size_t>(tileBytes));
    for (int64_t y = 0; y < l.height; y += l.tileLength) {
        const int32_t rows = int32_t(std::min<int64_t>(l.tileLength, l.height - y));
        for (int64_t x = 0; x < l.width; x += l.tileWidth) {
            const int32_t columns = int32_t(std::min<int64_t>(l.tileWidth, l.width - x));
            const uint32_t index = TIFFComputeTile(tif, uint32_t(x), uint32_t(y), 0, 0);
            if (TIFFReadEncodedTile(tif, index, tile.data(), tmsize_t(tileBytes)) != tmsize_t(tileBytes))
                return false;
            for (int32_t i = 0; i < rows; ++i) {
                const uint8_t* from = tile.data() + int64_t(i) * l.tileWidth * l.samples;
                RgbPixel* to = img.row(int32_t(y + i)) + x;
                if (l.samples == 3) {
                    std::memcpy(to, from, size_t(columns) * 3);
                } else {
                    for (int32_t j = 0; j < columns; ++j) {
                        const uint8_t v = l.invert ? uint8_t(255 - from[j]) : from[j];
                        to[j] = RgbPixel{v, v, v};
                    }
                }
            }
        }
        limit.allowRows(y + rows, l.width);
        if (progress)
            *progress = float(y + rows) / float(l.height);
    }
    return true;
}

// The start of the first strip (up to 1 MB of it) or the first tile decodes into a buffer of
// its own before the image is allocated: a few bytes of garbage whose header promises
// gigabytes then cost no more than that buffer.
bool firstDataDecodes(TIFF* tif, const Layout& l)
{
    constexpr int64_t kProbeBytes = int64_t(1) << 20;
    int64_t bytes = 0;
    if (l.tiled) {
        bytes = int64_t(l.tileWidth) * int64_t(l.tileLength) * l.samples;
    } else {
        const int64_t rowBytes = int64_t(l.width) * l.samples;
        const int64_t stripBytes = int64_t(std::min<uint32_t>(l.rowsPerStrip, uint32_t(l.height))) * rowBytes;
        // Whole rows where they fit, so that every codec sees whole rows.
        bytes = rowBytes <= kProbeBytes ? kProbeBytes / rowBytes * rowBytes : kProbeBytes / l.samples * l.samples;
        bytes = std::min(bytes, stripBytes);
    }
    std::vector<uint8_t> buffer(static_cast<size_t>(bytes));
    const tmsize_t got = l.tiled ? TIFFReadEncodedTile(tif, 0, buffer.data(), tmsize_t(bytes))
                                 : TIFFReadEncodedStrip(tif, 0, buffer.data(), tmsize_t(bytes));
    return got == tmsize_t(bytes);
}

// Qt's TIFF reader: the unit defaults to inches; centimetres multiply in float, inches in
// double; other units, a missing resolution or a result of 0 keep a QImage's default.
DotsPerMetre resolutionAsQt(TIFF* tif)
{
    const QImage probe(1, 1, QImage::Format_RGB888);
    DotsPerMetre dpi{probe.dotsPerMeterX(), probe.dotsPerMeterY()};
    uint16_t unit = 0;
    if (!TIFFGetField(tif, TIFFTAG_RESOLUTIONUNIT, &unit))
        unit = RESUNIT_INCH;
    float resX = 0, resY = 0;
    if (!TIFFGetField(tif, TIFFTAG_XRESOLUTION, &resX) || !TIFFGetField(tif, TIFFTAG_YRESOLUTION, &resY))
        return dpi;
    int x = 0, y = 0;
    if (unit == RESUNIT_CENTIMETER) {
        x = qRound(resX * 100);
        y = qRound(resY * 100);
    } else if (unit == RESUNIT_INCH) {
        x = qRound(resX * (100 / 2.54));
        y = qRound(resY * (100 / 2.54));
    }
    if (x != 0)
        dpi.x = x;
    if (y != 0)
        dpi.y = y;
    return dpi;
}

void run(Decode* d, const QString& fileName, std::atomic<float>* progress)
{
    TIFF* tif = d->tif;
    if (!dataCanHoldTheImage(tif, QFileInfo(fileName).size())) {
        d->result.error = QStringLiteral("the file ends before its image data");
        return;
    }
    Layout l;
    if (!fastPathLayout(tif, &l)) {
        d->result.status = TiffDecodeStatus::Unsupported;
        return;
    }
    try {
        if (!firstDataDecodes(tif, l)) {
            d->result.error = d->firstError.isEmpty() ? QStringLiteral("the image data cannot be decoded") : d->firstError;
            return;
        }
        d->result.image = BigImage::makeUnfilled(l.width, l.height);
    } catch (const std::bad_alloc&) {
        d->result.status = TiffDecodeStatus::OutOfMemory;
        return;
    }
    // The other core maps the new image's memory while this one decodes into it.
    d->prefaultLimit->allowRows(0, l.width);
    d->prefault = prefaultInBackground(d->result.image, d->prefaultLimit);
    bool complete = false;
    try {
        complete = l.tiled ? readTiles(tif, l, *d->result.image, *d->prefaultLimit, progress)
                           : readStrips(tif, l, *d->result.image, *d->prefaultLimit, progress);
    } catch (const std::bad_alloc&) {
        d->result.status = TiffDecodeStatus::OutOfMemory;
        return;
    }
    if (!complete) {
        d->result.error = d->firstError.isEmpty() ? QStringLiteral("the image data cannot be decoded") : d->firstError;
        return;
    }
    d->result.dpi = resolutionAsQt(tif);
    d->result.status = TiffDecodeStatus::Decoded;
}

} // namespace

TiffDecodeResult decodeTiff(const QString& fileName, std::atomic<float>* progress)
{
    auto d = std::make_unique<Decode>();
    d->tif = openTiff(fileName, d.get());
    if (!d->tif) {
        d->result.error = d->firstError.isEmpty() ? QStringLiteral("cannot open the file") : d->firstError;
        return d->result;
    }
    run(d.get(), fileName, progress);
    TIFFClose(d->tif);
    d->prefaultLimit->stop = true;
    waitForPoolWork(d->prefault);
    if (d->result.status != TiffDecodeStatus::Decoded)
        d->result.image.reset();
    return d->result;
}

} // namespace BigImageIO
