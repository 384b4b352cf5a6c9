// Bicubic sampling. The kernel per row of four taps is the cubic through p0..p3 with
// a = p3 − p2 − p0 + p1, b = p0 − p1 − a, c = p2 − p0 in integers, evaluated in float as
// ((a·t + b)·t + c)·t + p1; the four row results are joined by the same formula in t_y.
// The vector path computes the three channels in the lanes of one SSE2 register with the
// very same operations in the same order, so it gives the scalar path's bytes exactly.
#include "sampling.h"

#include "parallel.h"

#if defined(__SSE2__)
#include <immintrin.h>
#endif

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

constexpr int32_t kRenderBlockRows = 32;

// Position to base tap and fraction. The shift by 2 keeps the floor exact down to −2;
// NaN and positions beyond the int32 range report false (far outside every image).
inline bool splitPosition(float v, int32_t& base, float& t)
{
    const float shifted = v + 2.0f;
    if (!(shifted > -2147483520.0f && shifted < 2147483520.0f))
        return false;
    int32_t i = int32_t(shifted);
    if (float(i) > shifted)
        --i;
    base = i;
    t = shifted - float(i);
    return true;
}

inline float cubic(int p0, int p1, int p2, int p3, float t)
{
    const int a = p3 - p2 - p0 + p1;
    const int b = p0 - p1 - a;
    const int c = p2 - p0;
    return ((float(a) * t + float(b)) * t + float(c)) * t + float(p1);
}

inline float cubic(float p0, float p1, float p2, float p3, float t)
{
    const float a = p3 - p2 - p0 + p1;
    const float b = p0 - p1 - a;
    const float c = p2 - p0;
    return ((a * t + b) * t + c) * t + p1;
}

// Add 0.5, truncate, clamp to 0..255.
inline uint8_t toByte(float v)
{
    const int i = int(v + 0.5f);
    return uint8_t(i < 0 ? 0 : (i > 255 ? 255 : i));
}

RgbPixel sampleScalar(const BigImage& s, int32_t X, int32_t Y, float tx, float ty)
{
    float rows[3][4];
    for (int r = 0; r < 4; ++r) {
        const int32_t yy = Y - 3 + r;
        const RgbPixel p0 = s.pixelAt(X - 3, yy);
        const RgbPixel p1 = s.pixelAt(X - 2, yy);
        const RgbPixel p2 = s.pixelAt(X - 1, yy);
        const RgbPixel p3 = s.pixelAt(X, yy);
        rows[0][r] = cubic(p0.r, p1.r, p2.r, p3.r, tx);
        rows[1][r] = cubic(p0.g, p1.g, p2.g, p3.g, tx);
        rows[2][r] = cubic(p0.b, p1.b, p2.b, p3.b, tx);
    }
    return RgbPixel{toByte(cubic(rows[0][0], rows[0][1], rows[0][2], rows[0][3], ty)),
                    toByte(cubic(rows[1][0], rows[1][1], rows[1][2], rows[1][3], ty)),
                    toByte(cubic(rows[2][0], rows[2][1], rows[2][2], rows[2][3], ty))};
}

#if defined(__SSE2__)
inline __m128i widen(__m128i bytes)
{
    const __m128i zero = _mm_setzero_si128();
    return _mm_unpacklo_epi16(_mm_unpacklo_epi8(bytes, zero), zero);
}

// One row of four taps starting at p; lanes r, g, b (the fourth lane is unused).
inline __m128 rowCubic(const uint8_t* p, __m128 t)
{
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const __m128i p0 = widen(bytes);
    const __m128i p1 = widen(_mm_srli_si128(bytes, 3));
    const __m128i p2 = widen(_mm_srli_si128(bytes, 6));
    const __m128i p3 = widen(_mm_srli_si128(bytes, 9));
    const __m128i a = _mm_add_epi32(_mm_sub_epi32(_mm_sub_epi32(p3, p2), p0), p1);
    const __m128i b = _mm_sub_epi32(_mm_sub_epi32(p0, p1), a);
    const __m128i c = _mm_sub_epi32(p2, p0);
    __m128 v = _mm_mul_ps(_mm_cvtepi32_ps(a), t);
    v = _mm_mul_ps(_mm_add_ps(v, _mm_cvtepi32_ps(b)), t);
    v = _mm_mul_ps(_mm_add_ps(v, _mm_cvtepi32_ps(c)), t);
    return _mm_add_ps(v, _mm_cvtepi32_ps(p1));
}

