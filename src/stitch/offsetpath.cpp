// Offset path. bestCell scans the whole slice; the vector path keeps, per lane, the first
// strict minimum of its columns and the reduction takes the smallest value and, among equal
// ones, the smallest row-major index, which is the sequential scan's answer.
#include "offsetpath.h"

#include "parallel.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdlib>

namespace StitchEngine {

namespace {

inline int32_t limitStep(int32_t q, int32_t p)
{
    if (std::abs(q - p) <= 2)
        return q;
    return q > p ? p + 2 : p - 2;
}

inline Cell stepLimited(Cell q, Cell p)
{
    return Cell{limitStep(q.x, p.x), limitStep(q.y, p.y)};
}

} // namespace

Cell bestCell(Cell p, int32_t k, const SquareErrorField& field)
{
    const int32_t G = field.sliceWidth;
    const int32_t H = field.sliceHeight;
    const float* v = field.slice(k);
    float best = FLT_MAX;
    int64_t bestIndex = -1;
    // Squared column distances, the same for every row.
    thread_local std::vector<int32_t> dx2;
    dx2.resize(size_t(G));
    for (int32_t x = 0; x < G; ++x)
        dx2[size_t(x)] = (x - p.x) * (x - p.x);
    for (int32_t y = 0; y < H; ++y) {
        const int32_t dy2 = (y - p.y) * (y - p.y);
        const float* row = v + int64_t(y) * G;
        int32_t x = 0;
#if defined(__SSE2__)
        __m128 laneBest = _mm_set1_ps(FLT_MAX);
        __m128i laneIndex = _mm_set1_epi32(-1);
        const __m128i rowDy = _mm_set1_epi32(dy2);
        const __m128 one = _mm_set1_ps(1.0f);
        for (; x + 4 <= G; x += 4) {
            const __m128i d2 = _mm_add_epi32(rowDy, _mm_loadu_si128(reinterpret_cast<const __m128i*>(&dx2[size_t(x)])));
            const __m128 weight = _mm_max_ps(_mm_sqrt_ps(_mm_cvtepi32_ps(d2)), one);
            const __m128 w = _mm_mul_ps(weight, _mm_loadu_ps(row + x));
            const __m128 less = _mm_cmplt_ps(w, laneBest);
            laneBest = _mm_or_ps(_mm_and_ps(less, w), _mm_andnot_ps(less, laneBest));
            const __m128i idx = _mm_add_epi32(_mm_set1_epi32(y * G + x), _mm_setr_epi32(0, 1, 2, 3));
            const __m128i li = _mm_castps_si128(less);
            laneIndex = _mm_or_si128(_mm_and_si128(li, idx), _mm_andnot_si128(li, laneIndex));
        }
        alignas(16) float lb[4];
        alignas(16) int32_t lx[4];
        _mm_store_ps(lb, laneBest);
        _mm_store_si128(reinterpret_cast<__m128i*>(lx), laneIndex);
        // The row's winner among the lanes: smallest value, then smallest index.
        for (int l = 0; l < 4; ++l) {
            if (lx[l] < 0)
                continue;
            if (lb[l] < best || (lb[l] == best && lx[l] < bestIndex)) {
                best = lb[l];
                bestIndex = lx[l];
            }
        }
#endif
        for (; x < G; ++x) {
            const float weight = std::max(std::sqrt(float(dy2 + dx2[size_t(x)])), 1.0f);
            const float w = weight * row[x];
            if (w < best) {
                best = w;
                bestIndex = int64_t(y) * G + x;
            }
        }
    }
    if (bestIndex < 0)
        return p;
    return Cell{int32_t(bestIndex % G), int32_t(bestIndex / G)};
}

void mergePaths(const SquareErrorField& field, std::vector<float2>& offsets, const std::vector<Cell>& forward,
                const std::vector<Cell>& backward)
{
    const int32_t n = field.sliceCount;
    std::vector<Cell> merged(size_t(std::max(n, 0)));
    auto decideRun = [&](int32_t first, int32_t last) {
        float sf = 0.0f;
        float sb = 0.0f;
        for (int32_t j = first; j <= last; ++j) {
            sf += field.at(j, forward[size_t(j)].y, forward[size_t(j)].x);
            sb += field.at(j, backward[size_t(j)].y, backward[size_t(j)].x);
        }
        const std::vector<Cell>& chosen = (sb >= sf) ? forward : backward;
        for (int32_t j = first; j <= last; ++j)
            merged[size_t(j)] = chosen[size_t(j)];
    };
    int32_t last = -1;
    for (int32_t i = 0; i < n; ++i) {
        const Cell f = forward[size_t(i)];
        const Cell b = backward[size_t(i)];
        if (std::abs(f.x - b.x) <= 2 && std::abs(f.y - b.y) <= 2) {
            decideRun(last + 1, i);
            last = i;
        }
    }
    if (last + 1 < n)
        decideRun(last + 1, n - 1);

    const float inv = 1.0f / float(field.scale);
    const int32_t G = field.sliceWidth;
    const int32_t H = field.sliceHeight;
    for (int32_t i = 0; i < n; ++i)
        offsets[size_t(i)] = float2{float(merged[size_t(i)].x - G / 2) * inv, float(merged[size_t(i)].y - H / 2) * inv};
}

void tracePath(const SquareErrorField& field, std::vector<float2>& offsets)
{
    const int32_t n = std::max(field.sliceCount, 0);
    std::vector<Cell> forward(static_cast<size_t>(n));
    std::vector<Cell> backward(static_cast<size_t>(n));
    offsets.assign(size_t(n), float2{});
    const Cell start{field.sliceWidth / 2, field.sliceHeight / 2};
    // The two traces are independent: one per core.
    parallelFor(2, [&](int64_t direction) {
        Cell p = start;
        if (direction == 0) {
            for (int32_t k = 0; k < n; ++k)
                p = forward[size_t(k)] = stepLimited(bestCell(p, k, field), p);
        } else {
            for (int32_t k = n - 1; k >= 0; --k)
                p = backward[size_t(k)] = stepLimited(bestCell(p, k, field), p);
        }
    });
    mergePaths(field, offsets, forward, backward);
}

} // namespace StitchEngine
