// The marker finder. The global estimate runs on grey copies reduced by whole-block averages
// to about 1500 pixels a side: ORB features (oriented, so a right image lying on its side
// still matches and its quarter turn follows from the fitted angle), a ratio test, and a
// RANSAC fit of rotation, scale and shift. Only small windows are read at full resolution:
// around each marker the right image is resampled into the left image's frame with the
// fitted transform and the left block is found in it by normalised correlation, twice, the
// second time with the transform that the first pass's two points give.
#include "markerfinder.h"

#include "assertion.h"
#include "largememory.h"
#include "parallel.h"
#include "progressinfo.h"

#include <opencv2/calib3d.hpp>
#include <opencv2/core.hpp>
#include <opencv2/features2d.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <new>

namespace Align {

namespace {

const QString kNoOverlap = QStringLiteral("No reliable overlap found between the two images.");

constexpr int kSmallSide = 1500;  // longest side of the grey copies
constexpr int kHalfBlock = 48;    // the correlation block is 97 × 97 full pixels
constexpr double kMinNcc = 0.5;   // weaker matches are not trusted
constexpr double kMaxAngle = 12.0; // degrees beyond a quarter turn
constexpr double kMaxScaleError = 0.02;
// A correlation peak must fall by this much per squared pixel along its flattest direction,
// and that fall must be this fraction of the steepest one.
constexpr double kMinCurvature = 0.0003;
constexpr double kMinRoundness = 0.1;

// p' = A·(x, y, 1).
using Affine = cv::Matx23d;

cv::Point2d apply(const Affine& a, cv::Point2d p)
{
    return {a(0, 0) * p.x + a(0, 1) * p.y + a(0, 2), a(1, 0) * p.x + a(1, 1) * p.y + a(1, 2)};
}

Affine compose(const Affine& outer, const Affine& inner)
{
    Affine r;
    for (int i = 0; i < 2; ++i) {
        for (int j = 0; j < 3; ++j)
            r(i, j) = outer(i, 0) * inner(0, j) + outer(i, 1) * inner(1, j) + (j == 2 ? outer(i, 2) : 0.0);
    }
    return r;
}

double angleOf(const Affine& a) { return std::atan2(a(1, 0), a(0, 0)); }
double scaleOf(const Affine& a) { return std::sqrt(std::abs(a(0, 0) * a(1, 1) - a(0, 1) * a(1, 0))); }

// The similarity that takes l1 to r1 and l2 to r2.
Affine fromTwoPoints(cv::Point2d l1, cv::Point2d l2, cv::Point2d r1, cv::Point2d r2, bool unitScale)
{
    const cv::Point2d dl = l2 - l1, dr = r2 - r1;
    const double angle = std::atan2(dr.y, dr.x) - std::atan2(dl.y, dl.x);
    const double s = unitScale ? 1.0 : std::hypot(dr.x, dr.y) / std::max(1e-9, std::hypot(dl.x, dl.y));
    Affine a(s * std::cos(angle), -s * std::sin(angle), 0, s * std::sin(angle), s * std::cos(angle), 0);
    // Anchored at the midpoints, so that a forced unit scale splits the error between both.
    const cv::Point2d lm = (l1 + l2) * 0.5, rm = (r1 + r2) * 0.5;
    const cv::Point2d moved = apply(a, lm);
    a(0, 2) = rm.x - moved.x;
    a(1, 2) = rm.y - moved.y;
    return a;
}

// Original right pixel → the same pixel after the quarter turn, for a w × h right image.
Affine turnMap(Turn turn, int w, int h)
{
    switch (turn) {
    case Turn::Clockwise: return Affine(0, -1, h - 1, 1, 0, 0);
    case Turn::HalfTurn: return Affine(-1, 0, w - 1, 0, -1, h - 1);
    case Turn::CounterClockwise: return Affine(0, 1, 0, -1, 0, w - 1);
    case Turn::None: break;
    }
    return Affine(1, 0, 0, 0, 1, 0);
}

// A grey copy reduced by whole f × f block means (partial blocks at the right and bottom
// borders average what they hold). Small pixel (i, j) has its centre at full pixel
// (f·i + (f − 1)/2, f·j + (f − 1)/2). Only columns from firstColumn on are read (those left
// of it stay 0), and blocks of 4 rows or more read every second row: this pass reads the
// whole image, it is the finder's largest cost.
cv::Mat reduceGrey(const BigImage& img, int f, int firstColumn = 0)
{
    const int w = img.width(), h = img.height();
    const int ws = (w + f - 1) / f, hs = (h + f - 1) / f;
    const int i0 = std::clamp(firstColumn / f, 0, ws);
    const int rowStep = f >= 4 ? 2 : 1;
    cv::Mat out = cv::Mat::zeros(hs, ws, CV_8U);
    parallelFor(hs, [&](int64_t j) {
        std::vector<uint32_t> sum(size_t(3 * ws), 0);
        const int y0 = int(j) * f, y1 = std::min(h, y0 + f);
        int rows = 0;
        for (int y = y0; y < y1; y += rowStep, ++rows) {
            const RgbPixel* row = img.row(y);
            for (int i = i0; i < ws; ++i) {
                const int x1 = std::min(w, (i + 1) * f);
                uint32_t r = 0, g = 0, b = 0;
                for (int x = i * f; x < x1; ++x) {
                    r += row[x].r;
                    g += row[x].g;
                    b += row[x].b;
                }
                uint32_t* s3 = &sum[size_t(3 * i)];
                s3[0] += r;
                s3[1] += g;
                s3[2] += b;
            }
        }
        uint8_t* o = out.ptr<uint8_t>(int(j));
        for (int i = i0; i < ws; ++i) {
            const uint32_t n = uint32_t((std::min(w, (i + 1) * f) - i * f) * rows);
            const uint32_t* s3 = &sum[size_t(3 * i)];
            // The grey weights of greyLevel, applied to the block's sums.
            o[i] = uint8_t((11 * s3[0] + 16 * s3[1] + 5 * s3[2] + 16 * n) / (32 * n));
        }
    });
    return out;
}

// At most about `count` of the strongest keypoints, spread evenly over a 16 × 16 grid, so that
// a narrow overlap gets its share next to dense text elsewhere.
std::vector<cv::KeyPoint> spread(const std::vector<cv::KeyPoint>& points, cv::Size size, int count)
{
    constexpr int kGrid = 16;
    std::vector<std::vector<cv::KeyPoint>> cells(kGrid * kGrid);
    for (const cv::KeyPoint& k : points) {
        const int i = std::clamp(int(k.pt.x * kGrid / size.width), 0, kGrid - 1);
        const int j = std::clamp(int(k.pt.y * kGrid / size.height), 0, kGrid - 1);
        cells[size_t(j * kGrid + i)].push_back(k);
    }
    const long used = std::count_if(cells.begin(), cells.end(), [](const auto& c) { return !c.empty(); });
    const size_t each = size_t(count / std::max(1L, used) + 1);
    std::vector<cv::KeyPoint> out;
    for (auto& c : cells) {
        std::sort(c.begin(), c.end(), [](const cv::KeyPoint& a, const cv::KeyPoint& b) { return a.response > b.response; });
        out.insert(out.end(), c.begin(), c.begin() + long(std::min(each, c.size())));
    }
    return out;
}

// The smaller eigenvalue of the structure tensor summed over box × box neighbourhoods.
cv::Mat cornerness(const cv::Mat& grey, int box)
{
    // Three planes in place of five: the products overwrite the gradients.
    cv::Mat xx, yy, xy;
    cv::Sobel(grey, xx, CV_32F, 1, 0);
    cv::Sobel(grey, yy, CV_32F, 0, 1);
    cv::multiply(xx, yy, xy);
    cv::multiply(xx, xx, xx);
    cv::multiply(yy, yy, yy);
    for (cv::Mat* m : {&xx, &yy, &xy})
        cv::boxFilter(*m, *m, -1, cv::Size(box, box));
    for (int j = 0; j < xx.rows; ++j) {
        float* a = xx.ptr<float>(j);
        const float* b = yy.ptr<float>(j);
        const float* c = xy.ptr<float>(j);
        for (int i = 0; i < xx.cols; ++i)
            a[i] = 0.5f * (a[i] + b[i]) - std::sqrt(0.25f * (a[i] - b[i]) * (a[i] - b[i]) + c[i] * c[i]);
    }
    return xx;
}

// Grey values of img in the rectangle [x0, x0 + w) × [y0, y0 + h), background outside.
cv::Mat greyWindow(const BigImage& img, int x0, int y0, int w, int h)
{
    cv::Mat out(h, w, CV_32F);
    const float bg = float(img.backgroundGrey());
    for (int j = 0; j < h; ++j) {
        float* o = out.ptr<float>(j);
        const int y = y0 + j;
        if (y < 0 || y >= img.height()) {
            std::fill(o, o + w, bg);
            continue;
        }
        const RgbPixel* row = img.row(y);
        for (int i = 0; i < w; ++i) {
            const int x = x0 + i;
            o[i] = x < 0 || x >= img.width() ? bg : float(greyLevel(row[x]));
        }
    }
    return out;
}

struct Match {
    bool ok = false;
    cv::Point2d right; // the matched position in the original right image
    double ncc = 0;
    double second = 0; // the best other local maximum of the correlation
    double sharpest = 0, flattest = 0; // the peak's curvatures across and along its ridge
    int halfBlock = 0;
};


// Finds the left block around p in the right image resampled into the left frame by a
// (left → original right), within ±radius pixels of where a puts it.
Match matchBlock(const BigImage& left, const BigImage& right, cv::Point p, const Affine& a, int radius, int t)
{
    Match m;
    m.halfBlock = t;
    const int reach = t + radius;
    const cv::Mat block = greyWindow(left, p.x - t, p.y - t, 2 * t + 1, 2 * t + 1);

    // The right window that the resampled area reads, with room for the bicubic taps.
    const cv::Point2d c[4] = {apply(a, cv::Point2d(p.x - reach, p.y - reach)),
                              apply(a, cv::Point2d(p.x + reach, p.y - reach)),
                              apply(a, cv::Point2d(p.x - reach, p.y + reach)),
                              apply(a, cv::Point2d(p.x + reach, p.y + reach))};
    double minX = c[0].x, maxX = c[0].x, minY = c[0].y, maxY = c[0].y;
    for (const cv::Point2d& q : c) {
        minX = std::min(minX, q.x);
        maxX = std::max(maxX, q.x);
        minY = std::min(minY, q.y);
        maxY = std::max(maxY, q.y);
    }
    const int wx = int(std::floor(minX)) - 3, wy = int(std::floor(minY)) - 3;
    const int ww = int(std::ceil(maxX)) + 4 - wx, wh = int(std::ceil(maxY)) + 4 - wy;
    if (ww > 16 * reach || wh > 16 * reach)
        return m;
    const cv::Mat window = greyWindow(right, wx, wy, ww, wh);

    // Area pixel (i, j) is left point (p.x − reach + i, p.y − reach + j).
    Affine toWindow = a;
    toWindow(0, 2) = a(0, 0) * (p.x - reach) + a(0, 1) * (p.y - reach) + a(0, 2) - wx;
    toWindow(1, 2) = a(1, 0) * (p.x - reach) + a(1, 1) * (p.y - reach) + a(1, 2) - wy;
    cv::Mat area;
    cv::warpAffine(window, area, cv::Mat(toWindow), cv::Size(2 * reach + 1, 2 * reach + 1),
                   cv::INTER_CUBIC | cv::WARP_INVERSE_MAP, cv::BORDER_REPLICATE);

    cv::Mat score;
    cv::matchTemplate(area, block, score, cv::TM_CCOEFF_NORMED);
    cv::Point peak;
    cv::minMaxLoc(score, nullptr, &m.ncc, nullptr, &peak);
    // A flat block correlates with nothing: OpenCV answers such places with odd values.
    cv::Scalar mean, dev;
    cv::meanStdDev(block, mean, dev);
    if (dev[0] < 2.0 || !std::isfinite(m.ncc))
        return m;
    const int n = 2 * radius + 1;
    if (peak.x == 0 || peak.y == 0 || peak.x == n - 1 || peak.y == n - 1)
        return m; // the match lies beyond the search range

    auto s = [&](int x, int y) { return double(score.at<float>(y, x)); };
    for (int y = 1; y < n - 1; ++y) {
        for (int x = 1; x < n - 1; ++x) {
            if (std::abs(x - peak.x) <= 2 && std::abs(y - peak.y) <= 2)
                continue;
            const double v = s(x, y);
            if (v <= m.second)
                continue;
            bool localMax = true;
            for (int dy = -1; dy <= 1 && localMax; ++dy)
                for (int dx = -1; dx <= 1 && localMax; ++dx)
                    localMax = s(x + dx, y + dy) <= v;
            if (localMax)
                m.second = v;
        }
    }
    // Sub-pixel peak: the vertex of the quadratic through the peak's 3 × 3 neighbourhood.
    // Its curvatures tell a peak from a ridge: a block whose edges all run one way (a lone
    // line) fixes no position along them.
    const int px = peak.x, py = peak.y;
    const double gx = 0.5 * (s(px + 1, py) - s(px - 1, py)), gy = 0.5 * (s(px, py + 1) - s(px, py - 1));
    const double hxx = s(px + 1, py) - 2 * s(px, py) + s(px - 1, py);
    const double hyy = s(px, py + 1) - 2 * s(px, py) + s(px, py - 1);
    const double hxy = 0.25 * (s(px + 1, py + 1) - s(px + 1, py - 1) - s(px - 1, py + 1) + s(px - 1, py - 1));
    const double tr = -(hxx + hyy), det = hxx * hyy - hxy * hxy;
    const double root = std::sqrt(std::max(0.0, 0.25 * tr * tr - det));
    m.sharpest = 0.5 * tr + root;
    m.flattest = 0.5 * tr - root;
    if (!(m.flattest >= kMinCurvature) || m.flattest < kMinRoundness * m.sharpest || det <= 0)
        return m;
    const double dx = px - radius + std::clamp(-(hyy * gx - hxy * gy) / det, -1.0, 1.0);
    const double dy = py - radius + std::clamp(-(hxx * gy - hxy * gx) / det, -1.0, 1.0);
    m.right = apply(a, cv::Point2d(p.x + dx, p.y + dy));
    m.ok = true;
    return m;
}

// A block of kHalfBlock first; smooth content (sky, haze, wide curves) gets a second chance
// with a block twice as wide, which sees more structure.
Match matchGrowing(const BigImage& left, const BigImage& right, cv::Point p, const Affine& a, int radius,
                   int firstHalf)
{
    Match m = matchBlock(left, right, p, a, radius, firstHalf);
    if ((!m.ok || m.ncc < kMinNcc) && firstHalf == kHalfBlock)
        m = matchBlock(left, right, p, a, radius, 2 * kHalfBlock);
    return m;
}

struct Refined {
    bool ok = false;
    Match red, blue;
    QString message;
};

// Both markers: a wide pass with a, then a narrow one with the transform of its two points.
Refined refinePair(const BigImage& left, const BigImage& right, cv::Point red, cv::Point blue, Affine a,
                   int radius, int halfBlock, ProgressInfo* progress, float from, float to)
{
    Refined r;
    for (int pass = 0; pass < 2; ++pass) {
        r.red = matchGrowing(left, right, red, a, radius, pass ? r.red.halfBlock : halfBlock);
        r.blue = matchGrowing(left, right, blue, a, radius, pass ? r.blue.halfBlock : halfBlock);
        if (progress)
            progress->value = from + (to - from) * float(pass + 1) / 2.0f;
        if (!r.red.ok || !r.blue.ok || std::min(r.red.ncc, r.blue.ncc) < kMinNcc) {
            r.message = QStringLiteral("The markers' surroundings could not be matched in the right image: "
                                       "place the markers on distinct content.");
            return r;
        }
        a = fromTwoPoints(red, blue, r.red.right, r.blue.right, false);
        radius = 3;
    }
    r.ok = true;
    return r;
}

// Rows y of left column x where (x, y) lies inside the left rectangle and a(x, y) inside the
// right one, both shrunk by `inset`.
std::pair<double, double> sharedRows(const Affine& a, double x, int leftH, int rightW, int rightH, double inset)
{
    double lo = inset, hi = leftH - 1 - inset;
    auto clip = [&](double u0, double k, double min, double max) {
        if (std::abs(k) < 1e-12) {
            if (u0 < min || u0 > max)
                hi = lo - 1;
            return;
        }
        double y0 = (min - u0) / k, y1 = (max - u0) / k;
        if (y0 > y1)
            std::swap(y0, y1);
        lo = std::max(lo, y0);
        hi = std::min(hi, y1);
    };
    clip(a(0, 0) * x + a(0, 2), a(0, 1), inset, rightW - 1 - inset);
    clip(a(1, 0) * x + a(1, 2), a(1, 1), inset, rightH - 1 - inset);
    return {lo, hi};
}

struct GlobalFit {
    bool ok = false;
    int f = 0;        // the reduction
    Affine a;         // left full pixel → original right full pixel
    int inliers = 0;
    cv::Mat smallLeft; // the left image reduced by f
};

// The rotation and shift from ORB features on grey copies reduced by f; not ok when too few
// features agree or the fit is no turn and shift of a same-scale scan.
GlobalFit fitFeatures(const BigImage& left, const BigImage& right, int f)
{
    GlobalFit g;
    g.f = f;
    // Left features only where a right image can overlap it: its right part.
    const double narrow = std::min({left.width(), right.width(), right.height()}) / double(f);
    const int firstColumn = std::max(0, int(left.width() - 0.65 * narrow * f));
    g.smallLeft = reduceGrey(left, f, firstColumn);
    const cv::Mat smallRight = reduceGrey(right, f);

    cv::Mat leftMask = cv::Mat::zeros(g.smallLeft.size(), CV_8U);
    leftMask.colRange(std::min(g.smallLeft.cols - 1, firstColumn / f + 8), g.smallLeft.cols).setTo(255);
    cv::Ptr<cv::ORB> orb = cv::ORB::create(60000, 1.3f, 3, 9, 0, 2, cv::ORB::HARRIS_SCORE, 17, 5);
    std::vector<cv::KeyPoint> kl, kr;
    cv::Mat dl, dr;
    // Local contrast equalised, so that smooth photographs (sky, haze) still give features.
    cv::Ptr<cv::CLAHE> clahe = cv::createCLAHE(3.0, cv::Size(8, 8));
    cv::Mat el, er;
    clahe->apply(g.smallLeft, el);
    clahe->apply(smallRight, er);
    orb->detect(el, kl, leftMask);
    orb->detect(er, kr);
    kl = spread(kl, el.size(), 3000);
    kr = spread(kr, er.size(), 6000);
    orb->compute(el, kl, dl);
    orb->compute(er, kr, dr);
    if (kl.size() < 8 || kr.size() < 8)
        return g;

    // A match passes when it is clearly the best for its left feature, or when the two are
    // each other's best: text repeats its glyphs, so its true matches often have a close
    // second and only the robust fit tells them apart.
    std::vector<std::vector<cv::DMatch>> knn, back;
    cv::BFMatcher matcher(cv::NORM_HAMMING);
    matcher.knnMatch(dl, dr, knn, 2);
    matcher.knnMatch(dr, dl, back, 1);
    std::vector<cv::Point2f> pl, pr;
    for (const auto& m : knn) {
        if (m.empty())
            continue;
        const bool clear = m.size() == 2 && m[0].distance < 0.85f * m[1].distance;
        const auto& b = back[size_t(m[0].trainIdx)];
        const bool mutual = !b.empty() && b[0].trainIdx == m[0].queryIdx && (m.size() < 2 || m[0].distance < 0.97f * m[1].distance);
        if (clear || mutual) {
            pl.push_back(kl[size_t(m[0].queryIdx)].pt);
            pr.push_back(kr[size_t(m[0].trainIdx)].pt);
        }
    }
    if (pl.size() < 8)
        return g;
    std::vector<uchar> inliers;
    // Small overlaps leave few true matches among many: enough iterations for 2 % inliers.
    const cv::Mat fit = cv::estimateAffinePartial2D(pl, pr, inliers, cv::RANSAC, 2.0, 20000, 0.999, 10);
    g.inliers = cv::countNonZero(inliers);
    if (fit.empty() || g.inliers < 12)
        return g;

    // From reduced to full pixels: small pixel i has its centre at full f·i + (f − 1)/2.
    const Affine s(fit);
    const double c = (f - 1) / 2.0;
    g.a = s;
    g.a(0, 2) = f * s(0, 2) + c - (s(0, 0) * c + s(0, 1) * c);
    g.a(1, 2) = f * s(1, 2) + c - (s(1, 0) * c + s(1, 1) * c);
    // The angle is checked once the quarter turn is known.
    g.ok = std::abs(scaleOf(g.a) - 1.0) <= kMaxScaleError;
    return g;
}

MarkerResult refusal(const QString& message)
{
    MarkerResult r;
    r.message = message;
    return r;
}

double confidenceOf(const Refined& r)
{
    auto one = [](const Match& m) { return m.ncc * std::clamp((m.ncc - m.second) / 0.15, 0.0, 1.0); };
    return std::min(one(r.red), one(r.blue));
}

// Refuses matches that another place fits almost as well (repeated glyphs, hatching).
bool ambiguous(const Refined& r)
{
    return r.red.ncc - r.red.second < 0.03 || r.blue.ncc - r.blue.second < 0.03;
}

MarkerResult placeMarkers(const BigImage& left, const BigImage& right, const GlobalFit& g, ProgressInfo* progress);

MarkerResult find(const BigImagePtr& leftPtr, const BigImagePtr& rightPtr, ProgressInfo* progress)
{
    const BigImage& left = *leftPtr;
    const BigImage& right = *rightPtr;
    const int minSide = 4 * kHalfBlock;
    if (std::min({left.width(), left.height(), right.width(), right.height()}) < minSide)
        return refusal("Finding markers needs images of at least " + QString::number(minSide)
                       + " pixels a side.");
    if (progress)
        progress->set(0.0f, QStringLiteral("Finding Markers…"));

    // A narrow overlap may hold too few features at the first reduction, or features that
    // agree by chance: then finer reductions.
    const int longest = std::max({left.width(), left.height(), right.width(), right.height()});
    const int f0 = std::max(1, (longest + kSmallSide - 1) / kSmallSide);
    MarkerResult last = refusal(kNoOverlap);
    int tried = 0;
    for (int f : {f0, f0 / 2, f0 / 4}) {
        if (f < 1 || f == tried)
            break;
        tried = f;
        const GlobalFit g = fitFeatures(left, right, f);
        if (progress)
            progress->value = 0.7f;
        if (g.ok)
            last = placeMarkers(left, right, g, progress);
        if (last.found)
            break;
    }
    return last;
}

// Seam column, marker rows and the refined right markers from a global fit.
MarkerResult placeMarkers(const BigImage& left, const BigImage& right, const GlobalFit& g, ProgressInfo* progress)
{
    const int f = g.f;
    const Affine& a = g.a;
    const cv::Mat& smallLeft = g.smallLeft;
    const double c = (f - 1) / 2.0;
    const int inlierCount = g.inliers;

    // The quarter turn that leaves the smallest angle.
    MarkerResult result;
    Affine turned = a;
    int turnedW = right.width(), turnedH = right.height();
    double bestAngle = 1e9;
    for (Turn t : {Turn::None, Turn::Clockwise, Turn::HalfTurn, Turn::CounterClockwise}) {
        const Affine m = compose(turnMap(t, right.width(), right.height()), a);
        if (std::abs(angleOf(m)) < std::abs(bestAngle)) {
            bestAngle = angleOf(m);
            result.turn = t;
            turned = m;
            const bool side = t == Turn::Clockwise || t == Turn::CounterClockwise;
            turnedW = side ? right.height() : right.width();
            turnedH = side ? right.width() : right.height();
        }
    }
    if (std::abs(bestAngle) * 180.0 / M_PI > kMaxAngle)
        return refusal(kNoOverlap);

    // The seam column: the middle of the columns where both images share enough rows.
    const int radius = std::max(8, 3 * f);
    const double searchInset = radius + 8;
    const int step = std::max(1, left.width() / 512);
    std::vector<std::pair<int, double>> lengths;
    double longestRun = 0;
    for (int x = 0; x < left.width(); x += step) {
        const auto rows = sharedRows(turned, x, left.height(), turnedW, turnedH, searchInset);
        const double len = rows.second - rows.first;
        if (x < searchInset || x > left.width() - 1 - searchInset || len <= 0)
            continue;
        lengths.emplace_back(x, len);
        longestRun = std::max(longestRun, len);
    }
    int xa = -1, xb = -1;
    for (const auto& [x, len] : lengths) {
        if (len >= 0.5 * longestRun) {
            xa = xa < 0 ? x : xa;
            xb = x;
        }
    }
    // A narrow overlap gets a narrower block, so that the block stays inside both images.
    const int t = std::min(kHalfBlock, (xb - xa) / 2 - 2);
    if (xa < 0 || t < 12 || longestRun < 4 * t)
        return refusal(kNoOverlap);
    const double inset = searchInset + t;

    // Texture decides among the middle half of those columns and among rows near the top and
    // the bottom of the shared rows: the smaller eigenvalue of the block's structure tensor,
    // high only where edges run in two directions (blank paper and a lone straight line
    // cannot fix a position).
    const int box = std::max(3, (2 * t + 1) / f) | 1;
    // Only the columns that the seam may take, to keep the float planes small.
    const double mid = 0.5 * (xa + xb), half = 0.25 * (xb - xa);
    const int firstCol = std::clamp(int((mid - half - c) / f) - box, 0, smallLeft.cols - 1);
    const int lastCol = std::clamp(int((mid + half - c) / f) + box + 1, firstCol + 1, smallLeft.cols);
    const cv::Mat texture = cornerness(smallLeft.colRange(firstCol, lastCol), box);
    auto textureAt = [&](double x, double y) {
        const int i = std::clamp(int(std::lround((x - c) / f)) - firstCol, 0, texture.cols - 1);
        const int j = std::clamp(int(std::lround((y - c) / f)), 0, texture.rows - 1);
        return double(texture.at<float>(j, i));
    };
    // A column needs texture near the top and near the bottom of its shared rows.
    auto bandBest = [&](double x, double from, double to) {
        double best = 0;
        for (double y = from; y <= to; y += f)
            best = std::max(best, textureAt(x, y));
        return best;
    };
    int seamX = int(std::lround(mid));
    double bestScore = -1;
    for (double x = mid - half; x <= mid + half; x += std::max(1, f)) {
        const auto rows = sharedRows(turned, x, left.height(), turnedW, turnedH, inset);
        const double len = rows.second - rows.first;
        const double top = bandBest(x, rows.first + 0.05 * len, rows.first + 0.3 * len);
        const double bottom = bandBest(x, rows.second - 0.3 * len, rows.second - 0.05 * len);
        const double score = std::min(top, bottom) * (1.0 - 0.5 * std::abs(x - mid) / std::max(1.0, half));
        if (score > bestScore) {
            bestScore = score;
            seamX = int(std::lround(x));
        }
    }
    const auto rows = sharedRows(turned, seamX, left.height(), turnedW, turnedH, inset);
    const double len = rows.second - rows.first;
    if (len < 4 * t)
        return refusal(kNoOverlap);
    // The best rows of a range, at least a block apart, best first.
    auto bestRows = [&](double from, double to) {
        std::vector<std::pair<double, int>> scored;
        for (double y = from; y <= to; y += std::max(1, f / 2))
            scored.emplace_back(-textureAt(seamX, y), int(std::lround(y)));
        std::sort(scored.begin(), scored.end());
        std::vector<int> picked;
        for (const auto& [score, y] : scored) {
            bool apart = true;
            for (int p : picked)
                apart = apart && std::abs(p - y) > 2 * t;
            if (apart)
                picked.push_back(y);
            if (picked.size() == 3)
                break;
        }
        return picked;
    };
    const double margin = 0.05 * len;
    const std::vector<int> reds = bestRows(rows.first + margin, rows.first + 0.3 * len);
    const std::vector<int> blues = bestRows(rows.second - 0.3 * len, rows.second - margin);
    if (reds.empty() || blues.empty())
        return refusal(kNoOverlap);

    Refined r;
    int redY = 0, blueY = 0;
    Affine pair;
    for (size_t attempt = 0; attempt < std::max(reds.size(), blues.size()) && !r.ok; ++attempt) {
        redY = reds[std::min(attempt, reds.size() - 1)];
        blueY = blues[std::min(attempt, blues.size() - 1)];
        r = refinePair(left, right, {seamX, redY}, {seamX, blueY}, a, radius, t, progress, 0.7f, 1.0f);
        if (!r.ok || ambiguous(r)) {
            r.ok = false;
            continue;
        }
        // Same scanner: the refined pair keeps distances within a fraction of a percent and
        // turns by the features' angle; a block matched on a repeat of its content does not.
        pair = fromTwoPoints({double(seamX), double(redY)}, {double(seamX), double(blueY)}, r.red.right,
                             r.blue.right, false);
        const double dist = blueY - redY;
        r.ok = std::abs(scaleOf(pair) - 1.0) <= 0.005
               && std::abs(angleOf(pair) - angleOf(a)) * dist <= std::max(3.0 * f, 0.005 * dist);
    }
    if (!r.ok)
        return refusal(kNoOverlap);

    const Affine q = turnMap(result.turn, right.width(), right.height());
    const cv::Point2d tr = apply(q, r.red.right), tb = apply(q, r.blue.right);
    result.found = true;
    result.markers = {double(seamX), double(redY), double(blueY), tr.x, tr.y, tb.x, tb.y};
    result.angleDegrees = angleOf(compose(q, pair)) * 180.0 / M_PI;
    result.confidence = confidenceOf(r) * std::min(1.0, inlierCount / 40.0);
    return result;
}

MarkerResult refine(const BigImagePtr& leftPtr, const BigImagePtr& rightPtr, const MarkerPixels& given,
                    ProgressInfo* progress)
{
    if (progress)
        progress->set(0.0f, QStringLiteral("Refining Markers…"));
    const cv::Point red(int(std::lround(given.leftX)), int(std::lround(given.leftRedY)));
    const cv::Point blue(int(std::lround(given.leftX)), int(std::lround(given.leftBlueY)));
    if (std::abs(blue.y - red.y) < 2 * kHalfBlock)
        return refusal(QStringLiteral("The red and blue markers are too close together to be refined."));
    const Affine a = fromTwoPoints(red, blue, {given.rightRedX, given.rightRedY},
                                   {given.rightBlueX, given.rightBlueY}, true);
    const Refined r = refinePair(*leftPtr, *rightPtr, red, blue, a, 40, kHalfBlock, progress, 0.0f, 1.0f);
    if (!r.ok)
        return refusal(r.message);
    if (ambiguous(r))
        return refusal(QStringLiteral("The markers' surroundings repeat nearby, so the match is not certain: "
                                      "place the markers on distinct content."));
    MarkerResult result;
    result.found = true;
    result.markers = given;
    result.markers.leftX = red.x;
    result.markers.leftRedY = red.y;
    result.markers.leftBlueY = blue.y;
    result.markers.rightRedX = r.red.right.x;
    result.markers.rightRedY = r.red.right.y;
    result.markers.rightBlueX = r.blue.right.x;
    result.markers.rightBlueY = r.blue.right.y;
    const Affine pair = fromTwoPoints(red, blue, r.red.right, r.blue.right, false);
    result.angleDegrees = angleOf(pair) * 180.0 / M_PI;
    result.confidence = confidenceOf(r);
    return result;
}

template <typename Body>
MarkerResult guarded(const BigImagePtr& left, const BigImagePtr& right, Body body)
{
    if (!left || !right)
        return refusal(QStringLiteral("Load both images first."));
    try {
        return body();
    } catch (const std::bad_alloc&) {
        return refusal(LargeMemory::failureText(QStringLiteral("out of memory. exit.")));
    } catch (const cv::Exception& e) {
        return refusal(QString("Finding markers failed: ") + QString::fromStdString(e.msg));
    }
}

} // namespace

QString turnName(Turn turn)
{
    switch (turn) {
    case Turn::Clockwise: return QStringLiteral("cw");
    case Turn::HalfTurn: return QStringLiteral("180");
    case Turn::CounterClockwise: return QStringLiteral("ccw");
    case Turn::None: break;
    }
    return QString();
}

MarkerResult findMarkers(const BigImagePtr& left, const BigImagePtr& right, ProgressInfo* progress)
{
    return guarded(left, right, [&] { return find(left, right, progress); });
}

MarkerResult refineMarkers(const BigImagePtr& left, const BigImagePtr& right, const MarkerPixels& given,
                           ProgressInfo* progress)
{
    return guarded(left, right, [&] { return refine(left, right, given, progress); });
}

} // namespace Align
