// Saving a BigImage: the formats that suit its size, the save dialog, and the write through
// Qt (small images) or the program's own JPEG, TIFF and PNM writers (large ones, and any
// file that carries a description). Nothing reports success that did not happen.
#pragma once

#include "iodata.h"

#include <QStringList>

namespace BigImageIO {

// Where the notice about formats left out for a large image goes.
enum class SizeNotice { MessageBox, StandardError, None };

// The name filters for an image of this size, in the order JPEG, TIFF, PNM, PNG; large
// images get fewer (TIFF and PNM are offered at every size), and a notice says so.
QStringList saveFilters(const BigImagePtr& image, SizeNotice notice = SizeNotice::MessageBox);

// Writes data.image to data.filename on the pool and returns when it is written; sets
// data.saved only when the whole file was written. Every failure posts one message.
void saveToFile(BigImageSaveData& data);

// The save dialog, then saveToFile; posts "File saved to " + name + "." after a
// successful write when data.reportSuccess is set. GUI thread.
void saveDialog(BigImageSaveData& data);

} // namespace BigImageIO
