#include "loading.h"

#include "jpegdecoder.h"
#include "largememory.h"
#include "parallel.h"
#include "pnm.h"
#include "progressinfo.h"
#include "statuswatcher.h"
#include "tiffdecoder.h"
#include "watchedwait.h"

#include <QFile>
#include <QFileInfo>
#include <QImageReader>
#include <QtConcurrent>

#include <cstring>
#include <fstream>
#include <new>
#include <type_traits>
#include <vector>

namespace BigImageIO {

namespace {

// Tiles of 23170 × 23170 pixels stay below 2^31 bytes at 4 bytes a pixel; 23171 would not.
constexpr int kTile = 23170;
constexpr int64_t kWholeImageLimit = 2147483647;
constexpr int kCopyBlockRows = 64;

const QString kLoading = QStringLiteral("Loading…");

void copyRow(const QImage& source, int i, int columns, RgbPixel* out)
{
    const uchar* line = source.constScanLine(i);
    switch (source.format()) {
    case QImage::Format_RGB32:
    case QImage::Format_ARGB32: {
        const QRgb* p = reinterpret_cast<const QRgb*>(line);
        for (int j = 0; j < columns; ++j)
            out[j] = fromQRgb(p[j]);
        break;
    }
    case QImage::Format_RGB888:
        std::memcpy(out, line, size_t(columns) * 3);
        break;
    case QImage::Format_Grayscale8:
        for (int j = 0; j < columns; ++j)
            out[j] = RgbPixel{line[j], line[j], line[j]};
        break;
    case QImage::Format_Indexed8: {
        const QVector<QRgb> table = source.colorTable();
        for (int j = 0; j < columns; ++j)
            out[j] = line[j] < table.size() ? fromQRgb(table[line[j]]) : colBlack;
        break;
    }
    default:
        // Every other format (bitmaps, premultiplied, 16-bit, …) through Qt's own conversion.
        for (int j = 0; j < columns; ++j)
            out[j] = fromQRgb(source.pixel(j, i));
        break;
    }
}

} // namespace

void copyFromQImage(const QImage& source, BigImage& target, int32_t x0, int32_t y0)
{
    const int rows = std::min<int64_t>(source.height(), int64_t(target.height()) - y0);
    const int columns = std::min<int64_t>(source.width(), int64_t(target.width()) - x0);
    if (rows <= 0 || columns <= 0 || x0 < 0 || y0 < 0)
        return;
    parallelFor((rows + kCopyBlockRows - 1) / kCopyBlockRows, [&](int64_t block) {
        const int first = int(block) * kCopyBlockRows;
        const int last = std::min(rows, first + kCopyBlockRows);
        for (int i = first; i < last; ++i)
            copyRow(source, i, columns, target.row(y0 + i) + x0);
    });
}

BigImagePtr readTiled(const QString& fileName, QSize size, BigImageLoadData& data, std::atomic<float>* progress)
{
    const int W = size.width();
    const int H = size.height();
    if (H <= 0 || W <= 0)
        return nullptr;
    BigImagePtr image;
    for (int y0 = 0; y0 < H; y0 += kTile) {
        for (int x0 = 0; x0 < W; x0 += kTile) {
            QImage tile;
            {
                QImageReader reader(fileName);
                reader.setClipRect(QRect(QPoint(x0, y0), QPoint(std::min(W, x0 + kTile) - 1, std::min(H, y0 + kTile) - 1)));
                tile = reader.read();
                if (tile.isNull()) {
                    data.message("Error: " + reader.errorString() + ".");
                    return nullptr;
                }
            }
            if (!image) {
                try {
                    image = BigImage::makeUnfilled(W, H);
                } catch (const std::bad_alloc&) {
                    data.message(LargeMemory::failureText(QStringLiteral("Out of Memory Error.")));
                    return nullptr;
                }
                if (data.dpi) {
                    data.dpi->x = tile.dotsPerMeterX();
                    data.dpi->y = tile.dotsPerMeterY();
                }
            }
            copyFromQImage(tile, *image, x0, y0);
        }
        if (progress)
            *progress = float(y0) / float(H);
    }
    return image;
}

namespace {

// Whole-image work of loadJPG and loadPNG. loadPNG stores the resolution before the null
// test, so a failed read stores zeros.
BigImagePtr readWhole(const QString& fileName, BigImageLoadData& data, bool dpiFirst)
{
    QImageReader reader(fileName);
    const QImage img = reader.read();
    if (dpiFirst && data.dpi) {
        data.dpi->x = img.dotsPerMeterX();
        data.dpi->y = img.dotsPerMeterY();
    }
    if (img.isNull()) {
        data.message("Could not read to QImage: " + fileName + ".");
        return nullptr;
    }
    if (!dpiFirst && data.dpi) {
        data.dpi->x = img.dotsPerMeterX();
        data.dpi->y = img.dotsPerMeterY();
    }
    BigImagePtr image;
    try {
        image = BigImage::makeUnfilled(img.width(), img.height());
    } catch (const std::bad_alloc&) {
        data.message(LargeMemory::failureText(QStringLiteral("Out of Memory Error.")));
        return nullptr;
    }
    copyFromQImage(img, *image, 0, 0);
    data.loaded = true;
    return image;
}

bool readable(const QString& fileName, BigImageLoadData& data, QSize* size, QByteArray* format = nullptr)
{
    QImageReader reader(fileName);
    if (!reader.canRead()) {
        data.message("Cannot read from file " + fileName + ".");
        return false;
    }
    *size = reader.size();
    if (format)
        *format = reader.format();
    return true;
}

// The result of a direct decoder (libjpeg-turbo or libtiff) taken over, its failures told
// with the texts of Qt's route; false when the file needs Qt's reader after all.
template <typename Decoded>
bool takeDirectResult(const Decoded& decoded, const QString& fileName, BigImageLoadData& data, BigImagePtr* result)
{
    using Status = decltype(decoded.status);
    switch (decoded.status) {
    case Status::Unsupported:
        return false;
    case Status::OutOfMemory:
        data.message(LargeMemory::failureText(QStringLiteral("Out of Memory Error.")));
        break;
    case Status::Failed:
        data.message("Could not read to QImage: " + fileName + ".");
        break;
    default: // decoded, or (JPEG only) damaged with what could be read
        if constexpr (std::is_same_v<Status, JpegDecodeStatus>) {
            if (decoded.status == Status::Damaged) {
                data.message(fileName + " is damaged: " + decoded.error + ".");
                data.damaged = true;
            }
        }
        if (data.dpi)
            *data.dpi = decoded.dpi;
        data.loaded = true;
        *result = decoded.image;
        break;
    }
    return true;
}

} // namespace

BigImagePtr loadJPG(const QString& fileName, BigImageLoadData& data)
{
    QSize size;
    QByteArray format;
    if (!readable(fileName, data, &size, &format))
        return nullptr;
    ProgressInfo info(0.0f, kLoading);
    BigImagePtr result;
    const bool whole = int64_t(size.width()) * int64_t(size.height()) * 4 <= kWholeImageLimit;
    QFuture<void> future = QtConcurrent::run([&] {
        // JPEG files of any size decode in one pass into the image, 8-bit RGB and grey TIFF
        // files strip by strip; Qt reads the rest (JPEG colour spaces that libjpeg cannot turn
        // into RGB, and every other kind of TIFF).
        if (format == "jpeg" && takeDirectResult(decodeJpeg(fileName, &info.value), fileName, data, &result))
            return;
        if (format == "tiff" && takeDirectResult(decodeTiff(fileName, &info.value), fileName, data, &result))
            return;
        if (whole) {
            result = readWhole(fileName, data, false);
        } else {
            result = readTiled(fileName, size, data, &info.value);
            data.loaded = result != nullptr;
        }
    });
    watchedWait(future, data.watcher, QStringLiteral("loadJPG"), true, &info);
    return result;
}

BigImagePtr loadPNG(const QString& fileName, BigImageLoadData& data)
{
    QSize size;
    if (!readable(fileName, data, &size))
        return nullptr;
    BigImagePtr result;
    QFuture<void> future = QtConcurrent::run([&] { result = readWhole(fileName, data, true); });
    const ProgressInfo info(0.0f, kLoading);
    watchedWait(future, data.watcher, QStringLiteral("loadPNG"), true, &info);
    return result;
}

BigImagePtr loadPPM(const QString& fileName, BigImageLoadData& data)
{
    const QString context = QStringLiteral("loadPPM");
    std::ifstream in(QFile::encodeName(fileName).constData(), std::ios::binary);
    if (!in.is_open()) {
        data.message(context + ": Could not open file stream: " + fileName + ".");
        return nullptr;
    }
    int width = -1, height = -1, type = -1;
    if (!parse_ppm_header(in, &width, &height, &type)) {
        data.message(context + ": Error at file parsing: " + fileName + ".");
        return nullptr;
    }
    // A header may promise far more than the file holds (a few bytes declaring gigabytes):
    // refuse before allocating anything.
    const int64_t needed = ppm_minimum_data_bytes(type, width, height);
    if (needed >= 0) {
        const std::streampos dataStart = in.tellg();
        in.seekg(0, std::ios::end);
        const std::streamoff available = in.tellg() - dataStart;
        in.seekg(dataStart);
        if (available < needed) {
            data.message(context + ": File is truncated: " + fileName + ".");
            return nullptr;
        }
    }

    ProgressInfo info(0.0f, kLoading);
    BigImagePtr result;
    bool outOfMemory = false;
    QFuture<void> future = QtConcurrent::run([&] {
        BigImagePtr image;
        if (needed >= 0) {
            try {
                image = BigImage::makeUnfilled(width, height);
            } catch (const std::bad_alloc&) {
                outOfMemory = true;
                return;
            }
        }
        // The other core maps the image's memory while this one reads the file into it.
        QFuture<void> prefault = prefaultInBackground(image);
        const QString error = parse_ppm_data(in, type, image ? reinterpret_cast<uint8_t*>(image->data()) : nullptr,
                                             width, height, &info.value);
        waitForPoolWork(prefault);
        if (!error.isEmpty()) {
            data.message(error);
            return;
        }
        result = image;
    });
    watchedWait(future, data.watcher, context, false, &info);
    if (result)
        data.loaded = true;
    else if (outOfMemory)
        data.message(LargeMemory::failureText(QStringLiteral("Out of Memory Error.")));
    return result;
}

BigImagePtr loadImageFile(const QString& fileName, BigImageLoadData& data)
{
    data.filename = fileName;
    const QString suffix = QFileInfo(fileName).suffix();
    if (suffix == "pbm" || suffix == "ppm" || suffix == "pnm" || suffix == "pgm")
        return loadPPM(fileName, data);
    if (suffix == "png" || suffix == "bmp")
        return loadPNG(fileName, data);
    if (suffix == "jpeg" || suffix == "jpg" || suffix == "tif" || suffix == "tiff")
        return loadJPG(fileName, data);
    data.message("Unsupported fileformat: " + fileName);
    return nullptr;
}

} // namespace BigImageIO
