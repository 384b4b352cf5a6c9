// From markers to the inputs of the correlation search: pixel positions and the angle that
// turns the right marker line upright, the left strip, and the rotated, upsampled right band.
#pragma once

#include "stitchdata.h"

class ProgressInfo;

namespace StitchEngine {

// Marker fractions to pixels (trunc(fraction × size + 0.5) in float), the angle from the
// right markers (0 for a blue marker straight below the red one) and C' = C + (C & 1).
StitchGeometry stitchGeometry(const MarkerFractions& markers, int32_t matchingWidth, int32_t leftWidth,
                              int32_t leftHeight, int32_t rightWidth, int32_t rightHeight);

// The five left columns xL − 2 .. xL + 2 over the whole height (background outside).
void prepareLeftStrip(const BigImagePtr& left, int32_t xL, int32_t yL, int32_t yLb, StripData& out,
                      ProgressInfo* progress);

// The right image's C' + 10 columns around its marker line, turned upright about the red
// marker, then upsampled by `scale` with the bicubic kernel.
void prepareRightBand(StripData& out, int32_t scale, float angle, int32_t corridor, int32_t xR, int32_t yR,
                      int32_t xRb, int32_t yRb, ProgressInfo* progress, const BigImagePtr& right);

} // namespace StitchEngine
