// Quarter turns copy whole pixels (nothing is resampled, so four turns give back the
// image exactly); they work in bands of source rows and square tiles inside each band,
// so that reads and the strided writes both stay in cache. The free-angle rotation
// samples bicubically along each destination row with positions advanced by sums.
#include "rotation.h"

#include "assertion.h"
#include "largememory.h"
#include "parallel.h"
#include "progressinfo.h"
#include "sampling.h"
#include "watchedwait.h"

#include <QtConcurrent>

#include <algorithm>
#include <cmath>
#include <vector>

namespace BigImageProcessing {

namespace {

constexpr int32_t kBandRows = 64;
constexpr int32_t kTileColumns = 64;
constexpr int32_t kSpilledBandRows = 2048;
// Rows that turnFreeing turns between two givings-back of the source's memory.
constexpr int32_t kFreedRows = 256;

enum class Turn { Clockwise, CounterClockwise };

// Copies source rows [y0, y1) of S into the destination block, which already has the turned
// layout (width h): clockwise (x, y) goes to (h − 1 − y, x), counter-clockwise to
// (y, w − 1 − x). w × h: the size of the whole source, which may hold fewer rows by now.
void turnBand(const BigImage& S, int32_t w, int32_t h, RgbPixel* dst, int32_t y0, int32_t y1, Turn turn)
{
    const RgbPixel* src = S.data();
    for (int32_t x0 = 0; x0 < w; x0 += kTileColumns) {
        const int32_t x1 = std::min(w, x0 + kTileColumns);
        for (int32_t x = x0; x < x1; ++x) {
            const int64_t dstRow = turn == Turn::Clockwise ? x : int64_t(w - 1 - x);
            RgbPixel* out = dst + dstRow * h;
            const RgbPixel* in = src + int64_t(y0) * w + x;
            if (turn == Turn::Clockwise) {
                for (int32_t y = y0; y < y1; ++y, in += w)
                    out[h - 1 - y] = *in;
            } else {
                for (int32_t y = y0; y < y1; ++y, in += w)
                    out[y] = *in;
            }
        }
    }
}

void quarterTurn(const BigImagePtr& img, StatusWatcher* watcher, Turn turn)
{
    SW_ASSERT(img);
    // The copy comes first: if it cannot be had, the image stays as it was.
    BigImagePtr S = deepCopy(img);
    const int32_t h = S->height();

    // A block on disk is written in bands tall enough to fill each of its pages at once, so
    // that no page goes back to disk before it is complete (the band itself is read in order).
    const int32_t bandRows = LargeMemory::isSpilled(img->data()) ? kSpilledBandRows : kBandRows;
    std::vector<int32_t> bands;
    if (S->pixelCount() > 0) {
        for (int32_t y = 0; y < h; y += bandRows)
            bands.push_back(y);
    }
    ProgressInfo progress(0.0f, QStringLiteral("Rotating…"));
    RgbPixel* dst = img->data();
    const int32_t w = S->width();
    auto kernel = [&S, dst, w, h, turn, bandRows, &progress](int32_t y0) {
        const int32_t y1 = std::min(h, y0 + bandRows);
        turnBand(*S, w, h, dst, y0, y1, turn);
        progress.value = float(y1 - 1) / float(h);
    };
    QFuture<void> future = QtConcurrent::map(bands, kernel);
    watchedWait(future, watcher, turn == Turn::Clockwise ? QStringLiteral("rotateCW") : QStringLiteral("rotateCCW"),
                false, &progress);
    // The new dimensions take effect with the new layout complete, so that a reader never
    // pairs them with a block that does not match.
    img->exchangeDimensions();
}

} // namespace

void rotateCW(const BigImagePtr& img, StatusWatcher* watcher)
{
    quarterTurn(img, watcher, Turn::Clockwise);
}

void rotateCCW(const BigImagePtr& img, StatusWatcher* watcher)
{
    quarterTurn(img, watcher, Turn::CounterClockwise);
}

BigImagePtr turnFreeing(const BigImagePtr& img, bool clockwise)
{
    SW_ASSERT(img);
    const int32_t w = img->width();
    const int32_t h = img->height();
    const Turn turn = clockwise ? Turn::Clockwise : Turn::CounterClockwise;
    BigImagePtr out = BigImage::makeUnfilledInSmallPages(h, w, img->background(), img->interpolation());
    // Bottom rows first, so that the rows done are the block's tail, which goes back at once.
    for (int32_t y1 = h; y1 > 0;) {
        const int32_t y0 = std::max(0, y1 - kFreedRows);
        parallelFor((y1 - y0 + kBandRows - 1) / kBandRows, [&](int64_t k) {
            const int32_t a = y0 + int32_t(k) * kBandRows;
            turnBand(*img, w, h, out->data(), a, std::min(y1, a + kBandRows), turn);
        });
        img->setHeight(y0);
        y1 = y0;
    }
    return out;
}

namespace {
// Source position of destination (0, row): R(angle)·((0, row) − pivot) − shift.
inline float2 rowStart(float c, float s, float2 pivot, float2 shift, int32_t row)
{
    const RotationData r{row, float(row) - pivot.y};
    return float2{(-pivot.x) * c - r.dy * s - shift.x, (-pivot.x) * s + r.dy * c - shift.y};
}
} // namespace

void rotateRowPart(const BigImage& src, float angle, float2 pivot, float2 shift, int32_t row, int32_t first,
                   int32_t count, RgbPixel* out)
{
    const float c = std::cos(angle);
    const float s = std::sin(angle);
    sampleCubicLine(src, rowStart(c, s, pivot, shift, row), float2{c, s}, first, count, out);
}

BigImagePtr rotate(const BigImagePtr& src, BigImagePtr dst, float angle, float2 pivot, float2 shift,
                   ProgressInfo* progress)
{
    SW_ASSERT(src);
    const float c = std::cos(angle);
    const float s = std::sin(angle);
    if (!dst) {
        const float w = float(src->width());
        const float h = float(src->height());
        dst = makeBigImage(int32_t(std::fabs(c * w) + std::fabs(s * h) + 0.5f),
                           int32_t(std::fabs(c * h) + std::fabs(s * w) + 0.5f));
    }
    if (progress)
        progress->set(0.0f, QStringLiteral("Preparing Data…"));

    const int32_t height = dst->height();
    const int32_t width = dst->width();
    BigImage& D = *dst;
    const BigImage& S = *src;
    if (width > 0)
        parallelFor(int64_t(height), [&](int64_t i) {
            const int32_t row = int32_t(i);
            sampleCubicLine(S, rowStart(c, s, pivot, shift, row), float2{c, s}, 0, width, D.row(row));
            if (progress)
                progress->value = float(row) / float(height);
        });
    return dst;
}

} // namespace BigImageProcessing
