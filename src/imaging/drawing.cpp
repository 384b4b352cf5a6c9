// Raster drawing on a BigImage: blended pixels, Bresenham lines with a dash pattern,
// and Xiaolin Wu's anti-aliased lines. Writes outside the image are dropped.
#include "bigimage.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

LineStyle::LineStyle(RgbPixel c, int32_t f, RgbPixel alt, int32_t a, int32_t pos, float w)
    : color(c), altColor(alt), alpha(a), flags(f), patternPos(pos), width(w)
{
    // Runs of six: six entries that select the second colour, six that select the first.
    pattern.assign(6, true);
    pattern.insert(pattern.end(), 6, false);
}

void BigImage::blendPixel(int32_t x, int32_t y, double coverage, RgbPixel colour)
{
    if (!inside(x, y))
        return;
    RgbPixel& p = pixels_[offset(x, y)];
    auto mix = [coverage](uint8_t c, uint8_t old) {
        return uint8_t(int(double(c) * coverage + double(old) * (1.0 - coverage) + 0.5));
    };
    p = RgbPixel{mix(colour.r, p.r), mix(colour.g, p.g), mix(colour.b, p.b)};
}

namespace {

// Lines longer than this many steps are first clipped to the image (a marker far beside
// the view makes lines of a billion points that would be walked one by one).
constexpr int64_t kLongLine = int64_t(1) << 20;

// Liang-Barsky: the part of (x0, y0)-(x1, y1) inside [lo, hiX] x [lo, hiY] as parameters.
bool clipLine(double x0, double y0, double x1, double y1, double lo, double hiX, double hiY, double* t0, double* t1)
{
    *t0 = 0.0;
    *t1 = 1.0;
    const double p[4] = {-(x1 - x0), x1 - x0, -(y1 - y0), y1 - y0};
    const double q[4] = {x0 - lo, hiX - x0, y0 - lo, hiY - y0};
    for (int i = 0; i < 4; ++i) {
        if (p[i] == 0.0) {
            if (q[i] < 0.0)
                return false;
            continue;
        }
        const double r = q[i] / p[i];
        if (p[i] < 0.0)
            *t0 = std::max(*t0, r);
        else
            *t1 = std::min(*t1, r);
    }
    return *t0 <= *t1;
}

} // namespace

void BigImage::drawLine(int32_t x0, int32_t y0, int32_t x1, int32_t y1, LineStyle* style)
{
    if (style)
        style->patternPos = 0;
    // A line wholly beside the image writes nothing; skip it rather than walk it.
    if ((x0 < 0 && x1 < 0) || (y0 < 0 && y1 < 0) || (x0 >= w_ && x1 >= w_) || (y0 >= h_ && y1 >= h_))
        return;
    const int64_t steps = std::max(std::llabs(int64_t(x1) - x0), std::llabs(int64_t(y1) - y0));
    if (steps > kLongLine) {
        // Walk only the steps near the image, continuing the walk of the whole line there:
        // restarting at a rounded point would put pixels one row or column off.
        double t0, t1;
        if (!clipLine(x0, y0, x1, y1, -2.0, double(w_) + 1.0, double(h_) + 1.0, &t0, &t1))
            return;
        const int64_t first = std::max<int64_t>(0, int64_t(std::floor(t0 * double(steps))) - 2);
        const int64_t last = std::min<int64_t>(steps, int64_t(std::ceil(t1 * double(steps))) + 2);
        walkLine(x0, y0, x1, y1, style, first, last);
        return;
    }
    walkLine(x0, y0, x1, y1, style, 0, steps);
}

void BigImage::drawBox(int32_t x0, int32_t y0, int32_t x1, int32_t y1, LineStyle* style)
{
    drawLine(x0, y0, x1, y0, style);
    drawLine(x1, y0, x1, y1, style);
    drawLine(x1, y1, x0, y1, style);
    drawLine(x0, y1, x0, y0, style);
}

