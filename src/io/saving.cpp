#include "saving.h"

#include "jpegencoder.h"
#include "largememory.h"
#include "pnm.h"
#include "safeoutput.h"
#include "statuswatcher.h"
#include "tiffwriter.h"
#include "watchedwait.h"

#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QImage>
#include <QMessageBox>
#include <QtConcurrent>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <new>

namespace BigImageIO {

namespace {

// Largest image that Qt's writers are given: bytes and side. The own TIFF writer takes any
// size (BigTIFF beyond 4 GiB), the own JPEG encoder sides up to 65535, of which the dialog
// offers up to 64999.
constexpr int64_t kQtByteLimit = 2147483646;
constexpr int32_t kQtSideLimit = 31999;
constexpr int32_t kJpegSideLimit = 64999;

const QString kJpegFilter = QStringLiteral("JPEG (*.jpg *.jpeg)");
const QString kTiffFilter = QStringLiteral("TIFF (*.tif *.tiff)");
const QString kPnmFilter = QStringLiteral("PNM (*.pnm *.pbm)");
const QString kPngFilter = QStringLiteral("PNG (*.png)");

bool withinQtLimits(int32_t w, int32_t h)
{
    return int64_t(w) * int64_t(h) * 3 <= kQtByteLimit && std::max(w, h) <= kQtSideLimit;
}

// The writers take their density in dots per inch; the records carry dots per metre.
int dotsPerInch(int32_t dotsPerMetre)
{
    return std::max(1, int(std::lround(double(dotsPerMetre) * 0.0254)));
}

bool writeOwnJpeg(const BigImageSaveData& data)
{
    const BigImage& img = *data.image;
    if (std::max(img.width(), img.height()) > kMaxJpegSide) {
        data.message("Could not write " + data.filename + ": a JPEG image has at most "
                     + QString::number(kMaxJpegSide) + " pixels per side.");
        return false;
    }
    JpegParams params;
    params.width = img.width();
    params.height = img.height();
    params.quality = 100;
    params.comment = data.description.toLocal8Bit();
    params.density = dotsPerInch(data.dpi.x);
    params.pixels = reinterpret_cast<const uint8_t*>(img.data());
    JpegEncoder encoder(params, data.filename);
    if (!encoder.isOpen()) {
        data.message("Could not open file " + data.filename + ".");
        return false;
    }
    if (!encoder.encode()) {
        data.message("Could not write file " + data.filename + ".");
        return false;
    }
    if (params.comment.size() > kMaxJpegComment)
        data.message("The comment in " + data.filename + " was cut to " + QString::number(kMaxJpegComment)
                     + " bytes, the most a JPEG file holds.");
    return true;
}

bool writeOwnTiff(const BigImageSaveData& data)
{
    // The writer tells of a file it cannot open or write itself.
    return writeTiff(data.image, data.filename, true, data.description, 0, dotsPerInch(data.dpi.x), data.watcher,
                     data.icon);
}

bool writeOwnPnm(const BigImageSaveData& data)
{
    const BigImage& img = *data.image;
    if (!write_ppm(reinterpret_cast<const uint8_t*>(img.data()), img.width(), img.height(), data.filename)) {
        data.message("Could not write file " + data.filename + ".");
        return false;
    }
    return true;
}

bool writeThroughQt(const BigImageSaveData& data)
{
    QImage out = toQImage(data.image);
    if (out.isNull()) {
        data.message(LargeMemory::failureText(QStringLiteral("Out of Memory Error.")));
        return false;
    }
    if (data.dpi.x > 0)
        out.setDotsPerMeterX(data.dpi.x);
    if (data.dpi.y > 0)
        out.setDotsPerMeterY(data.dpi.y);
    SafeOutput target(data.filename);
    QFile file(target.path());
    if (!target.ok() || !file.open(QIODevice::WriteOnly)) {
        data.message("Could not open file " + data.filename + ".");
        return false;
    }
    // Qt picks the format from the file's suffix (the temporary file keeps the target's).
    bool written = out.save(&file, nullptr, 100) && file.flush();
    file.close();
    written = written && file.error() == QFileDevice::NoError && target.commit();
    if (!written) {
        data.message("Could not write file " + data.filename + ".");
        return false;
    }
    return true;
}

bool suffixInFilters(const QString& suffix, const QStringList& filters)
{
    if (filters.isEmpty())
        return true;
    return std::any_of(filters.begin(), filters.end(), [&](const QString& f) { return f.contains(suffix); });
}

void writeFile(BigImageSaveData& data)
{
    const BigImage& img = *data.image;
    const int32_t w = img.width(), h = img.height();
    if (w == 0 || h == 0) {
        data.message(QStringLiteral("Could not save empty image."));
        return;
    }
    const QString suffix = QFileInfo(data.filename).suffix();
    if (!suffixInFilters(suffix, data.filters)) {
        data.message("Invalid fileformat for file " + data.filename + ".");
        return;
    }
    // The writer follows the suffix whatever its case, so that a file's content always
    // matches its name (.JPEG is a JPEG file, .TIF a TIFF file).
    const QString kind = suffix.toLower();
    const bool jpeg = kind == "jpg" || kind == "jpeg";
    const bool tiff = kind == "tif" || kind == "tiff";
    bool written = false;
    if (!withinQtLimits(w, h) || !data.description.isEmpty()) {
        if (jpeg)
            written = writeOwnJpeg(data);
        else if (tiff)
            written = writeOwnTiff(data);
        else if (kind == "png") {
            // No writer of ours makes PNG files; a PNM in a .png file would be a lie.
            data.message("Invalid fileformat for file " + data.filename + ".");
            return;
        } else
            written = writeOwnPnm(data);
    } else if (kind == "pnm") {
        written = writeOwnPnm(data);
    } else if (tiff) {
        written = writeOwnTiff(data);
    } else {
        written = writeThroughQt(data);
    }
    if (written)
        data.saved = true;
}

} // namespace

QStringList saveFilters(const BigImagePtr& image, SizeNotice notice)
{
    const int32_t w = image ? image->width() : 0;
    const int32_t h = image ? image->height() : 0;
    if (withinQtLimits(w, h))
        return {kJpegFilter, kTiffFilter, kPnmFilter, kPngFilter};
    const QString text = QStringLiteral("Image size is too big for some fileformats.\n");
    if (notice == SizeNotice::MessageBox)
        QMessageBox::information(nullptr, QString(), text, QMessageBox::Ok);
    else if (notice == SizeNotice::StandardError)
        std::fprintf(stderr, "%s", text.toLocal8Bit().constData());
    if (std::max(w, h) <= kJpegSideLimit)
        return {kJpegFilter, kTiffFilter, kPnmFilter};
    return {kTiffFilter, kPnmFilter};
}

void saveToFile(BigImageSaveData& data)
{
    if (!data.image)
        return;
    QFuture<void> future = QtConcurrent::run([&data] {
        try {
            writeFile(data);
        } catch (const std::bad_alloc&) {
            data.message(LargeMemory::failureText(QStringLiteral("Out of Memory Error.")));
        }
    });
    watchedWait(future, nullptr, QString(), false, nullptr);
}

void saveDialog(BigImageSaveData& data)
{
    data.filters = saveFilters(data.image);
    QFileDialog dialog(nullptr, QString(), QString(), QString());
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setDefaultSuffix(QStringLiteral("jpg"));
    dialog.setDirectory(data.directory);
    dialog.setNameFilters(data.filters);
    if (dialog.exec() != QDialog::Accepted)
        return;
    const QStringList files = dialog.selectedFiles();
    if (files.isEmpty() || files.first().isEmpty())
        return;
    data.filename = files.first();

    QFuture<void> future = QtConcurrent::run([&data] { saveToFile(data); });
    if (data.watcher)
        data.watcher->registerTaskWithoutDialog(QStringLiteral("saveDialog"), future);
    watchedWait(future, nullptr, QString(), false, nullptr);
    if (data.reportSuccess && data.saved)
        data.message("File saved to " + data.filename + ".");
}

} // namespace BigImageIO
