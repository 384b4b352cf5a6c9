// A plain stitch for the engine's tests: scalar and naive, one statement per step of the
// algorithm, the whole right image turned at once, every sample through the scalar kernel.
// The engine must give the same floats and bytes at every step.
#pragma once

#include "sampling.h"
#include "stitchdata.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <vector>

using StitchEngine::Cell;
using StitchEngine::StitchGeometry;

constexpr float kUntouched = 4876875.0f; // the field's initial value: 25 pixels · 3 · 255²

// Destination point p shows the source at R(angle)·(p − pivot) − shift: each row's start in
// float, then start + x·(cos, sin) with one product per pixel (no running sum, which drifts
// on long rows); every sample through the scalar bicubic kernel.
inline BigImagePtr plainRotate(const BigImage& src, int32_t w, int32_t h, RgbPixel background, float angle,
                               float2 pivot, float2 shift)
{
    auto dst = std::make_shared<BigImage>(w, h, background);
    const float c = std::cos(angle), s = std::sin(angle);
    for (int32_t y = 0; y < h; ++y) {
        const float dy = float(y) - pivot.y;
        const float sx = (-pivot.x) * c - dy * s - shift.x;
        const float sy = (-pivot.x) * s + dy * c - shift.y;
        for (int32_t x = 0; x < w; ++x)
            dst->setPixel(x, y, sampleCubic(src, sx + float(x) * c, sy + float(x) * s));
    }
    return dst;
}

inline BigImagePtr plainRotatedRight(const BigImage& right, const StitchGeometry& g)
{
    return plainRotate(right, right.width(), right.height(), colBlack, g.angle, float2{float(g.xR), float(g.yR)},
                       float2{float(-g.xR), float(-g.yR)});
}

struct PlainField {
    int32_t G = 0, H = 80, n = 0;
    std::vector<float> v;
    std::vector<bool> missing;
    float& at(int32_t k, int32_t r, int32_t c) { return v[size_t((int64_t(k) * H + r) * G + c)]; }
};

struct Plain {
    BigImagePtr strip, band; // band: the rotated right band upsampled by 2
    PlainField filled, accumulated;
    std::vector<float2> offsets;
    BigImagePtr result;
};

inline float plainMinNeighbour(PlainField& f, int32_t k, int32_t c, int32_t r)
{
    float best = 3.4028235e38f;
    for (int dr = -1; dr <= 1; ++dr)
        for (int dc = -1; dc <= 1; ++dc)
            best = std::min(best, float(std::max(1, dr * dr + dc * dc)) * f.at(k, r + dr, c + dc));
    return best;
}

inline void plainCorrelate(PlainField& f, bool backward = true)
{
    auto copySlice = [&](int32_t from, int32_t to) {
        std::copy_n(f.v.begin() + int64_t(from) * f.G * f.H, f.G * f.H, f.v.begin() + int64_t(to) * f.G * f.H);
    };
    for (int32_t k = 0; k + 1 < f.n; ++k) {
        if (f.missing[size_t(k + 1)])
            copySlice(k, k + 1);
        else
            for (int32_t r = 1; r < f.H - 1; ++r)
                for (int32_t c = 1; c < f.G - 1; ++c)
                    f.at(k + 1, r, c) += 0.9f * plainMinNeighbour(f, k, c, r);
    }
    for (int32_t j = f.n - 2; backward && j >= 0; --j) {
        if (f.missing[size_t(j)])
            copySlice(j + 1, j);
        else
            for (int32_t r = 1; r < f.H - 1; ++r)
                for (int32_t c = 1; c < f.G - 1; ++c)
                    f.at(j, r, c) += 0.9f * plainMinNeighbour(f, j + 1, c, r);
    }
}

inline Cell plainBestCell(Cell p, int32_t k, PlainField& f)
{
    float best = 3.4028235e38f;
    Cell result = p;
    for (int32_t y = 0; y < f.H; ++y)
        for (int32_t x = 0; x < f.G; ++x) {
            const int32_t d2 = (y - p.y) * (y - p.y) + (x - p.x) * (x - p.x);
            const float w = std::max(sqrtf(float(d2)), 1.0f) * f.at(k, y, x);
            if (w < best) {
                best = w;
                result = Cell{x, y};
            }
        }
    const auto limit = [](int32_t q, int32_t p0) { return std::abs(q - p0) <= 2 ? q : (q > p0 ? p0 + 2 : p0 - 2); };
    return Cell{limit(result.x, p.x), limit(result.y, p.y)};
}

