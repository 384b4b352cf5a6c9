// The TIFF writer: little-endian baseline TIFF 6.0, one image directory, RGB (or one-sample
// grey), 8 bits per sample, in strips of up to 1024 rows, with no compression, LZW or
// deflate; BigTIFF for files that could pass 4 GiB.
#pragma once

#include <QString>

#include <memory>

class BigImage;
class StatusWatcher;

// colour: true writes R, G, B per pixel; false writes one grey sample per pixel,
// (11·r + 16·g + 5·b) >> 5. compression: 0 none, 1 LZW, 2 deflate. resolution: pixels per
// inch for both axes (values below 1 count as 1). description: the Software text, left out
// when empty.
//
// Every row is written, at any size: the file is classic TIFF when it cannot pass 4 GiB − 1
// bytes (uncompressed: its exact size; compressed: its size at the worst), BigTIFF otherwise.
// The environment variable SEAMWRIGHT_BIGTIFF_ABOVE, a number of bytes, lowers that limit.
//
// Returns true only when the whole file was written. Failures that the user can meet are
// posted to the watcher (when given) once, with icon, and leave no file behind:
//   "Could not open filename " + fileName              the file cannot be created;
//   "Could not write " + fileName + "."                 a write failed (disk full).
// A null or empty image or an unknown compression returns false without a message and
// without touching the file.
bool writeTiff(std::shared_ptr<BigImage> image, QString fileName, bool colour, QString description,
               int compression, int resolution, StatusWatcher* watcher, QString icon);
