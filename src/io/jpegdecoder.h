// Decoding JPEG files straight into a BigImage with libjpeg-turbo: one pass, R, G, B rows
// written where they belong, so a JPEG of any size needs no 4-byte-per-pixel QImage, no
// tiles and no second copy. Colour spaces other than grey and YCbCr/RGB are left to Qt.
#pragma once

#include "bigimage.h"
#include "iodata.h"

#include <QString>

#include <atomic>

namespace BigImageIO {

enum class JpegDecodeStatus {
    Decoded,      // the image is complete
    Damaged,      // corrupt or cut data: the image holds what could be decoded (the rows of a
                  // cut file after its end are black); `error` says what was wrong
    Unsupported,  // CMYK, YCCK or unknown components: the caller reads it another way
    Failed,       // not decodable, or damaged within its first rows; `error` says why
    OutOfMemory,  // the image could not be allocated
};

struct JpegDecodeResult {
    JpegDecodeStatus status = JpegDecodeStatus::Failed;
    BigImagePtr image;
    DotsPerMetre dpi; // as Qt reports it: from the JFIF density, a QImage's default without one
    QString error;
};

// Sets *progress (when given) to the share of rows decoded.
JpegDecodeResult decodeJpeg(const QString& fileName, std::atomic<float>* progress);

} // namespace BigImageIO
