// Marker geometry and the two search inputs. The left image is only copied; the right band
// is the one place where the right image is resampled for the search.
#include "alignment.h"

#include "assertion.h"
#include "progressinfo.h"
#include "rotation.h"
#include "sampling.h"

#include <cmath>
#include <cstring>

namespace StitchEngine {

namespace {
// Markers are not validated, but positions far outside every image are held at ±2^28 pixels,
// so that the integer arithmetic of the later steps (twice a row plus offsets) cannot overflow.
inline int32_t toPixel(float fraction, int32_t size)
{
    constexpr float kLimit = float(1 << 28);
    const float v = fraction * float(size) + 0.5f;
    if (!(v > -kLimit))
        return v < 0.0f || std::isnan(v) ? -(1 << 28) : (1 << 28);
    return v < kLimit ? int32_t(v) : (1 << 28);
}
} // namespace

StitchGeometry stitchGeometry(const MarkerFractions& m, int32_t matchingWidth, int32_t leftWidth,
                              int32_t leftHeight, int32_t rightWidth, int32_t rightHeight)
{
    StitchGeometry g;
    g.xL = toPixel(m.leftX, leftWidth);
    g.yL = toPixel(m.leftRedY, leftHeight);
    g.yLb = toPixel(m.leftBlueY, leftHeight);
    g.xR = toPixel(m.rightRedX, rightWidth);
    g.yR = toPixel(m.rightRedY, rightHeight);
    g.xRb = toPixel(m.rightBlueX, rightWidth);
    g.yRb = toPixel(m.rightBlueY, rightHeight);
    // Unrounded fractions: the angle follows the markers, not their pixel positions.
    const float dx = (m.rightBlueX - m.rightRedX) * float(rightWidth);
    const float dy = (m.rightBlueY - m.rightRedY) * float(rightHeight);
    g.angle = std::atan2(dy, dx) - 1.5707964f;
    g.corridor = matchingWidth + (matchingWidth & 1);
    return g;
}

void prepareLeftStrip(const BigImagePtr& left, int32_t xL, int32_t yL, int32_t yLb, StripData& out,
                      ProgressInfo* progress)
{
    SW_ASSERT(left);
    if (progress)
        progress->set(0.0f, QStringLiteral("Loading…"));
    const int32_t h = left->height();
    auto strip = std::make_shared<BigImage>(5, h, colGrey);
    const BigImage& L = *left;
    const bool inside = xL - 2 >= 0 && xL + 2 < L.width();
    for (int32_t y = 0; y < h; ++y) {
        RgbPixel* dst = strip->row(y);
        if (inside) {
            std::memcpy(dst, L.row(y) + (xL - 2), 5 * sizeof(RgbPixel));
        } else {
            for (int32_t k = 0; k < 5; ++k)
                dst[k] = L.pixelAt(xL - 2 + k, y);
        }
    }
    if (progress && h > 0)
        progress->value = float(h - 1) / float(h);
    out.img = strip;
    out.centerX = 2;
    out.redY = yL;
    out.blueY = yLb;
}

void prepareRightBand(StripData& out, int32_t scale, float angle, int32_t corridor, int32_t xR, int32_t yR,
                      int32_t xRb, int32_t yRb, ProgressInfo* progress, const BigImagePtr& right)
{
    (void)xRb;
    SW_ASSERT(right && scale > 0);
    if (progress)
        progress->set(0.0f, QStringLiteral("Loading Data Right…"));
    const int32_t W = corridor + 10;
    auto band = std::make_shared<BigImage>(W, right->height(), colGrey);
    // Band column W/2 becomes the right marker line; band row y lies y − yR along it from
    // the red marker.
    BigImageProcessing::rotate(right, band, angle, float2{float(W) * 0.5f, float(yR)},
                               float2{float(-xR), float(-yR)}, progress);
    if (progress)
        progress->setText(QStringLiteral("Preparing…"));
    // Half-pixel steps from (0, 0), summed in float: exactly the positions j/s and i/s.
    const float step = 1.0f / float(scale);
    out.img = renderScaled(band, float2{0.0f, 0.0f}, scale * W, scale * band->height(), step,
                           Interpolation::Cubic);
    out.centerX = scale * (W / 2);
    out.redY = scale * yR;
    out.blueY = scale * yRb;
}

} // namespace StitchEngine