// All sixteen taps inside: X − 3 ≥ 0, X < w, and the same for Y.
inline RgbPixel sampleInside(const uint8_t* base, int64_t stride, int32_t X, int32_t Y, float tx, float ty)
{
    const uint8_t* p = base + (int64_t(Y - 3) * stride) + int64_t(X - 3) * 3;
    const __m128 t = _mm_set1_ps(tx);
    const __m128 r0 = rowCubic(p, t);
    const __m128 r1 = rowCubic(p + stride, t);
    const __m128 r2 = rowCubic(p + 2 * stride, t);
    const __m128 r3 = rowCubic(p + 3 * stride, t);
    const __m128 u = _mm_set1_ps(ty);
    const __m128 a = _mm_add_ps(_mm_sub_ps(_mm_sub_ps(r3, r2), r0), r1);
    const __m128 b = _mm_sub_ps(_mm_sub_ps(r0, r1), a);
    const __m128 c = _mm_sub_ps(r2, r0);
    __m128 v = _mm_mul_ps(a, u);
    v = _mm_mul_ps(_mm_add_ps(v, b), u);
    v = _mm_mul_ps(_mm_add_ps(v, c), u);
    v = _mm_add_ps(_mm_add_ps(v, r1), _mm_set1_ps(0.5f));
    // Truncate, then saturate to 0..255 through the packs.
    __m128i i = _mm_cvttps_epi32(v);
    i = _mm_packs_epi32(i, i);
    i = _mm_packus_epi16(i, i);
    const uint32_t packed = uint32_t(_mm_cvtsi128_si32(i));
    return RgbPixel{uint8_t(packed), uint8_t(packed >> 8), uint8_t(packed >> 16)};
}
#endif

// One sample at a split position: the vector kernel where all sixteen taps lie inside, the
// scalar one (background for the taps outside) elsewhere; both give the same bytes.
inline RgbPixel sampleSplit(const BigImage& s, int32_t X, int32_t Y, float tx, float ty)
{
#if defined(__SSE2__)
    if (X >= 3 && X < s.width() && Y >= 3 && Y < s.height())
        return sampleInside(reinterpret_cast<const uint8_t*>(s.data()), int64_t(s.width()) * 3, X, Y, tx, ty);
#endif
    return sampleScalar(s, X, Y, tx, ty);
}

} // namespace

RgbPixel sampleCubic(const BigImage& source, float x, float y)
{
    int32_t X, Y;
    float tx, ty;
    if (!splitPosition(x, X, tx) || !splitPosition(y, Y, ty))
        return source.background();
    return sampleScalar(source, X, Y, tx, ty);
}

RgbPixel sampleCubicShifted(const BigImage& part, int32_t partX, int32_t partY, float x, float y)
{
    int32_t X, Y;
    float tx, ty;
    if (!splitPosition(x, X, tx) || !splitPosition(y, Y, ty))
        return part.background();
    return sampleSplit(part, X - partX, Y - partY, tx, ty);
}

