#include "testimage.h"

#include "parallel.h"

#include <cmath>
#include <vector>

namespace {

uint32_t hash(uint32_t v)
{
    v ^= v >> 16;
    v *= 0x7feb352dU;
    v ^= v >> 15;
    v *= 0x846ca68bU;
    v ^= v >> 16;
    return v;
}

void fillRow(BigImage& img, int32_t y)
{
    const int32_t w = img.width();
    const int32_t h = img.height();
    RgbPixel* row = img.row(y);
    const float fy = float(y) / float(h);
    for (int32_t x = 0; x < w; ++x) {
        const float fx = float(x) / float(w);
        // Paper tone with slow shading.
        float r = 225.0f - 30.0f * fx + 10.0f * std::sin(6.0f * fy);
        float g = 215.0f - 20.0f * fy;
        float b = 190.0f + 25.0f * fx * fy;
        // Contour lines of a smooth "terrain".
        const float terrain = std::sin(fx * 17.0f + std::cos(fy * 11.0f)) * 40.0f + std::cos(fy * 23.0f) * 35.0f;
        if (std::fabs(terrain - std::round(terrain / 12.0f) * 12.0f) < 0.6f) {
            r = 150.0f;
            g = 90.0f;
            b = 40.0f;
        }
        // A grid every 400 pixels, two pixels wide.
        if (x % 400 < 2 || y % 400 < 2) {
            r = 40.0f;
            g = 70.0f;
            b = 160.0f;
        }
        // Blocks of small "letters": 6 × 9 pixel cells in some grid squares.
        const int32_t cellX = x / 400, cellY = y / 400;
        if (hash(uint32_t(cellX * 7919 + cellY)) % 3 == 0 && x % 400 > 40 && x % 400 < 360 && y % 400 > 60
            && y % 400 < 200) {
            const uint32_t glyph = hash(uint32_t((y / 12) * 131071 + x / 8));
            const int32_t gx = x % 8, gy = y % 12;
            if (gx < 6 && gy < 9 && ((glyph >> (gx + 6 * (gy % 5))) & 1))
                r = g = b = 25.0f;
        }
        row[x] = RgbPixel{uint8_t(std::lround(std::min(255.0f, std::max(0.0f, r)))),
                          uint8_t(std::lround(std::min(255.0f, std::max(0.0f, g)))),
                          uint8_t(std::lround(std::min(255.0f, std::max(0.0f, b))))};
    }
}

} // namespace

BigImagePtr makeTestScan(int32_t width, int32_t height)
{
    auto img = makeBigImage(width, height);
    parallelFor(height, [&img](int64_t y) { fillRow(*img, int32_t(y)); });
    return img;
}
