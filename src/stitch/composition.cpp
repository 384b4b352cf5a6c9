// Result composition without the whole rotated right image: the plain-copy part is rotated
// straight into the result rows, and the transition zone samples a rotated part just wide
// and high enough for its taps. Both take their positions from rotateRowPart, so the bytes
// are those of a rotation of the whole image.
#include "composition.h"

#include "assertion.h"
#include "parallel.h"
#include "progressinfo.h"
#include "rotation.h"
#include "sampling.h"

#include <QElapsedTimer>

#include <algorithm>
#include <cmath>
#include <cstring>

namespace StitchEngine {

namespace {

constexpr int32_t kRowsPerItem = 16;
// Taps reach from floor(x) − 1 to floor(x) + 2; one more for the rounding of x itself.
constexpr int32_t kTapMargin = 3;

inline float2 pivotOf(int32_t xR, int32_t yR)
{
    return float2{float(xR), float(yR)};
}
inline float2 shiftOf(int32_t xR, int32_t yR)
{
    return float2{float(-xR), float(-yR)};
}

// The left image as the composition reads it: its first `width` columns, background beyond.
// In place, `image` is the result itself, whose rows already hold the left pixels.
struct LeftRows {
    const BigImage& image;
    int32_t width;
    RgbPixel at(int32_t x, int32_t i) const
    {
        return x >= 0 && x < width ? image.pixelAt(x, i) : image.background();
    }
};

inline uint8_t blendChannel(uint8_t sample, uint8_t left, float v)
{
    const int32_t i = int32_t(float(sample) * v + float(left) * (1.0f - v) + 0.5f);
    return uint8_t(std::min(255, std::max(0, i)));
}

// The zone of result row i (result coordinates xL + j), columns clipped to the result.
void blendRow(int32_t i, int32_t xL, int32_t yL, int32_t xR, int32_t yR, BigImage& result,
              const std::vector<float2>& smoothed, int32_t rowStep, const LeftRows& left, const RotatedPart& rotated,
              int32_t zoneWidth)
{
    const int32_t n = int32_t(smoothed.size());
    // No offsets (a left image of fewer than 3 rows): the zone fades nothing.
    const float2 d = n > 0 ? smoothed[size_t(std::min(i / rowStep, n - 1))] : float2{};
    const float yr = float(yR - yL + i);
    const int32_t jFirst = std::max(0, -xL);
    const int32_t jEnd = int32_t(std::min<int64_t>(zoneWidth, int64_t(result.width()) - xL));
    for (int32_t j = jFirst; j < jEnd; ++j) {
        RgbPixel out;
        if (j < 4) {
            const RgbPixel s = samplePart(rotated, float(xR + j) + d.x, d.y + yr);
            const RgbPixel l = left.at(xL + j, i);
            const float v = 0.25f * float(j);
            out = RgbPixel{blendChannel(s.r, l.r, v), blendChannel(s.g, l.g, v), blendChannel(s.b, l.b, v)};
        } else {
            const float t = 1.0f - float(j) / float(zoneWidth);
            out = samplePart(rotated, float(xR + j) + t * d.x, t * d.y + yr);
        }
        result.setPixel(xL + j, i, out);
    }
}

// Left pixels of result row i up to the seam, rotated right pixels from the zone's end on.
// The zone's columns stay untouched: blendRow reads the left pixels there.
void copyRow(int32_t i, int32_t xL, int32_t yL, int32_t xR, int32_t yR, float angle, BigImage& result,
             const LeftRows& left, const BigImage& right, int32_t zoneWidth)
{
    RgbPixel* out = result.row(i);
    const int32_t width = result.width();
    const int32_t leftEnd = std::min(xL, width);
    const int32_t fromLeft = std::max(0, std::min(leftEnd, left.width));
    if (&left.image != &result)
        std::memcpy(out, left.image.row(i), size_t(fromLeft) * sizeof(RgbPixel));
    std::fill(out + fromLeft, out + std::max(fromLeft, leftEnd), left.image.background());

    if (right.width() - xR <= zoneWidth)
        return;
    // Result column x shows rotated column x − xL + xR of rotated row yR − yL + i.
    const int64_t xStart = std::max<int64_t>(int64_t(xL) + zoneWidth, 0);
    if (xStart >= width)
        return;
    const int64_t v = int64_t(yR) - yL + i;
    int64_t u = xStart - xL + xR;
    RgbPixel* dst = out + xStart;
    int64_t count = width - xStart;
    if (v < 0 || v >= right.height()) {
        std::fill(dst, dst + count, colBlack);
        return;
    }
    if (u < 0) {
        const int64_t black = std::min(count, -u);
        std::fill(dst, dst + black, colBlack);
        dst += black;
        count -= black;
        u = 0;
    }
    if (count > 0)
        BigImageProcessing::rotateRowPart(right, angle, pivotOf(xR, yR), shiftOf(xR, yR), int32_t(v), int32_t(u),
                                          int32_t(count), dst);
}

} // namespace

std::vector<float2> smoothOffsets(const std::vector<float2>& v, int32_t radius)
{
    const int32_t n = int32_t(v.size());
    std::vector<float2> out(v.size());
    if (n == 0)
        return out;
    const float count = float(2 * radius + 1);
    auto at = [&](int32_t m) { return v[size_t(std::min(std::max(m, 0), n - 1))]; };
    // The window sum for m = −1, added in index order; then one entry in, one out per step.
    float sx = 0.0f;
    float sy = 0.0f;
    for (int32_t d = -radius; d <= radius; ++d) {
        sx += at(-1 + d).x;
        sy += at(-1 + d).y;
    }
    for (int32_t m = 0; m < n; ++m) {
        const float2 in = v[size_t(std::min(m + radius, n - 1))];
        const float2 gone = v[size_t(std::max(m - radius - 1, 0))];
        sx = (sx + in.x) - gone.x;
        sy = (sy + in.y) - gone.y;
        out[size_t(m)] = float2{sx / count, sy / count};
    }
    return out;
}

RgbPixel samplePart(const RotatedPart& part, float x, float y)
{
    return sampleCubicShifted(*part.img, part.x0, part.y0, x, y);
}

RotatedPart rotatedPart(const BigImagePtr& right, float angle, int32_t xR, int32_t yR, int32_t x0, int32_t y0,
                        int32_t width, int32_t height)
{
    SW_ASSERT(right);
    const int32_t xa = std::max(x0, 0);
    const int32_t ya = std::max(y0, 0);
    const int32_t xb = std::min<int64_t>(int64_t(x0) + width, right->width());
    const int32_t yb = std::min<int64_t>(int64_t(y0) + height, right->height());
    RotatedPart part;
    part.x0 = xa;
    part.y0 = ya;
    part.img = BigImage::makeUnfilled(std::max(0, xb - xa), std::max(0, yb - ya), colBlack);
    BigImage& img = *part.img;
    const int32_t rows = img.height();
    if (img.width() > 0)
        parallelFor((int64_t(rows) + kRowsPerItem - 1) / kRowsPerItem, [&](int64_t item) {
            const int32_t first = int32_t(item * kRowsPerItem);
            for (int32_t r = first; r < std::min(rows, first + kRowsPerItem); ++r)
                BigImageProcessing::rotateRowPart(*right, angle, pivotOf(xR, yR), shiftOf(xR, yR), ya + r, xa,
                                                  img.width(), img.row(r));
        });
    return part;
}

void blendSeam(int32_t xL, int32_t yL, int32_t xR, int32_t yR, BigImage& result, const std::vector<float2>& smoothed,
               int32_t rowStep, const BigImage& left, const RotatedPart& rotated, int32_t zoneWidth)
{
    const LeftRows rows{left, left.width()};
    for (int32_t i = 0; i < result.height(); ++i)
        blendRow(i, xL, yL, xR, yR, result, smoothed, rowStep, rows, rotated, zoneWidth);
}

namespace {

// The result into a new image, or (inPlace) into the left image's own block.
BigImagePtr compose(const std::vector<float2>& offsets, int32_t rowStep, float angle, int32_t xL, int32_t yL,
                    int32_t xR, int32_t yR, const BigImagePtr& left, const BigImagePtr& right, bool inPlace,
                    ProgressInfo* progress, double* rotationSeconds)
{
    QElapsedTimer clock;
    clock.start();
    SW_ASSERT(left && right && rowStep > 0);
    const int64_t width = int64_t(xL) + right->width() - xR;
    const int32_t height = left->height();
    if (width <= 0 || height <= 0 || width > INT32_MAX)
        return nullptr;
    const std::vector<float2> smoothed = smoothOffsets(offsets, 5);

    // The zone reads rotated columns xR + j + t·dx and rows yR − yL + i + t·dy, 0 ≤ t ≤ 1.
    float dxMin = 0.0f, dxMax = 0.0f, dyMin = 0.0f, dyMax = 0.0f;
    for (const float2& d : smoothed) {
        dxMin = std::min(dxMin, d.x);
        dxMax = std::max(dxMax, d.x);
        dyMin = std::min(dyMin, d.y);
        dyMax = std::max(dyMax, d.y);
    }
    const int32_t zone = kZoneWidth;
    const int64_t px0 = int64_t(std::floor(float(xR) + dxMin)) - kTapMargin;
    const int64_t px1 = int64_t(std::ceil(float(xR + zone - 1) + dxMax)) + kTapMargin;
    const int64_t py0 = int64_t(std::floor(float(yR - yL) + dyMin)) - kTapMargin;
    const int64_t py1 = int64_t(std::ceil(float(yR - yL + height - 1) + dyMax)) + kTapMargin;
    auto clampInt = [](int64_t v) { return int32_t(std::min<int64_t>(std::max<int64_t>(v, INT32_MIN / 2), INT32_MAX / 2)); };

    if (progress)
        progress->set(0.0f, QStringLiteral("Preparing Data…"));
    const RotatedPart part = rotatedPart(right, angle, xR, yR, clampInt(px0), clampInt(py0),
                                         clampInt(px1 - px0 + 1), clampInt(py1 - py0 + 1));

    if (rotationSeconds)
        *rotationSeconds = double(clock.nsecsElapsed()) * 1e-9;

    // Every pixel is written below: left part, zone and plain copy cover the whole width.
    // In place, the rows are laid out anew last, once nothing can fail any more.
    const int32_t leftWidth = left->width();
    BigImagePtr result = left;
    if (inPlace)
        left->setWidth(int32_t(width));
    else
        result = BigImage::makeUnfilled(int32_t(width), height, colGrey);
    if (progress)
        progress->set(0.0f, QStringLiteral("Copy Data…"));
    BigImage& R = *result;
    const LeftRows L{*left, leftWidth};
    const BigImage& Rt = *right;
    parallelFor((int64_t(height) + kRowsPerItem - 1) / kRowsPerItem, [&](int64_t item) {
        const int32_t first = int32_t(item * kRowsPerItem);
        const int32_t last = std::min(height, first + kRowsPerItem);
        for (int32_t i = first; i < last; ++i) {
            copyRow(i, xL, yL, xR, yR, angle, R, L, Rt, zone);
            blendRow(i, xL, yL, xR, yR, R, smoothed, rowStep, L, part, zone);
        }
        if (progress)
            progress->value = float(first) / float(height);
    });
    return result;
}

} // namespace

BigImagePtr composeResult(const std::vector<float2>& offsets, int32_t rowStep, float angle, int32_t xL, int32_t yL,
                          int32_t xR, int32_t yR, const BigImagePtr& left, const BigImagePtr& right,
                          ProgressInfo* progress, double* rotationSeconds)
{
    return compose(offsets, rowStep, angle, xL, yL, xR, yR, left, right, false, progress, rotationSeconds);
}

bool composeInPlace(const std::vector<float2>& offsets, int32_t rowStep, float angle, int32_t xL, int32_t yL,
                    int32_t xR, int32_t yR, const BigImagePtr& left, const BigImagePtr& right,
                    ProgressInfo* progress, double* rotationSeconds)
{
    return compose(offsets, rowStep, angle, xL, yL, xR, yR, left, right, true, progress, rotationSeconds) != nullptr;
}

} // namespace StitchEngine
