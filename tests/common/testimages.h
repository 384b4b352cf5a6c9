// Small images for exactness tests.
#pragma once

#include "bigimage.h"

#include <QtTest>

#include <random>

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
