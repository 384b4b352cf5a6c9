// Small images for exactness tests.
#pragma once

#include "bigimage.h"

#include <QtTest>

#include <algorithm>
#include <random>
#include <vector>

// An "F" of red on blue, 6 × 5: no rotational or mirror symmetry, odd sizes, and red on
// blue so that a swap of R and B shows.
inline BigImagePtr makeF()
{
    static const char* rows[] = {"######", "#.....", "####..", "#.....", "#....."};
    auto img = std::make_shared<BigImage>(6, 5, colGreen);
    for (int y = 0; y < 5; ++y)
        for (int x = 0; x < 6; ++x)
            img->setPixel(x, y, rows[y][x] == '#' ? RgbPixel{250, 10, 20} : RgbPixel{15, 25, 240});
    return img;
}

inline BigImagePtr makeRandom(int32_t w, int32_t h, unsigned seed, RgbPixel background = colGrey)
{
    auto img = std::make_shared<BigImage>(w, h, background);
    std::mt19937 rng(seed);
    for (int32_t y = 0; y < h; ++y)
        for (int32_t x = 0; x < w; ++x)
            img->setPixel(x, y, RgbPixel{uint8_t(rng()), uint8_t(rng()), uint8_t(rng())});
    return img;
}

// Coarse random values every 8 pixels blended bilinearly in integers, plus a little noise:
// content that matches in one place only, with the same bytes on every machine.
inline BigImagePtr makeTerrain(int32_t w, int32_t h, unsigned seed)
{
    std::mt19937 rng(seed);
    const int32_t gw = w / 8 + 2, gh = h / 8 + 2;
    std::vector<int> grid(size_t(gw * gh * 3));
    for (int& v : grid)
        v = int(rng() % 256);
    auto g = [&](int32_t gx, int32_t gy, int ch) { return grid[size_t((gy * gw + gx) * 3 + ch)]; };
    auto img = std::make_shared<BigImage>(w, h, colGrey);
    for (int32_t y = 0; y < h; ++y)
        for (int32_t x = 0; x < w; ++x) {
            const int32_t gx = x / 8, gy = y / 8, fx = x % 8, fy = y % 8;
            uint8_t c[3];
            for (int ch = 0; ch < 3; ++ch) {
                const int v = (g(gx, gy, ch) * (8 - fx) * (8 - fy) + g(gx + 1, gy, ch) * fx * (8 - fy)
                               + g(gx, gy + 1, ch) * (8 - fx) * fy + g(gx + 1, gy + 1, ch) * fx * fy) / 64
                              + int(rng() % 9) - 4;
                c[ch] = uint8_t(std::min(255, std::max(0, v)));
            }
            img->setPixel(x, y, RgbPixel{c[0], c[1], c[2]});
        }
    return img;
}

// The w × h part of src from (x0, y0) on, src's background outside it.
inline BigImagePtr cutOut(const BigImagePtr& src, int32_t x0, int32_t y0, int32_t w, int32_t h)
{
    auto img = std::make_shared<BigImage>(w, h, colGrey);
    for (int32_t y = 0; y < h; ++y)
        for (int32_t x = 0; x < w; ++x)
            img->setPixel(x, y, src->pixelAt(x0 + x, y0 + y));
    return img;
}

inline bool samePixels(const BigImage& a, const BigImage& b)
{
    if (a.width() != b.width() || a.height() != b.height())
        return false;
    for (int32_t y = 0; y < a.height(); ++y)
        for (int32_t x = 0; x < a.width(); ++x)
            if (a.pixelAt(x, y) != b.pixelAt(x, y))
                return false;
    return true;
}

// The first few differing pixels, for a readable failure.
inline QString firstDifferences(const BigImage& a, const BigImage& b)
{
    QString out;
    int shown = 0;
    for (int32_t y = 0; y < std::max(a.height(), b.height()) && shown < 5; ++y)
        for (int32_t x = 0; x < std::max(a.width(), b.width()) && shown < 5; ++x) {
            const RgbPixel p = a.pixelAt(x, y), q = b.pixelAt(x, y);
            if (p != q) {
                out += QString("(%1,%2): %3 %4 %5 vs %6 %7 %8; ").arg(x).arg(y).arg(p.r).arg(p.g).arg(p.b)
                           .arg(q.r).arg(q.g).arg(q.b);
                ++shown;
            }
        }
    return out;
}

namespace QTest {
template <> inline char* toString(const RgbPixel& p)
{
    return qstrdup(QString("RgbPixel(%1, %2, %3)").arg(p.r).arg(p.g).arg(p.b).toUtf8().constData());
}
} // namespace QTest

Q_DECLARE_METATYPE(RgbPixel)