inline std::vector<float2> plainTrace(PlainField& f)
{
    std::vector<Cell> fw(size_t(f.n)), bw(size_t(f.n)), merged(size_t(f.n));
    Cell p{f.G / 2, f.H / 2};
    for (int32_t k = 0; k < f.n; ++k)
        p = fw[size_t(k)] = plainBestCell(p, k, f);
    p = Cell{f.G / 2, f.H / 2};
    for (int32_t k = f.n - 1; k >= 0; --k)
        p = bw[size_t(k)] = plainBestCell(p, k, f);
    auto decide = [&](int32_t a, int32_t b) {
        float sf = 0.0f, sb = 0.0f;
        for (int32_t j = a; j <= b; ++j) {
            sf += f.at(j, fw[size_t(j)].y, fw[size_t(j)].x);
            sb += f.at(j, bw[size_t(j)].y, bw[size_t(j)].x);
        }
        for (int32_t j = a; j <= b; ++j)
            merged[size_t(j)] = sb >= sf ? fw[size_t(j)] : bw[size_t(j)];
    };
    int32_t last = -1;
    for (int32_t i = 0; i < f.n; ++i)
        if (std::abs(fw[size_t(i)].x - bw[size_t(i)].x) <= 2 && std::abs(fw[size_t(i)].y - bw[size_t(i)].y) <= 2) {
            decide(last + 1, i);
            last = i;
        }
    if (last + 1 < f.n)
        decide(last + 1, f.n - 1);
    std::vector<float2> out;
    for (const Cell& c : merged)
        out.push_back(float2{float(c.x - f.G / 2) * 0.5f, float(c.y - f.H / 2) * 0.5f});
    return out;
}

inline std::vector<float2> plainSmooth(const std::vector<float2>& v)
{
    const int32_t n = int32_t(v.size()), r = 5;
    std::vector<float2> out(v.size());
    if (n == 0)
        return out;
    auto at = [&](int32_t m) { return v[size_t(std::min(std::max(m, 0), n - 1))]; };
    float sx = 0.0f, sy = 0.0f;
    for (int32_t m = -1 - r; m <= -1 + r; ++m)
        sx += at(m).x, sy += at(m).y;
    for (int32_t m = 0; m < n; ++m) {
        sx = (sx + at(m + r).x) - at(std::max(m - r - 1, 0)).x;
        sy = (sy + at(m + r).y) - at(std::max(m - r - 1, 0)).y;
        out[size_t(m)] = float2{sx / 11.0f, sy / 11.0f};
    }
    return out;
}

inline uint8_t blendByte(uint8_t sample, uint8_t left, float v)
{
    return uint8_t(std::min(255, std::max(0, int(float(sample) * v + float(left) * (1.0f - v) + 0.5f))));
}

inline BigImagePtr plainCompose(const BigImage& left, const BigImage& right, const StitchGeometry& g,
                         const std::vector<float2>& offsets)
{
    const int32_t width = g.xL + right.width() - g.xR;
    if (width <= 0)
        return nullptr;
    const auto rot = plainRotatedRight(right, g);
    auto result = makeBigImage(width, left.height());
    const auto smoothed = plainSmooth(offsets);
    const int32_t n = int32_t(smoothed.size());
    for (int32_t i = 0; i < left.height(); ++i) {
        for (int32_t x = 0; x < g.xL; ++x)
            result->setPixel(x, i, left.pixelAt(x, i));
        if (right.width() - g.xR > 100)
            for (int32_t x = g.xL + 100; x < width; ++x)
                result->setPixel(x, i, rot->pixelAt(x - g.xL + g.xR, g.yR - g.yL + i));
        const float2 d = n > 0 ? smoothed[size_t(std::min(i / 2, n - 1))] : float2{};
        const float yr = float(g.yR - g.yL + i);
        for (int32_t j = 0; j < 4; ++j) {
            const RgbPixel s = sampleCubic(*rot, float(g.xR + j) + d.x, d.y + yr);
            const RgbPixel l = left.pixelAt(g.xL + j, i);
            const float v = 0.25f * float(j);
            result->setPixel(g.xL + j, i,
                             RgbPixel{blendByte(s.r, l.r, v), blendByte(s.g, l.g, v), blendByte(s.b, l.b, v)});
        }
        for (int32_t j = 4; j < 100; ++j) {
            const float t = 1.0f - float(j) / 100.0f;
            result->setPixel(g.xL + j, i, sampleCubic(*rot, float(g.xR + j) + t * d.x, t * d.y + yr));
        }
    }
    return result;
}