void BigImage::walkLine(int32_t x0, int32_t y0, int32_t x1, int32_t y1, LineStyle* style, int64_t firstStep,
                        int64_t lastStep)
{
    const int64_t dx = std::llabs(int64_t(x1) - x0);
    const int64_t dy = std::llabs(int64_t(y1) - y0);
    const int sx = x1 > x0 ? 1 : (x1 < x0 ? -1 : 0);
    const int sy = y1 > y0 ? 1 : (y1 < y0 ? -1 : 0);
    // The state after `firstStep` steps in closed form. Each step moves along the major
    // axis; the minor axis has moved by the count of t >= 0 with (2t + 1)·major <
    // 2·minor·k. The products reach 2^65, hence 128 bits.
    const auto minorSteps = [](int64_t major, int64_t minor, int64_t k) -> int64_t {
        const __int128 num = __int128(2) * minor * k - major;
        return num <= 0 ? 0 : int64_t((num + 2 * __int128(major) - 1) / (2 * __int128(major)));
    };
    const int64_t nx = dx >= dy ? firstStep : minorSteps(dy, dx, firstStep);
    const int64_t ny = dx >= dy ? (dx > 0 ? minorSteps(dx, dy, firstStep) : 0) : firstStep;
    int64_t x = x0 + sx * nx;
    int64_t y = y0 + sy * ny;
    int64_t err = int64_t(__int128(dx) - dy - __int128(nx) * dy + __int128(ny) * dx);
    const bool dashed = style && (style->flags & LineStyle::StyleDashed);
    const size_t patternLength = style ? style->pattern.size() : 0;
    if (style && patternLength > 0)
        style->patternPos = int32_t(firstStep % int64_t(patternLength));

    for (int64_t k = firstStep;; ++k) {
        RgbPixel colour = colWhite;
        if (style) {
            colour = style->color;
            if (dashed && patternLength > 0 && style->pattern[size_t(style->patternPos) % patternLength])
                colour = style->altColor;
            ++style->patternPos;
        }
        if (x >= 0 && x < w_ && y >= 0 && y < h_)
            pixels_[offset(int32_t(x), int32_t(y))] = colour;
        if (k >= lastStep)
            break;
        const int64_t e2 = 2 * err;
        if (e2 > -dy) {
            err -= dy;
            x += sx;
        }
        if (e2 < dx) {
            err += dx;
            y += sy;
        }
    }
}

void BigImage::drawLineAA(double x0, double y0, double x1, double y1, RgbPixel colour)
{
    if (!std::isfinite(x0) || !std::isfinite(y0) || !std::isfinite(x1) || !std::isfinite(y1))
        return;
    // The major axis is the one with the larger extent; ties go to x.
    const bool steep = std::fabs(y1 - y0) > std::fabs(x1 - x0);
    if (steep) {
        std::swap(x0, y0);
        std::swap(x1, y1);
    }
    if (x0 > x1) {
        std::swap(x0, x1);
        std::swap(y0, y1);
    }
    auto plot = [this, steep, colour](double major, double minor, double coverage) {
        if (coverage <= 0.0 || !(std::fabs(major) < 2e9) || !(std::fabs(minor) < 2e9))
            return;
        const int32_t a = int32_t(major);
        const int32_t b = int32_t(minor);
        if (steep)
            blendPixel(b, a, coverage, colour);
        else
            blendPixel(a, b, coverage, colour);
    };
    auto fpart = [](double v) { return v - std::floor(v); };
    auto rfpart = [&fpart](double v) { return 1.0 - fpart(v); };

    const double dx = x1 - x0;
    const double dy = y1 - y0;
    const double gradient = dx < 2.220446049250313e-16 ? 1.0 : dy / dx;

    // First end point, weighted by how much of its pixel the line covers.
    const double xend1 = std::floor(x0 + 0.5);
    const double yend1 = y0 + gradient * (xend1 - x0);
    const double xgap1 = rfpart(x0 + 0.5);
    plot(xend1, std::floor(yend1), rfpart(yend1) * xgap1);
    plot(xend1, std::floor(yend1) + 1, fpart(yend1) * xgap1);

    const double xend2 = std::floor(x1 + 0.5);
    const double yend2 = y1 + gradient * (xend2 - x1);
    const double xgap2 = fpart(x1 + 0.5);
    plot(xend2, std::floor(yend2), rfpart(yend2) * xgap2);
    plot(xend2, std::floor(yend2) + 1, fpart(yend2) * xgap2);

    // The span between, limited to the image's extent along the major axis.
    const double majorExtent = steep ? h_ : w_;
    const double first = std::max(xend1 + 1, -1.0);
    const double last = std::min(xend2 - 1, majorExtent);
    for (double x = first; x <= last; x += 1.0) {
        const double intery = yend1 + gradient * (x - xend1);
        plot(x, std::floor(intery), rfpart(intery));
        plot(x, std::floor(intery) + 1, fpart(intery));
    }
}
