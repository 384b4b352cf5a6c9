// The correlation search: for every second left row, the square error of the 5 × 5 strip
// block against the band at 80 × sliceWidth half-pixel positions, pinned to zero near the
// markers, then accumulated forward and backward along the slices.
#pragma once

#include "stitchdata.h"

class ProgressInfo;

namespace StitchEngine {

// The 5 × 5 left block of one slice as floats, channel-planar: a[ch][j·5 + i] is channel ch
// of strip pixel (column j, row y − 2 + i).
// errorRow reads the band from the slice's rows converted to floats once (channel-planar:
// row q at bandRows + q·3·bandWidth, channel ch bandWidth floats further), the first of them
// band row bandRow0.
struct SliceBlock {
    float a[3][25];
    const float* bandRows = nullptr;
    int32_t bandRow0 = 0;
    int32_t bandWidth = 0;
};

// Sizes and fills the field in parallel (every core), then accumulates it. Blocks until
// done; from a pool thread the waiting thread works on the slices itself.
void computeErrorField(const StripData& left, const StripData& right, SquareErrorField& field,
                       ProgressInfo* progress);

// The first half of computeErrorField: sizes the field and fills every slice, without the
// accumulation.
void fillErrorField(const StripData& left, const StripData& right, SquareErrorField& field, ProgressInfo* progress);

// Fills slice d.slice, or leaves it missing when its block or band window leaves an image.
void errorForSlice(SEData& d);

// One search row r of the slice: columns 1 .. G − 2 against band rows f + s·i and band
// columns centerX − h − G/2 + c + s·j: search column G/2 faces the marker line, so that a
// match there means no offset.
void errorRow(int32_t r, const SEData& d, int32_t firstBandRow, int32_t h, const SliceBlock& block);

// All rows of a slice within markerRadius left rows of a marker; m is the marker's band row.
void errorRowsNearMarker(int32_t y, int32_t m, const SEData& d, const SliceBlock& block);

// Adds to every inner cell 0.9 × the cheapest weighted neighbour in the previous slice,
// top down, then bottom up; missing slices take over their neighbour.
void correlateData(SquareErrorField& field, ProgressInfo& progress);

// min over the 3 × 3 neighbourhood of weight × V(k, r + dr, c + dc), weight 1 for the centre
// and the edge neighbours and 2 for the diagonal ones.
float minNeighbour(int32_t k, int32_t c, int32_t r, const SquareErrorField& field);

} // namespace StitchEngine
