// Seam quality from the traced path. A slice's chosen cell is recovered from its offset
// (cell = offset × scale + (G/2, H/2), exact: offsets are multiples of 1/scale), and the block
// pair is read as errorRow compares it: left strip columns 0 .. 4 around the slice's row,
// band pixels `scale` apart around the cell's band position (upsampled band coordinates).
// The noise of each side is the median over the blocks of a second-difference estimate, so
// that edges and texture, which a minority of blocks carry, do not count as noise.
#include "seamquality.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

namespace StitchEngine {

namespace {

// 25 pixels, column-major as the search stores a block: (j, i) is column j, row i.
using Block = RgbPixel[25];

inline double channel(const RgbPixel& p, int ch)
{
    return double(ch == 0 ? p.r : ch == 1 ? p.g : p.b);
}

// Sums over one block pair with the means removed per channel.
struct BlockMoments {
    double cov = 0.0;
    double varL = 0.0;
    double varR = 0.0;
};

BlockMoments blockMoments(const Block& a, const Block& b)
{
    BlockMoments m;
    for (int ch = 0; ch < 3; ++ch) {
        double meanA = 0.0, meanB = 0.0;
        for (int n = 0; n < 25; ++n) {
            meanA += channel(a[n], ch);
            meanB += channel(b[n], ch);
        }
        meanA /= 25.0;
        meanB /= 25.0;
        for (int n = 0; n < 25; ++n) {
            const double da = channel(a[n], ch) - meanA;
            const double db = channel(b[n], ch) - meanB;
            m.cov += da * db;
            m.varL += da * da;
            m.varR += db * db;
        }
    }
    return m;
}

// Noise variance per value of one block: white noise gives second differences of variance
// 6·σ². Of the two directions the smoother one counts, so that an edge across the block is
// not taken for noise.
double blockNoise(const Block& a)
{
    double down = 0.0, across = 0.0;
    for (int ch = 0; ch < 3; ++ch)
        for (int u = 0; u < 5; ++u)
            for (int v = 1; v < 4; ++v) {
                const double dv = channel(a[u * 5 + v - 1], ch) - 2.0 * channel(a[u * 5 + v], ch)
                                  + channel(a[u * 5 + v + 1], ch);
                const double dh = channel(a[(v - 1) * 5 + u], ch) - 2.0 * channel(a[v * 5 + u], ch)
                                  + channel(a[(v + 1) * 5 + u], ch);
                down += dv * dv;
                across += dh * dh;
            }
    return std::min(down, across) / (45.0 * 6.0);
}

double median(std::vector<double>& v)
{
    if (v.empty())
        return 0.0;
    std::nth_element(v.begin(), v.begin() + ptrdiff_t(v.size() / 2), v.end());
    return v[v.size() / 2];
}

// Whole percent rounded down, so that a figure shown never passes a threshold that the value
// missed (69.6 % is not "70 %" below a limit of 70 %).
long percent(double fraction)
{
    return long(std::floor(100.0 * std::max(0.0, fraction) + 1e-9));
}

} // namespace

SeamQuality measureSeam(const StripData& left, const StripData& band, const SquareErrorField& field,
                        const std::vector<float2>& offsets)
{
    SeamQuality q;
    const int32_t n = field.sliceCount;
    if (n <= 0 || int64_t(offsets.size()) < n)
        return q;
    const int32_t s = field.scale;
    const int32_t G = field.sliceWidth;
    const int32_t H = field.sliceHeight;
    const BigImage& strip = *left.img;
    const BigImage& rightBand = *band.img;
    int32_t missing = 0, pinned = 0;
    double cov = 0.0, var = 0.0;
    std::vector<double> noiseL, noiseR;
    for (int32_t k = 0; k < n; ++k) {
        if (field.missing[k]) {
            ++missing;
            continue;
        }
        // Pinned slices hold the path at the markers, wherever the content is.
        const int32_t y = k * field.rowStep;
        if (std::abs(y - left.redY) < kMarkerRadius || std::abs(y - left.blueY) < kMarkerRadius) {
            ++pinned;
            continue;
        }
        const int32_t cellX = int32_t(std::lround(offsets[size_t(k)].x * float(s))) + G / 2;
        const int32_t cellY = int32_t(std::lround(offsets[size_t(k)].y * float(s))) + H / 2;
        // The band block's centre, as errorRow places it for this cell.
        const int32_t bx = band.centerX - G / 2 + cellX;
        const int32_t by = band.redY + s * (y - left.redY) - H / 2 + cellY;
        if (bx - 2 * s < 0 || bx + 2 * s >= rightBand.width() || by - 2 * s < 0 || by + 2 * s >= rightBand.height())
            continue;
        Block a, b;
        for (int j = 0; j < 5; ++j)
            for (int i = 0; i < 5; ++i) {
                a[j * 5 + i] = strip.pixelAt(j, y - 2 + i);
                b[j * 5 + i] = rightBand.pixelAt(bx + s * (j - 2), by + s * (i - 2));
            }
        const BlockMoments m = blockMoments(a, b);
        cov += m.cov;
        var += m.varL + m.varR;
        noiseL.push_back(blockNoise(a));
        noiseR.push_back(blockNoise(b));
        ++q.compared;
    }
    q.missingFraction = float(missing) / float(n);
    q.pinnedFraction = float(pinned) / float(n);
    if (q.compared > 0) {
        // Per value: 75 values per block, two blocks per slice.
        const double values = 150.0 * q.compared;
        const double noise = 0.5 * (median(noiseL) + median(noiseR));
        const double signal = var - values * noise;
        q.noise = float(noise);
        q.detail = float(std::max(0.0, signal / values));
        q.measurable = q.compared >= kMinCompared && q.detail >= std::max(kMinDetail, q.noise);
        if (signal > 0.0)
            q.match = float(std::min(1.0, 2.0 * cov / signal));
    }
    q.suspicious = q.missingFraction > kMostlyMissing || (q.measurable && q.match < kPoorMatch);
    return q;
}

QString seamQualityText(const SeamQuality& q)
{
    const QString check = QStringLiteral(" Check that the markers sit on the same content in both images.");
    if (q.missingFraction > kMostlyMissing)
        return QStringLiteral("Warning: only %1 % of the seam lies in both images; the rest was not matched.")
                   .arg(percent(1.0 - double(q.missingFraction)))
               + check;
    if (!q.measurable)
        return QStringLiteral("Seam match: not measurable (too little detail along the seam).");
    if (q.suspicious)
        return QStringLiteral("Warning: the seam matched poorly (%1 %).").arg(percent(q.match)) + check;
    return QStringLiteral("Seam match: %1 %.").arg(percent(q.match));
}

} // namespace StitchEngine