#if defined(__SSE2__)
namespace {

// Two samples in the two 128-bit halves of AVX2 registers: each half runs exactly the
// operations of sampleInside, so each gives that function's bytes.
__attribute__((target("avx2"))) inline __m256i widen2(__m256i bytes)
{
    const __m256i zero = _mm256_setzero_si256();
    return _mm256_unpacklo_epi16(_mm256_unpacklo_epi8(bytes, zero), zero);
}

__attribute__((target("avx2"))) inline __m256 rowCubic2(const uint8_t* pa, const uint8_t* pb, __m256 t)
{
    const __m256i bytes = _mm256_inserti128_si256(
        _mm256_castsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(pa))),
        _mm_loadu_si128(reinterpret_cast<const __m128i*>(pb)), 1);
    const __m256i p0 = widen2(bytes);
    const __m256i p1 = widen2(_mm256_srli_si256(bytes, 3));
    const __m256i p2 = widen2(_mm256_srli_si256(bytes, 6));
    const __m256i p3 = widen2(_mm256_srli_si256(bytes, 9));
    const __m256i a = _mm256_add_epi32(_mm256_sub_epi32(_mm256_sub_epi32(p3, p2), p0), p1);
    const __m256i b = _mm256_sub_epi32(_mm256_sub_epi32(p0, p1), a);
    const __m256i c = _mm256_sub_epi32(p2, p0);
    __m256 v = _mm256_mul_ps(_mm256_cvtepi32_ps(a), t);
    v = _mm256_mul_ps(_mm256_add_ps(v, _mm256_cvtepi32_ps(b)), t);
    v = _mm256_mul_ps(_mm256_add_ps(v, _mm256_cvtepi32_ps(c)), t);
    return _mm256_add_ps(v, _mm256_cvtepi32_ps(p1));
}

__attribute__((target("avx2"))) void sampleInside2(const uint8_t* base, int64_t stride, int32_t xa, int32_t ya,
                                                   float txa, float tya, int32_t xb, int32_t yb, float txb,
                                                   float tyb, RgbPixel* out)
{
    const uint8_t* pa = base + (int64_t(ya - 3) * stride) + int64_t(xa - 3) * 3;
    const uint8_t* pb = base + (int64_t(yb - 3) * stride) + int64_t(xb - 3) * 3;
    const __m256 t = _mm256_set_m128(_mm_set1_ps(txb), _mm_set1_ps(txa));
    const __m256 r0 = rowCubic2(pa, pb, t);
    const __m256 r1 = rowCubic2(pa + stride, pb + stride, t);
    const __m256 r2 = rowCubic2(pa + 2 * stride, pb + 2 * stride, t);
    const __m256 r3 = rowCubic2(pa + 3 * stride, pb + 3 * stride, t);
    const __m256 u = _mm256_set_m128(_mm_set1_ps(tyb), _mm_set1_ps(tya));
    const __m256 a = _mm256_add_ps(_mm256_sub_ps(_mm256_sub_ps(r3, r2), r0), r1);
    const __m256 b = _mm256_sub_ps(_mm256_sub_ps(r0, r1), a);
    const __m256 c = _mm256_sub_ps(r2, r0);
    __m256 v = _mm256_mul_ps(a, u);
    v = _mm256_mul_ps(_mm256_add_ps(v, b), u);
    v = _mm256_mul_ps(_mm256_add_ps(v, c), u);
    v = _mm256_add_ps(_mm256_add_ps(v, r1), _mm256_set1_ps(0.5f));
    __m256i i = _mm256_cvttps_epi32(v);
    i = _mm256_packs_epi32(i, i);
    i = _mm256_packus_epi16(i, i);
    const uint32_t qa = uint32_t(_mm_cvtsi128_si32(_mm256_castsi256_si128(i)));
    const uint32_t qb = uint32_t(_mm_cvtsi128_si32(_mm256_extracti128_si256(i, 1)));
    out[0] = RgbPixel{uint8_t(qa), uint8_t(qa >> 8), uint8_t(qa >> 16)};
    out[1] = RgbPixel{uint8_t(qb), uint8_t(qb >> 8), uint8_t(qb >> 16)};
}

