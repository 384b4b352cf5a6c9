// The records that the stitch steps hand on: strips, the square-error field and its work
// items, path cells, and the pixel geometry read from the markers.
//
// Coordinate spaces (all pixels, x to the right, y down):
//   left image      the user's left scan; never moved or resampled. Its red marker sits at
//                   (xL, yL), the blue one at (xL, yLb); the seam is the column xL.
//   right image     the user's right scan, markers (xR, yR) and (xRb, yRb).
//   rotated right   the right image turned about (xR, yR) by `angle`, so that its marker
//                   line becomes the vertical column xR; same size as the right image.
//   upsampled band  the rotated right image's columns xR − W/2 .. xR + W/2 − 1 (W = C' + 10),
//                   sampled at half-pixel steps: band (2u, 2v) is rotated (xR − W/2 + u, v).
//   left strip      the left image's columns xL − 2 .. xL + 2, at full resolution.
//   search slice    one per second left row y = k·rowStep: cell (c, r) compares the 5 × 5
//                   strip block around row y with the band block centred on band column
//                   centerX − G/2 + c and band row 2·yR + 2·(y − yL) − 40 + r.
//   result          left image columns 0 .. xL − 1, then rotated right columns from xR on;
//                   result row i is left row i and rotated right row yR − yL + i.
#pragma once

#include "bigimage.h"
#include "largememory.h"

#include <QVector>

#include <atomic>
#include <cstdint>
#include <vector>

namespace StitchEngine {

// A prepared input strip of the correlation search; the image is shared, never written.
struct StripData {
    BigImagePtr img;
    int32_t centerX = 0; // column of the marker line inside img
    int32_t redY = 0;    // row of the red marker inside img
    int32_t blueY = 0;   // row of the blue marker inside img
};

// The block error that no comparison can exceed: 25 pixels × 3 channels × 255².
constexpr float kMaxBlockError = 4876875.0f;

// Slices closer than this many left rows to a marker are pinned to it.
constexpr int32_t kMarkerRadius = 20;

// One slice of sliceWidth × sliceHeight square errors per examined left row.
struct SquareErrorField {
    // Hundreds of MB for a tall scan: a large block (huge pages, back to the system when freed).
    std::vector<float, LargeMemory::Allocator<float>> values;
    QVector<bool> missing;
    int32_t sliceWidth = 0;
    int32_t sliceHeight = 80;
    int64_t sliceSize = 0;
    int32_t sliceCount = 0;
    int32_t rowStep = 2;
    int32_t scale = 2;

    float* slice(int32_t k) { return values.data() + int64_t(k) * sliceSize; }
    const float* slice(int32_t k) const { return values.data() + int64_t(k) * sliceSize; }
    float& at(int32_t k, int32_t r, int32_t c) { return slice(k)[int64_t(r) * sliceWidth + c]; }
    float at(int32_t k, int32_t r, int32_t c) const { return slice(k)[int64_t(r) * sliceWidth + c]; }
};

// The work item of one slice.
struct SEData {
    StripData left;
    StripData right;
    SquareErrorField* field = nullptr;
    int32_t slice = 0;
    std::atomic<float>* progress = nullptr;
    int32_t markerRadius = kMarkerRadius;
};

// A cell of a search slice: x the search column, y the search row.
struct Cell {
    int32_t x = 0;
    int32_t y = 0;
};
inline bool operator==(Cell a, Cell b) { return a.x == b.x && a.y == b.y; }

// The markers as the views hold them: fractions of the image's width and height.
struct MarkerFractions {
    float leftX = 0.5f;
    float leftRedY = 0.25f;
    float leftBlueY = 0.75f;
    float rightRedX = 0.5f;
    float rightRedY = 0.25f;
    float rightBlueX = 0.5f;
    float rightBlueY = 0.75f;
};

// Everything the stitch needs from the markers and the matching width, in pixels.
struct StitchGeometry {
    int32_t xL = 0, yL = 0, yLb = 0;
    int32_t xR = 0, yR = 0, xRb = 0, yRb = 0;
    float angle = 0.0f;   // turns the right marker line upright
    int32_t corridor = 0; // C': the matching width made even
};

} // namespace StitchEngine
