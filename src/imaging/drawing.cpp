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
        // Walk only the part near the image; the dash pattern counts the points skipped.
        double t0, t1;
        if (!clipLine(x0, y0, x1, y1, -2.0, double(w_) + 1.0, double(h_) + 1.0, &t0, &t1))
            return;
        const int32_t cx0 = int32_t(std::lround(x0 + t0 * (double(x1) - x0)));
        const int32_t cy0 = int32_t(std::lround(y0 + t0 * (double(y1) - y0)));
        const int32_t cx1 = int32_t(std::lround(x0 + t1 * (double(x1) - x0)));
        const int32_t cy1 = int32_t(std::lround(y0 + t1 * (double(y1) - y0)));
        const int64_t skipped = std::max(std::llabs(int64_t(cx0) - x0), std::llabs(int64_t(cy0) - y0));
        walkLine(cx0, cy0, cx1, cy1, style, skipped);
        return;
    }
    walkLine(x0, y0, x1, y1, style, 0);
}

void BigImage::drawBox(int32_t x0, int32_t y0, int32_t x1, int32_t y1, LineStyle* style)
{
    drawLine(x0, y0, x1, y0, style);
    drawLine(x1, y0, x1, y1, style);
    drawLine(x1, y1, x0, y1, style);
    drawLine(x0, y1, x0, y0, style);
}

void BigImage::walkLine(int32_t x0, int32_t y0, int32_t x1, int32_t y1, LineStyle* style, int64_t firstPoint)
{
    int64_t x = x0;
    int64_t y = y0;
    const int64_t dx = std::llabs(int64_t(x1) - x0);
    const int64_t dy = std::llabs(int64_t(y1) - y0);
    const int sx = x1 > x0 ? 1 : (x1 < x0 ? -1 : 0);
    const int sy = y1 > y0 ? 1 : (y1 < y0 ? -1 : 0);
    int64_t err = dx - dy;
    const bool dashed = style && (style->flags & LineStyle::StyleDashed);
    const size_t patternLength = style ? style->pattern.size() : 0;
    if (style && patternLength > 0)
        style->patternPos = int32_t(firstPoint % int64_t(patternLength));

    for (;;) {
        RgbPixel colour = colWhite;
        if (style) {
            colour = style->color;
            if (dashed && patternLength > 0 && style->pattern[size_t(style->patternPos) % patternLength])
                colour = style->altColor;
            ++style->patternPos;
        }
        if (x >= 0 && x < w_ && y >= 0 && y < h_)
            pixels_[offset(int32_t(x), int32_t(y))] = colour;
        if (x == x1 && y == y1)
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