template <class Positions>
__attribute__((target("avx2"))) void sampleRowPairs(const BigImage& source, Positions positions, int32_t count,
                                                    RgbPixel* out)
{
    const uint8_t* base = reinterpret_cast<const uint8_t*>(source.data());
    const int64_t stride = int64_t(source.width()) * 3;
    const int32_t w = source.width();
    const int32_t h = source.height();
    auto inside = [w, h](int32_t X, int32_t Y) { return X >= 3 && X < w && Y >= 3 && Y < h; };
    int32_t i = 0;
    float2 p = count > 0 ? positions.next() : float2{};
    while (i < count) {
        int32_t X, Y;
        float tx, ty;
        const bool ok = splitPosition(p.x, X, tx) && splitPosition(p.y, Y, ty);
        if (ok && inside(X, Y) && i + 1 < count) {
            const float2 q = positions.next();
            int32_t X2, Y2;
            float tx2, ty2;
            if (splitPosition(q.x, X2, tx2) && splitPosition(q.y, Y2, ty2) && inside(X2, Y2)) {
                sampleInside2(base, stride, X, Y, tx, ty, X2, Y2, tx2, ty2, out + i);
                i += 2;
                if (i < count)
                    p = positions.next();
                continue;
            }
            out[i++] = sampleInside(base, stride, X, Y, tx, ty);
            p = q;
            continue;
        }
        out[i] = ok ? sampleSplit(source, X, Y, tx, ty) : source.background();
        if (++i < count)
            p = positions.next();
    }
}

bool haveAvx2()
{
    static const bool avx2 = __builtin_cpu_supports("avx2") && !std::getenv("SEAMWRIGHT_NO_AVX");
    return avx2;
}

} // namespace
#endif

namespace {

// Positions summed step by step in float: the running sum of the views' renders.
struct RunningPositions {
    float x, y, dx, dy;
    float2 next()
    {
        const float2 p{x, y};
        x += dx;
        y += dy;
        return p;
    }
};

// Positions start + n·step, each from its own product: no rounding error builds up along
// the row, however long it is.
struct ProductPositions {
    float x, y, dx, dy;
    int32_t n;
    float2 next()
    {
        const float k = float(n++);
        return float2{x + k * dx, y + k * dy};
    }
};

template <class Positions>
void sampleRowSingles(const BigImage& source, Positions positions, int32_t count, RgbPixel* out)
{
    for (int32_t i = 0; i < count; ++i) {
        const float2 p = positions.next();
        int32_t X, Y;
        float tx, ty;
        const bool ok = splitPosition(p.x, X, tx) && splitPosition(p.y, Y, ty);
        out[i] = ok ? sampleSplit(source, X, Y, tx, ty) : source.background();
    }
}

template <class Positions>
void sampleRow(const BigImage& source, Positions positions, int32_t count, RgbPixel* out)
{
#if defined(__SSE2__)
    if (haveAvx2()) {
        sampleRowPairs(source, positions, count, out);
        return;
    }
#endif
    sampleRowSingles(source, positions, count, out);
}

} // namespace

void sampleCubicRow(const BigImage& source, float x, float y, float dx, float dy, int32_t count, RgbPixel* out)
{
    sampleRow(source, RunningPositions{x, y, dx, dy}, count, out);
}

void sampleCubicLine(const BigImage& source, float2 start, float2 step, int32_t first, int32_t count, RgbPixel* out)
{
    sampleRow(source, ProductPositions{start.x, start.y, step.x, step.y, first}, count, out);
}

BigImagePtr renderScaled(const BigImagePtr& source, float2 origin, int32_t width, int32_t height, float step,
                         Interpolation mode)
{
    (void)mode; // every image of this program renders bicubic
    if (!source)
        return nullptr;
    auto result = BigImage::makeUnfilled(width, height, colGrey, Interpolation::Cubic);
    if (result->pixelCount() == 0)
        return result;
    // The row positions are the running float sum, taken first so that the rows can be
    // rendered in any order (and on both cores) with the bytes of the sequential loop.
    std::vector<float> rowY(static_cast<size_t>(height));
    float y = origin.y;
    for (int32_t i = 0; i < height; ++i) {
        rowY[size_t(i)] = y;
        y += step;
    }
    BigImage& out = *result;
    const BigImage& src = *source;
    const int64_t blocks = (int64_t(height) + kRenderBlockRows - 1) / kRenderBlockRows;
    parallelFor(blocks, [&](int64_t block) {
        const int32_t first = int32_t(block * kRenderBlockRows);
        const int32_t last = std::min(height, first + kRenderBlockRows);
        for (int32_t i = first; i < last; ++i)
            sampleCubicRow(src, origin.x, rowY[size_t(i)], step, 0.0f, width, out.row(i));
    });
    return result;
}
