// Loading image files into a BigImage: JPEG (libjpeg-turbo) and 8-bit RGB or grey TIFF
// (libtiff) straight into the image; other JPEG and TIFF kinds, PNG and BMP through Qt's image
// reader (large files tile by tile); PNM through the program's own reader. Each
// loader runs its work on the pool while the calling thread keeps processing events, and
// tells every failure once through the record's watcher.
#pragma once

#include "bigimage.h"
#include "iodata.h"

#include <QImage>
#include <QSize>
#include <QString>

#include <atomic>

namespace BigImageIO {

// The loader for the file's suffix (compared case-sensitively): pbm, ppm, pnm, pgm → PNM;
// png, bmp → loadPNG; jpeg, jpg, tif, tiff → loadJPG; anything else is refused with
// "Unsupported fileformat: " + the name. Sets data.filename.
BigImagePtr loadImageFile(const QString& fileName, BigImageLoadData& data);

BigImagePtr loadJPG(const QString& fileName, BigImageLoadData& data);
BigImagePtr loadPNG(const QString& fileName, BigImageLoadData& data);
BigImagePtr loadPPM(const QString& fileName, BigImageLoadData& data);

// Reads a file too large for one QImage in tiles of 23170 × 23170 pixels (each below
// 2^31 bytes at 4 bytes a pixel); runs on the worker thread.
BigImagePtr readTiled(const QString& fileName, QSize size, BigImageLoadData& data, std::atomic<float>* progress);

// Copies a QImage of any format into the image at (x0, y0), as R, G, B, alpha dropped;
// the same values as QImage::pixel gives, read row by row.
void copyFromQImage(const QImage& source, BigImage& target, int32_t x0, int32_t y0);

} // namespace BigImageIO
