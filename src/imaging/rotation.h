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

// The same quarter turn for a caller that holds the only reference to a large image and has
// no memory for a second copy: the turned image is a new one whose small pages take memory
// as they are written, while the source gives its rows back from the bottom up as they are
// turned, so that both together stay near the size of one. The source is left without
// rows. Blocks until done, taking part in the work.
BigImagePtr turnFreeing(const BigImagePtr& img, bool clockwise);

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
