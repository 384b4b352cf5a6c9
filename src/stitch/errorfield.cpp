// Square-error field and its accumulation. The per-cell sum runs over the 25 pixel pairs
// with the block columns outside and the rows inside, each pair adding d2² + (d1² + d0²);
// the vector paths evaluate several search columns at once with exactly these operations
// per lane, so every path gives the same floats. The accumulation's minimum is exact in any
// order, which lets it run four columns at a time too.
#include "errorfield.h"

#include "assertion.h"
#include "parallel.h"
#include "progressinfo.h"

#if defined(__SSE2__)
#include <immintrin.h>
#endif

#include <algorithm>
#include <cfloat>
#include <cstdlib>
#include <cstring>

namespace StitchEngine {

namespace {

inline float pairError(float b0, float b1, float b2, float a0, float a1, float a2)
{
    const float d0 = b0 - a0;
    const float d1 = b1 - a1;
    const float d2 = b2 - a2;
    return d2 * d2 + (d1 * d1 + d0 * d0);
}

// Cell error from converted rows, one pixel pair after the other: the order that the vector
// paths reproduce per lane. x0 is the band column of block column 0, f the band row of block
// row 0 (both band coordinates).
inline float cellFromRows(const SliceBlock& b, int32_t x0, int32_t f, int32_t s)
{
    const int64_t stride = 3 * int64_t(b.bandWidth);
    float sum = 0.0f;
    for (int j = 0; j < 5; ++j) {
        for (int i = 0; i < 5; ++i) {
            const float* p = b.bandRows + int64_t(f + s * i - b.bandRow0) * stride + x0 + s * j;
            sum += pairError(p[0], p[b.bandWidth], p[2 * b.bandWidth], b.a[0][j * 5 + i], b.a[1][j * 5 + i],
                             b.a[2][j * 5 + i]);
        }
    }
    return sum;
}

#if defined(__SSE2__)
// Four consecutive search columns: x0 is the band column of block column 0 of the first.
inline void cells4(const SliceBlock& b, int32_t x0, int32_t f, int32_t s, float* out)
{
    const int64_t stride = 3 * int64_t(b.bandWidth);
    __m128 sum = _mm_setzero_ps();
    for (int j = 0; j < 5; ++j) {
        for (int i = 0; i < 5; ++i) {
            const float* p = b.bandRows + int64_t(f + s * i - b.bandRow0) * stride + x0 + s * j;
            const __m128 d0 = _mm_sub_ps(_mm_loadu_ps(p), _mm_set1_ps(b.a[0][j * 5 + i]));
            const __m128 d1 = _mm_sub_ps(_mm_loadu_ps(p + b.bandWidth), _mm_set1_ps(b.a[1][j * 5 + i]));
            const __m128 d2 = _mm_sub_ps(_mm_loadu_ps(p + 2 * b.bandWidth), _mm_set1_ps(b.a[2][j * 5 + i]));
            const __m128 pair = _mm_add_ps(_mm_mul_ps(d2, d2), _mm_add_ps(_mm_mul_ps(d1, d1), _mm_mul_ps(d0, d0)));
            sum = _mm_add_ps(sum, pair);
        }
    }
    _mm_storeu_ps(out, sum);
}

// Eight at a time where the processor has AVX (no FMA: the products are rounded as above).
__attribute__((target("avx"))) void cellsAvx(const SliceBlock& b, int32_t x0, int32_t f, int32_t s,
                                              int32_t count, float* out)
{
    const int64_t stride = 3 * int64_t(b.bandWidth);
    int32_t n = 0;
    for (; n + 8 <= count; n += 8) {
        __m256 sum = _mm256_setzero_ps();
        for (int j = 0; j < 5; ++j) {
            for (int i = 0; i < 5; ++i) {
                const float* p = b.bandRows + int64_t(f + s * i - b.bandRow0) * stride + x0 + n + s * j;
                const __m256 d0 = _mm256_sub_ps(_mm256_loadu_ps(p), _mm256_set1_ps(b.a[0][j * 5 + i]));
                const __m256 d1 =
                    _mm256_sub_ps(_mm256_loadu_ps(p + b.bandWidth), _mm256_set1_ps(b.a[1][j * 5 + i]));
                const __m256 d2 =
                    _mm256_sub_ps(_mm256_loadu_ps(p + 2 * b.bandWidth), _mm256_set1_ps(b.a[2][j * 5 + i]));
                const __m256 pair = _mm256_add_ps(_mm256_mul_ps(d2, d2),
                                                  _mm256_add_ps(_mm256_mul_ps(d1, d1), _mm256_mul_ps(d0, d0)));
                sum = _mm256_add_ps(sum, pair);
            }
        }
        _mm256_storeu_ps(out + n, sum);
    }
    for (; n + 4 <= count; n += 4)
        cells4(b, x0 + n, f, s, out + n);
    for (; n < count; ++n)
        out[n] = cellFromRows(b, x0 + n, f, s);
}

bool haveAvx()
{
    static const bool avx = __builtin_cpu_supports("avx") && !std::getenv("SEAMWRIGHT_NO_AVX");
    return avx;
}
#endif

// A run of consecutive search columns, the first with block column 0 at band column x0.
void cellsFromRows(const SliceBlock& b, int32_t x0, int32_t f, int32_t s, int32_t count, float* out)
{
#if defined(__SSE2__)
    if (haveAvx()) {
        cellsAvx(b, x0, f, s, count, out);
        return;
    }
    int32_t n = 0;
    for (; n + 4 <= count; n += 4)
        cells4(b, x0 + n, f, s, out + n);
    for (; n < count; ++n)
        out[n] = cellFromRows(b, x0 + n, f, s);
#else
    for (int32_t n = 0; n < count; ++n)
        out[n] = cellFromRows(b, x0 + n, f, s);
#endif
}

// Band rows first .. last (inclusive) as channel-planar floats, in a buffer per thread.
const float* convertBandRows(const BigImage& band, int32_t first, int32_t last)
{
    thread_local std::vector<float> buffer;
    const int32_t w = band.width();
    buffer.resize(size_t(last - first + 1) * 3 * size_t(w));
    float* out = buffer.data();
    for (int32_t y = first; y <= last; ++y) {
        const RgbPixel* p = band.row(y);
        for (int32_t x = 0; x < w; ++x) {
            out[x] = p[x].r;
            out[w + x] = p[x].g;
            out[2 * w + x] = p[x].b;
        }
        out += 3 * int64_t(w);
    }
    return buffer.data();
}

// Accumulation step: dst(r, c) += 0.9 × minNeighbour in src, inner cells only.
// Eight cells at a time with the very operations of the four-lane loop below, lane by lane:
// the same floats.
__attribute__((target("avx"))) int32_t accumulateCellsAvx(const float* up, const float* mid, const float* down,
                                                          float* out, int32_t G)
{
    const __m256 two = _mm256_set1_ps(2.0f);
    const __m256 f = _mm256_set1_ps(0.9f);
    int32_t c = 1;
    for (; c + 8 <= G - 1; c += 8) {
        __m256 m = _mm256_min_ps(_mm256_loadu_ps(up + c), _mm256_loadu_ps(mid + c - 1));
        m = _mm256_min_ps(m, _mm256_loadu_ps(mid + c));
        m = _mm256_min_ps(m, _mm256_loadu_ps(mid + c + 1));
        m = _mm256_min_ps(m, _mm256_loadu_ps(down + c));
        __m256 d = _mm256_min_ps(_mm256_loadu_ps(up + c - 1), _mm256_loadu_ps(up + c + 1));
        d = _mm256_min_ps(d, _mm256_loadu_ps(down + c - 1));
        d = _mm256_min_ps(d, _mm256_loadu_ps(down + c + 1));
        m = _mm256_min_ps(m, _mm256_mul_ps(two, d));
        _mm256_storeu_ps(out + c, _mm256_add_ps(_mm256_loadu_ps(out + c), _mm256_mul_ps(f, m)));
    }
    return c;
}

void accumulateSlice(const float* src, float* dst, int32_t G, int32_t H)
{
    const float factor = 0.9f;
    for (int32_t r = 1; r < H - 1; ++r) {
        const float* up = src + int64_t(r - 1) * G;
        const float* mid = src + int64_t(r) * G;
        const float* down = src + int64_t(r + 1) * G;
        float* out = dst + int64_t(r) * G;
        int32_t c = 1;
#if defined(__SSE2__)
        if (haveAvx())
            c = accumulateCellsAvx(up, mid, down, out, G);
        const __m128 two = _mm_set1_ps(2.0f);
        const __m128 f = _mm_set1_ps(factor);
        for (; c + 4 <= G - 1; c += 4) {
            __m128 m = _mm_min_ps(_mm_loadu_ps(up + c), _mm_loadu_ps(mid + c - 1));
            m = _mm_min_ps(m, _mm_loadu_ps(mid + c));
            m = _mm_min_ps(m, _mm_loadu_ps(mid + c + 1));
            m = _mm_min_ps(m, _mm_loadu_ps(down + c));
            __m128 d = _mm_min_ps(_mm_loadu_ps(up + c - 1), _mm_loadu_ps(up + c + 1));
            d = _mm_min_ps(d, _mm_loadu_ps(down + c - 1));
            d = _mm_min_ps(d, _mm_loadu_ps(down + c + 1));
            // 2·min(v) = min(2·v) exactly: doubling is exact and keeps the order.
            m = _mm_min_ps(m, _mm_mul_ps(two, d));
            _mm_storeu_ps(out + c, _mm_add_ps(_mm_loadu_ps(out + c), _mm_mul_ps(f, m)));
        }
#endif
        for (; c < G - 1; ++c) {
            float m = FLT_MAX;
            for (int dr = -1; dr <= 1; ++dr)
                for (int dc = -1; dc <= 1; ++dc) {
                    const float w = (dr != 0 && dc != 0) ? 2.0f : 1.0f;
                    m = std::min(m, w * src[int64_t(r + dr) * G + c + dc]);
                }
            out[c] = out[c] + factor * m;
        }
    }
}

} // namespace

void errorRow(int32_t r, const SEData& d, int32_t firstBandRow, int32_t h, const SliceBlock& block)
{
    SW_ASSERT(block.bandRows);
    SquareErrorField& field = *d.field;
    const int32_t G = field.sliceWidth;
    const int32_t s = field.scale;
    const int32_t bw = d.right.img->width();
    float* out = field.slice(d.slice) + int64_t(r) * G;
    // Band column of block column 0 for search column c is xOff + c. The block's centre then
    // lies on band column centerX − G/2 + c: search column G/2 (where the path starts, the pins
    // sit, and the offset is zero) compares the strip with the marker line itself, not with
    // the band column half an input pixel to its left.
    const int32_t xOff = d.right.centerX - h - G / 2;
    // Columns whose whole window lies in the band: x0 ≥ 0 and x0 + 2h < band width.
    const int32_t cLo = std::max(1, -xOff);
    const int32_t cHi = std::min(G - 2, bw - 1 - 2 * h - xOff);
    if (cLo > cHi)
        return;
    cellsFromRows(block, xOff + cLo, firstBandRow, s, cHi - cLo + 1, out + cLo);
}

void errorRowsNearMarker(int32_t y, int32_t m, const SEData& d, const SliceBlock& block)
{
    SquareErrorField& field = *d.field;
    const int32_t H = field.sliceHeight;
    const int32_t G = field.sliceWidth;
    const int32_t s = field.scale;
    // The red row positions the rows for both markers; m only decides where the pin goes.
    const int32_t c0 = d.right.redY + s * (y - d.left.redY) - H / 2;
    for (int32_t r = 1; r <= H - 2; ++r) {
        errorRow(r, d, c0 - 2 * s + r, 2 * s, block);
        if (std::abs(c0 + r - m) <= 10) {
            float* row = field.slice(d.slice) + int64_t(r) * G;
            for (int32_t c = std::max(0, G / 2 - 10); c <= std::min(G - 1, G / 2 + 10); ++c)
                row[c] = 0.0f;
        }
    }
}

void errorForSlice(SEData& d)
{
    SquareErrorField& field = *d.field;
    const int32_t k = d.slice;
    const int32_t y = k * field.rowStep;
    if (d.progress)
        d.progress->store(float(k) / float(field.sliceCount), std::memory_order_relaxed);
    const BigImage& strip = *d.left.img;
    const BigImage& band = *d.right.img;
    const int32_t s = field.scale;
    const int32_t H = field.sliceHeight;
    const int64_t w = strip.width();
    const int32_t c = d.right.redY + s * (y - d.left.redY);
    if (!(y - 2 >= 0 && int64_t(y + 2) * w + 5 < w * strip.height() && c - H / 2 - 2 * s >= 0
          && c + H / 2 + 2 * s < band.height()))
        return;

    SliceBlock block;
    for (int j = 0; j < 5; ++j)
        for (int i = 0; i < 5; ++i) {
            const RgbPixel p = strip.pixelAt(j, y - 2 + i);
            block.a[0][j * 5 + i] = p.r;
            block.a[1][j * 5 + i] = p.g;
            block.a[2][j * 5 + i] = p.b;
        }
    // Every band row this slice reads, converted once.
    const int32_t first = c - H / 2 - 2 * s;
    const int32_t last = c + H / 2 + 2 * s;
    block.bandRows = convertBandRows(band, first, last);
    block.bandRow0 = first;
    block.bandWidth = band.width();

    if (std::abs(y - d.left.redY) < d.markerRadius) {
        errorRowsNearMarker(y, d.right.redY, d, block);
    } else if (std::abs(y - d.left.blueY) < d.markerRadius) {
        errorRowsNearMarker(y, d.right.blueY, d, block);
    } else {
        for (int32_t r = 1; r <= H - 2; ++r)
            errorRow(r, d, c - H / 2 - 2 * s + r, 2 * s, block);
    }
    field.missing[k] = false;
}

void fillErrorField(const StripData& left, const StripData& right, SquareErrorField& field, ProgressInfo* progress)
{
    SW_ASSERT(left.img && right.img);
    const int32_t s = field.scale;
    const int32_t t = right.img->width() - (left.img->width() - 1) * s - 1;
    field.sliceWidth = (t % 2 == 0) ? t : t + 1;
    field.sliceSize = int64_t(field.sliceWidth) * field.sliceHeight;
    field.sliceCount = (left.img->height() - 1) / field.rowStep;
    const int64_t count = std::max(field.sliceCount, 0);
    decltype(field.values)().swap(field.values);
    field.values.assign(size_t(count * field.sliceSize), kMaxBlockError);
    field.missing = QVector<bool>(int(count), true);
    if (progress)
        progress->set(0.0f, QStringLiteral("Calculating…"));

    QVector<SEData> items;
    items.reserve(int(count));
    for (int32_t k = 0; k < count; ++k) {
        SEData d;
        d.left = left;
        d.right = right;
        d.field = &field;
        d.slice = k;
        d.progress = progress ? &progress->value : nullptr;
        d.markerRadius = kMarkerRadius;
        items.append(d);
    }
    // The waiting thread works on the slices itself, with every pool thread free right now.
    parallelFor(count, [&](int64_t i) { errorForSlice(items[int(i)]); });
}

void computeErrorField(const StripData& left, const StripData& right, SquareErrorField& field,
                       ProgressInfo* progress)
{
    fillErrorField(left, right, field, progress);

    if (progress) {
        correlateData(field, *progress);
    } else {
        ProgressInfo local;
        correlateData(field, local);
    }
}

float minNeighbour(int32_t k, int32_t c, int32_t r, const SquareErrorField& field)
{
    float best = FLT_MAX;
    for (int dr = -1; dr <= 1; ++dr)
        for (int dc = -1; dc <= 1; ++dc) {
            const float weight = float(std::max(1, dr * dr + dc * dc));
            best = std::min(best, weight * field.at(k, r + dr, c + dc));
        }
    return best;
}

void correlateData(SquareErrorField& field, ProgressInfo& progress)
{
    // Runs on the calling (stitch) thread: each slice needs the one before, so there is
    // nothing to hand to other threads.
    progress.setText(QStringLiteral("Correlating Data…"));
    const int32_t n = field.sliceCount;
    const int32_t G = field.sliceWidth;
    const int32_t H = field.sliceHeight;
    const float total = float(2 * n);
    int32_t counter = 0;
    const size_t sliceBytes = size_t(field.sliceSize) * sizeof(float);
    if (n > 1) {
        for (int32_t k = 0; k <= n - 2; ++k) {
            if (field.missing[k + 1]) {
                std::memcpy(field.slice(k + 1), field.slice(k), sliceBytes);
            } else {
                accumulateSlice(field.slice(k), field.slice(k + 1), G, H);
                progress.value = float(counter) / total;
            }
            ++counter;
        }
    }
    for (int32_t j = n - 2; j >= 0; --j) {
        if (field.missing[j]) {
            std::memcpy(field.slice(j), field.slice(j + 1), sliceBytes);
        } else {
            accumulateSlice(field.slice(j + 1), field.slice(j), G, H);
            progress.value = float(counter) / total;
        }
        ++counter;
    }
}

} // namespace StitchEngine
