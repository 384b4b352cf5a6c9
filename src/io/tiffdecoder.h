// Decoding TIFF files straight into a BigImage with libtiff: strip by strip (or tile by tile)
// into the image's own rows, so that no 4-byte-per-pixel QImage and no whole-image buffer
// is needed. Only 8-bit RGB and 8-bit grey, stored top-left first, come this way; every
// other kind of TIFF is left to Qt's reader, which then decides exactly as before.
#pragma once

#include "bigimage.h"
#include "iodata.h"

#include <QString>

#include <atomic>

namespace BigImageIO {

enum class TiffDecodeStatus {
    Decoded,      // the image is complete
    Unsupported,  // palette, 16-bit, alpha, CMYK, YCbCr, separate planes, other orientations…
    Failed,       // unreadable or damaged; `error` holds libtiff's first complaint
    OutOfMemory,  // the image could not be allocated
};

struct TiffDecodeResult {
    TiffDecodeStatus status = TiffDecodeStatus::Failed;
    BigImagePtr image;
    DotsPerMetre dpi; // as Qt's TIFF reader derives it from XResolution, YResolution and the unit
    QString error;
};

// Sets *progress (when given) to the share of rows decoded. libtiff's messages never reach
// standard error; safe to call from several threads at once.
TiffDecodeResult decodeTiff(const QString& fileName, std::atomic<float>* progress);

} // namespace BigImageIO
