// Quarter turns in place and free-angle rotation about a pivot. Both run in parallel on
// the global thread pool; each work item writes only its own part of the destination.
#pragma once

#include "bigimage.h"

class ProgressInfo;
class StatusWatcher;

namespace BigImageProcessing {

// The work item of the free-angle rotation: a destination row and its distance from the pivot.
struct RotationData {
    int32_t row;
    float dy;
};

// Turn the image by 90 degrees in place (the same object, width and height exchanged).
// On the GUI thread the window stays responsive meanwhile and, with a watcher, shows a
// progress dialog; the call returns when the turn is complete. The image must not be null.
void rotateCW(const BigImagePtr& img, StatusWatcher* watcher);
void rotateCCW(const BigImagePtr& img, StatusWatcher* watcher);

// Fill dst with src turned by angle (radians) so that destination point p shows the source
// point R(angle)·(p − pivot) − shift. Along a row the source position is the row's start plus
// x·(cos, sin), a product per pixel rather than a running sum, so long rows do not drift. A null dst is created with the bounding size of the
// turned source and returned; otherwise dst keeps its size. Blocks until every row is done,
// taking part in the work on the calling thread.
BigImagePtr rotate(const BigImagePtr& src, BigImagePtr dst, float angle, float2 pivot, float2 shift,
                   ProgressInfo* progress);

// Columns first .. first + count − 1 of destination row `row` of rotate(): exactly the pixels
// that the whole row holds there.
void rotateRowPart(const BigImage& src, float angle, float2 pivot, float2 shift, int32_t row, int32_t first,
                   int32_t count, RgbPixel* out);

} // namespace BigImageProcessing