inline Plain plainStitch(const BigImage& left, const BigImage& right, const StitchGeometry& g)
{
    Plain p;
    // Left strip: columns xL − 2 .. xL + 2.
    p.strip = std::make_shared<BigImage>(5, left.height(), colGrey);
    for (int32_t y = 0; y < left.height(); ++y)
        for (int32_t k = 0; k < 5; ++k)
            p.strip->setPixel(k, y, left.pixelAt(g.xL - 2 + k, y));
    // Right band: W columns turned about the red marker, then sampled at half-pixel steps.
    const int32_t W = g.corridor + 10;
    const auto band = plainRotate(right, W, right.height(), colGrey, g.angle, float2{float(W) * 0.5f, float(g.yR)},
                                  float2{float(-g.xR), float(-g.yR)});
    p.band = makeBigImage(2 * W, 2 * right.height());
    float yi = 0.0f;
    for (int32_t i = 0; i < p.band->height(); ++i, yi += 0.5f) {
        float xj = 0.0f;
        for (int32_t j = 0; j < p.band->width(); ++j, xj += 0.5f)
            p.band->setPixel(j, i, sampleCubic(*band, xj, yi));
    }
    const int32_t centerX = 2 * (W / 2), redY = 2 * g.yR, blueY = 2 * g.yRb;
    // Square-error field.
    PlainField& f = p.filled;
    const int32_t t = p.band->width() - 4 * 2 - 1;
    f.G = t % 2 == 0 ? t : t + 1;
    f.n = std::max(0, (left.height() - 1) / 2);
    f.v.assign(size_t(f.n * f.G * f.H), kUntouched);
    f.missing.assign(size_t(f.n), true);
    const int32_t h = p.strip->height();
    for (int32_t k = 0; k < f.n; ++k) {
        const int32_t y = 2 * k;
        const int32_t C = redY + 2 * (y - g.yL);
        if (!(y - 2 >= 0 && (y + 2) * 5 + 5 < 5 * h && C - 40 - 4 >= 0 && C + 40 + 4 < p.band->height()))
            continue;
        auto row = [&](int32_t r, int32_t first) {
            for (int32_t c = 1; c <= f.G - 2; ++c) {
                const int32_t x0 = centerX - 4 - f.G / 2 + c;
                if (x0 < 0 || x0 + 8 >= p.band->width())
                    continue;
                float sum = 0.0f;
                for (int j = 0; j < 5; ++j)
                    for (int i = 0; i < 5; ++i) {
                        const RgbPixel b = p.band->pixelAt(x0 + 2 * j, first + 2 * i);
                        const RgbPixel a = p.strip->pixelAt(j, y - 2 + i);
                        const float d0 = float(b.r) - float(a.r), d1 = float(b.g) - float(a.g),
                                    d2 = float(b.b) - float(a.b);
                        sum += d2 * d2 + (d1 * d1 + d0 * d0);
                    }
                f.at(k, r, c) = sum;
            }
        };
        const bool nearRed = std::abs(y - g.yL) < 20;
        if (nearRed || std::abs(y - g.yLb) < 20) {
            const int32_t m = nearRed ? redY : blueY;
            const int32_t C0 = redY + 2 * (y - g.yL) - 40;
            for (int32_t r = 1; r <= 78; ++r) {
                row(r, C0 - 4 + r);
                if (std::abs(C0 + r - m) <= 10)
                    for (int32_t c = 0; c < f.G; ++c)
                        if (std::abs(c - f.G / 2) <= 10)
                            f.at(k, r, c) = 0.0f;
            }
        } else {
            for (int32_t r = 1; r <= 78; ++r)
                row(r, C - 44 + r);
        }
        f.missing[size_t(k)] = false;
    }
    p.accumulated = f;
    plainCorrelate(p.accumulated);
    p.offsets = plainTrace(p.accumulated);
    p.result = plainCompose(left, right, g, p.offsets);
    return p;
}

