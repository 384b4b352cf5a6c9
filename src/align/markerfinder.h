// Markers found for the user: the rotation and shift between two overlapping scans from
// features matched on small grey copies, then every right marker refined at full resolution
// by local correlation with a sub-pixel peak. Headless; the window, the command line, the
// benchmark and the tests run the same code.
#pragma once

#include "bigimage.h"

#include <QString>

class ProgressInfo;

namespace Align {

// Pixel positions in exactly the meaning of seamwright-cli stitch --left X,RED_Y,BLUE_Y
// --right RED_X,RED_Y,BLUE_X,BLUE_Y: the left markers share the seam column x.
struct MarkerPixels {
    double leftX = 0, leftRedY = 0, leftBlueY = 0;
    double rightRedX = 0, rightRedY = 0, rightBlueX = 0, rightBlueY = 0;
};

// The quarter turn the right image needs before the markers apply to it.
enum class Turn { None, Clockwise, HalfTurn, CounterClockwise };
// "cw", "180", "ccw" (the command line's words); empty for None.
QString turnName(Turn turn);

struct MarkerResult {
    bool found = false;     // false: refused, see message; markers are then meaningless
    MarkerPixels markers;   // right positions in the right image after `turn`
    Turn turn = Turn::None;
    double angleDegrees = 0; // rotation of the right scan against the left one
    double confidence = 0;   // 0..1: the weaker marker's normalised correlation, lowered by doubts
    QString message;         // why it refused, for the user
};

// The whole search: global estimate, then placement and refinement. Never throws; reads the
// images only. Progress values 0..1 with the text "Finding Markers…".
MarkerResult findMarkers(const BigImagePtr& left, const BigImagePtr& right, ProgressInfo* progress = nullptr);

// Moves the right markers (each within about 30 pixels of its match) to their best
// sub-pixel match of the left markers; the left markers stay. turn is None in the result.
MarkerResult refineMarkers(const BigImagePtr& left, const BigImagePtr& right, const MarkerPixels& given,
                           ProgressInfo* progress = nullptr);

} // namespace Align
