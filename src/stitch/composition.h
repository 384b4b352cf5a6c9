// Result composition: the left image up to the seam, the right image turned about its red
// marker from 100 columns after the seam on, and between them a transition zone that applies
// the smoothed offsets in full at the seam and fades them out, blending the first 4 columns
// with the left image.
#pragma once

#include "stitchdata.h"

#include <vector>

class ProgressInfo;

namespace StitchEngine {

constexpr int32_t kZoneWidth = 100;

// The moving average over 2·radius + 1 entries, ends repeated, as a running float sum.
std::vector<float2> smoothOffsets(const std::vector<float2>& offsets, int32_t radius);

// The rotated right image restricted to the columns and rows that a computation reads:
// rotated pixel (x, y) is img (x − x0, y − y0) inside the part; every position outside the
// part reads as black, the background of the whole rotated image. Sampling it gives the bytes of sampling the whole
// rotated image at the same float positions as long as every tap inside lies in the part.
struct RotatedPart {
    BigImagePtr img; // background black
    int32_t x0 = 0;
    int32_t y0 = 0;
};

// The bicubic sample of the whole rotated image at (x, y), read through the part.
RgbPixel samplePart(const RotatedPart& part, float x, float y);

// The part of the right image turned about (xR, yR) that holds rotated columns
// x0 .. x0 + width − 1 and rows y0 .. y0 + height − 1, clipped to the right image's size.
RotatedPart rotatedPart(const BigImagePtr& right, float angle, int32_t xR, int32_t yR, int32_t x0, int32_t y0,
                        int32_t width, int32_t height);

// The transition zone of every result row (zone width Z columns from xL), from the part of
// the rotated right image that it reads.
void blendSeam(int32_t xL, int32_t yL, int32_t xR, int32_t yR, BigImage& result, const std::vector<float2>& smoothed,
               int32_t rowStep, const BigImage& left, const RotatedPart& rotated, int32_t zoneWidth);

// The whole result of (xL + W_R − xR) × H_L; null when that is empty. Throws std::bad_alloc
// when the memory runs out.
BigImagePtr composeResult(const std::vector<float2>& offsets, int32_t rowStep, float angle, int32_t xL, int32_t yL,
                          int32_t xR, int32_t yR, const BigImagePtr& left, const BigImagePtr& right,
                          ProgressInfo* progress, double* rotationSeconds = nullptr);

// The same result in the left image's own block: `left` becomes the result (its rows laid
// out anew in place, no second image). False, left unchanged, when the result would be
// empty; std::bad_alloc, left unchanged, when the memory runs out. Nobody else may read
// `left` meanwhile.
bool composeInPlace(const std::vector<float2>& offsets, int32_t rowStep, float angle, int32_t xL, int32_t yL,
                    int32_t xR, int32_t yR, const BigImagePtr& left, const BigImagePtr& right,
                    ProgressInfo* progress, double* rotationSeconds = nullptr);

} // namespace StitchEngine
