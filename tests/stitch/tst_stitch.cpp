// The stitch engine against a plain scalar reference written from the algorithm's text (every
// float and byte must agree, with and without the AVX paths), the edge cases of each step,
// whole stitches of an image cut in two, and a golden hash of one complete stitch.
#include "alignment.h"
#include "composition.h"
#include "errorfield.h"
#include "offsetpath.h"
#include "plainstitch.h"
#include "progressinfo.h"
#include "sampling.h"
#include "stitcher.h"
#include "testimages.h"

#include <QCryptographicHash>
#include <QProcess>
#include <QtConcurrent>
#include <QtTest>

#include <limits>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstring>

using namespace StitchEngine;

Q_DECLARE_METATYPE(StitchGeometry)

namespace {

StitchGeometry geometry(int32_t xL, int32_t yL, int32_t yLb, int32_t xR, int32_t yR, int32_t yRb, float angle,
                        int32_t corridor = 50)
{
    StitchGeometry g;
    g.xL = xL, g.yL = yL, g.yLb = yLb, g.xR = xR, g.yR = yR, g.xRb = xR, g.yRb = yRb, g.angle = angle;
    g.corridor = corridor;
    return g;
}

// Floats compared exactly: nine significant digits name every float uniquely.
QString exact(float v)
{
    return QString::number(double(v), 'g', 9);
}

// Left and right inputs: unrelated noise, or two overlapping cuts of one terrain in which
// right column xR + 1 shows left column xL (one pixel off, so the path has work to do).
void makePair(const QString& content, QSize ls, QSize rs, const StitchGeometry& g, BigImagePtr& left,
              BigImagePtr& right)
{
    if (content == "random") {
        left = makeRandom(ls.width(), ls.height(), 11);
        right = makeRandom(rs.width(), rs.height(), 12);
        return;
    }
    const auto terrain = makeTerrain(400, 240, 7);
    left = cutOut(terrain, 0, 0, ls.width(), ls.height());
    right = cutOut(terrain, g.xL - g.xR - 1, g.yL - g.yR + 1, rs.width(), rs.height());
}

// Where the engine's field first differs from the reference, or empty.
QString fieldDifference(const SquareErrorField& e, const PlainField& p)
{
    if (e.sliceWidth != p.G || e.sliceCount != p.n || e.values.size() != p.v.size())
        return QString("size %1 x %2 vs %3 x %4").arg(e.sliceWidth).arg(e.sliceCount).arg(p.G).arg(p.n);
    for (int32_t k = 0; k < p.n; ++k)
        if (e.missing[k] != p.missing[size_t(k)])
            return QString("missing flag of slice %1").arg(k);
    for (size_t i = 0; i < p.v.size(); ++i)
        if (std::memcmp(&e.values[i], &p.v[i], sizeof(float)) != 0)
            return QString("slice %1 row %2 column %3: %4 vs %5")
                .arg(i / size_t(p.G * p.H)).arg(i / size_t(p.G) % size_t(p.H)).arg(i % size_t(p.G))
                .arg(double(e.values[i]), 0, 'g', 9).arg(double(p.v[i]), 0, 'g', 9);
    return QString();
}

void verifySameImage(const BigImagePtr& engine, const BigImagePtr& plain)
{
    QVERIFY(engine && plain);
    QVERIFY2(samePixels(*engine, *plain), qPrintable(firstDifferences(*engine, *plain)));
}

void verifySameOffsets(const std::vector<float2>& engine, const std::vector<float2>& expected)
{
    QCOMPARE(engine.size(), expected.size());
    for (size_t i = 0; i < engine.size(); ++i) {
        QCOMPARE(exact(engine[i].x), exact(expected[i].x));
        QCOMPARE(exact(engine[i].y), exact(expected[i].y));
    }
}

// A field of n slices of G × H, every value v.
SquareErrorField uniformField(int32_t n, int32_t G, int32_t H, float v)
{
    SquareErrorField f;
    f.sliceWidth = G, f.sliceHeight = H, f.sliceCount = n, f.sliceSize = int64_t(G) * H;
    f.values.assign(size_t(f.sliceSize * n), v);
    f.missing = QVector<bool>(n, false);
    return f;
}

// Analytic content for the whole-stitch test: smooth shading with detail down to periods of
// about 12 pixels, defined at every real position so that a turned cut needs no resampling.
RgbPixel patternAt(double x, double y)
{
    auto byte = [](double v) { return uint8_t(std::min(255.0, std::max(0.0, v + 0.5))); };
    return RgbPixel{byte(128 + 50 * std::sin(0.31 * x + 0.17 * y) + 40 * std::sin(0.23 * y - 0.41 * x + 1)),
                    byte(128 + 60 * std::sin(0.19 * x) * std::cos(0.27 * y) + 30 * std::sin(0.53 * (x + y))),
                    byte(128 + 45 * std::cos(0.37 * x - 0.29 * y) + 35 * std::sin(0.13 * x + 0.47 * y))};
}

} // namespace

class TestStitch : public QObject {
    Q_OBJECT
private slots:
    void matchesPlainReference_data();
    void matchesPlainReference();
    void referenceWithoutAvx();
    void markersGiveBand_data();
    void farMarkersAreHeld();
    void markersGiveBand();
    void sliceBorderAndPins_data();
    void sliceBorderAndPins();
    void accumulation_data();
    void accumulation();
    void minNeighbourWeights_data();
    void minNeighbourWeights();
    void bestCellAndStepLimit_data();
    void bestCellAndStepLimit();
    void mergePaths_data();
    void mergePaths();
    void smoothing_data();
    void smoothing();
    void transitionZoneColumns();
    void fewLeftRows_data();
    void fewLeftRows();
    void noResult_data();
    void noResult();
    void cutImageStitchesBack_data();
    void cutImageStitchesBack();
    void seamQuality_data();
    void seamQuality();
    void concurrentStitchesAgree();
    void goldenHash();
};

void TestStitch::matchesPlainReference_data()
{
    QTest::addColumn<QString>("content");
    QTest::addColumn<QSize>("leftSize");
    QTest::addColumn<QSize>("rightSize");
    QTest::addColumn<StitchGeometry>("g");
    const QSize l(60, 90), r(64, 96), w(180, 96);
    QTest::newRow("noise, angle 0") << "random" << l << r << geometry(30, 25, 70, 12, 30, 75, 0.0f);
    QTest::newRow("terrain, small turn, plain copy") << "terrain" << l << w << geometry(40, 20, 70, 20, 25, 75, 0.05f);
    QTest::newRow("terrain, corridor 60, turn") << "terrain" << l << w << geometry(35, 30, 60, 30, 28, 60, -0.12f, 60);
    QTest::newRow("noise, corridor 52, blue pins") << "random" << l << w << geometry(20, 22, 50, 40, 30, 61, 0.02f, 52);
    QTest::newRow("xL = 0") << "terrain" << l << w << geometry(0, 30, 70, 25, 35, 75, 0.03f);
    QTest::newRow("right marker at right border") << "terrain" << l << r << geometry(45, 30, 70, 64, 32, 75, 0.0f);
    QTest::newRow("rows outside rotated right") << "random" << l << w << geometry(30, 10, 80, 20, 70, 90, 0.08f);
    QTest::newRow("markers at borders") << "random" << l << r << geometry(1, 2, 88, 2, 1, 95, -0.3f);
    QTest::newRow("upside down") << "random" << l << w << geometry(30, 40, 80, 60, 48, 8, -3.1415927f);
    QTest::newRow("large turn") << "terrain" << l << w << geometry(50, 45, 85, 30, 40, 80, 0.6f);
}

void TestStitch::matchesPlainReference()
{
    QFETCH(QString, content);
    QFETCH(QSize, leftSize);
    QFETCH(QSize, rightSize);
    QFETCH(StitchGeometry, g);
    BigImagePtr left, right;
    makePair(content, leftSize, rightSize, g, left, right);
    const Plain plain = plainStitch(*left, *right, g);

    StripData strip, band;
    prepareLeftStrip(left, g.xL, g.yL, g.yLb, strip, nullptr);
    prepareRightBand(band, 2, g.angle, g.corridor, g.xR, g.yR, g.xRb, g.yRb, nullptr, right);
    verifySameImage(strip.img, plain.strip);
    verifySameImage(band.img, plain.band);
    SquareErrorField field;
    fillErrorField(strip, band, field, nullptr);
    QString diff = fieldDifference(field, plain.filled);
    QVERIFY2(diff.isEmpty(), qPrintable("filled: " + diff));
    ProgressInfo progress;
    correlateData(field, progress);
    diff = fieldDifference(field, plain.accumulated);
    QVERIFY2(diff.isEmpty(), qPrintable("accumulated: " + diff));
    std::vector<float2> offsets;
    tracePath(field, offsets);
    verifySameOffsets(offsets, plain.offsets);
    verifySameImage(composeResult(offsets, 2, g.angle, g.xL, g.yL, g.xR, g.yR, left, right, nullptr), plain.result);
    // Offsets far beyond any the search yields: the zone's rotated part must still hold every tap.
    std::vector<float2> wild(offsets.size());
    std::mt19937 rng(5);
    for (float2& d : wild)
        d = float2{float(int(rng() % 121) - 60) * 0.5f, float(int(rng() % 81) - 40) * 0.5f};
    verifySameImage(composeResult(wild, 2, g.angle, g.xL, g.yL, g.xR, g.yR, left, right, nullptr),
                    plainCompose(*left, *right, g, wild));

    const StitchOutcome outcome = stitchImages(left, right, g, nullptr);
    verifySameImage(outcome.image, plain.result);
    QCOMPARE(outcome.stitchStart, g.xL);
    QCOMPARE(outcome.stitchEnd, g.xL + 100);

    // Composed in the left image's own block (wider or narrower): the same bytes.
    const BigImagePtr grown = deepCopy(left);
    const StitchOutcome onto = stitchOnto(grown, right, g, nullptr);
    QCOMPARE(onto.image, grown);
    verifySameImage(grown, plain.result);
}

void TestStitch::referenceWithoutAvx()
{
    // The engine reads the switch once per process, so the scalar and SSE paths run in a child.
    if (qEnvironmentVariableIsSet("SEAMWRIGHT_NO_AVX"))
        QSKIP("this process already runs without AVX");
    QProcess child;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("SEAMWRIGHT_NO_AVX", "1");
    child.setProcessEnvironment(env);
    child.setProcessChannelMode(QProcess::MergedChannels);
    child.start(QCoreApplication::applicationFilePath(), {"matchesPlainReference", "goldenHash"});
    QVERIFY(child.waitForFinished(60000));
    const QByteArray out = child.readAll();
    QVERIFY2(child.exitStatus() == QProcess::NormalExit && child.exitCode() == 0, out.constData());
}

void TestStitch::markersGiveBand_data()
{
    QTest::addColumn<int>("slider");
    QTest::addColumn<float>("blueY"); // right red marker at (0.5, 0.25), blue at (0.5, blueY)
    QTest::addColumn<int>("corridor");
    QTest::addColumn<float>("angle");
    QTest::newRow("51, blue straight below") << 51 << 0.75f << 52 << 0.0f;
    QTest::newRow("52, blue straight above") << 52 << 0.1f << 52 << -3.1415927f;
    QTest::newRow("25") << 25 << 0.75f << 26 << 0.0f;
}

void TestStitch::farMarkersAreHeld()
{
    // Unvalidated markers far outside the images stop at ±2^28 pixels instead of overflowing.
    MarkerFractions m;
    m.leftX = 1e9f;
    m.leftRedY = -1e9f;
    m.leftBlueY = std::numeric_limits<float>::quiet_NaN();
    m.rightRedX = 3.0e38f;
    const StitchGeometry g = stitchGeometry(m, 50, 120, 90, 120, 90);
    QCOMPARE(g.xL, 1 << 28);
    QCOMPARE(g.yL, -(1 << 28));
    QCOMPARE(g.yLb, -(1 << 28));
    QCOMPARE(g.xR, 1 << 28);
    QCOMPARE(g.yR, 23);
}

void TestStitch::markersGiveBand()
{
    QFETCH(int, slider);
    QFETCH(float, blueY);
    QFETCH(int, corridor);
    QFETCH(float, angle);
    MarkerFractions m;
    m.rightRedX = 0.5f, m.rightRedY = 0.25f, m.rightBlueX = 0.5f, m.rightBlueY = blueY;
    const StitchGeometry g = stitchGeometry(m, slider, 120, 90, 120, 90);
    QCOMPARE(g.corridor, corridor);
    QCOMPARE(exact(g.angle), exact(angle));
    QCOMPARE(g.xR, 60);
    QCOMPARE(g.yR, 23); // trunc(0.25 · 90 + 0.5)
    const auto right = makeRandom(120, 90, 3);
    StripData band;
    prepareRightBand(band, 2, g.angle, g.corridor, g.xR, g.yR, g.xRb, g.yRb, nullptr, right);
    const int32_t W = corridor + 10;
    QCOMPARE(band.img->width(), 2 * W);
    QCOMPARE(band.img->height(), 2 * 90);
    QCOMPARE(band.centerX, W);
    QCOMPARE(band.blueY, 2 * g.yRb);
    // Even band positions are the turned pixels themselves, odd ones sample between them;
    // angle −π turns the band upside down about the red marker.
    const BigImage& up = *band.img;
    for (int32_t y = 3; y < 44; ++y)
        for (int32_t x = 3; x < W - 3; ++x) {
            if (angle == 0.0f) {
                QCOMPARE(up.pixelAt(2 * x, 2 * y), right->pixelAt(g.xR - W / 2 + x, y));
                QCOMPARE(up.pixelAt(2 * x + 1, 2 * y + 1),
                         sampleCubic(*right, float(g.xR - W / 2 + x) + 0.5f, float(y) + 0.5f));
            } else {
                QCOMPARE(up.pixelAt(2 * x, 2 * y), right->pixelAt(g.xR + W / 2 - x, 2 * g.yR - y));
            }
        }
}

void TestStitch::sliceBorderAndPins_data()
{
    QTest::addColumn<int>("yRb");
    QTest::newRow("blue where the red geometry puts it") << 75;
    QTest::newRow("blue two rows lower") << 77;
    QTest::newRow("blue three rows higher") << 72;
}

void TestStitch::sliceBorderAndPins()
{
    QFETCH(int, yRb);
    const StitchGeometry g = geometry(30, 25, 70, 12, 30, yRb, 0.0f);
    StripData strip, band;
    prepareLeftStrip(makeRandom(60, 90, 11), g.xL, g.yL, g.yLb, strip, nullptr);
    prepareRightBand(band, 2, g.angle, g.corridor, g.xR, g.yR, g.xRb, g.yRb, nullptr, makeRandom(64, 96, 12));
    SquareErrorField f;
    fillErrorField(strip, band, f, nullptr);
    QCOMPARE(f.sliceWidth, 112);
    QCOMPARE(f.sliceCount, 44);
    int computed = 0, pinned = 0;
    for (int32_t k = 0; k < f.sliceCount; ++k) {
        const int32_t y = 2 * k;
        const bool nearRed = std::abs(y - g.yL) < 20, nearBlue = !nearRed && std::abs(y - g.yLb) < 20;
        const int32_t m = nearRed ? 2 * g.yR : 2 * g.yRb, C0 = 2 * g.yR + 2 * (y - g.yL) - 40;
        computed += f.missing[k] ? 0 : 1;
        for (int32_t r = 0; r < 80; ++r)
            for (int32_t c = 0; c < 112; ++c) {
                const float v = f.at(k, r, c);
                const QString where = QString("slice %1 cell (%2, %3): %4").arg(k).arg(c).arg(r).arg(v);
                if (f.missing[k] || r == 0 || r == 79 || c == 0 || c == 111) {
                    QVERIFY2(v == kUntouched, qPrintable(where));
                    continue;
                }
                const bool pin = (nearRed || nearBlue) && std::abs(C0 + r - m) <= 10 && std::abs(c - 56) <= 10;
                pinned += pin ? 1 : 0;
                // Noise never matches exactly: every cell that is not pinned has a positive error.
                QVERIFY2((v == 0.0f) == pin, qPrintable(where));
            }
    }
    QCOMPARE(computed, 26); // left rows 18 .. 68; outside them the band window leaves the band
    QVERIFY(pinned > 0);
}

void TestStitch::accumulation_data()
{
    QTest::addColumn<QVector<bool>>("missing");
    QTest::newRow("all computed") << QVector<bool>{false, false, false, false, false};
    QTest::newRow("gaps at both ends and inside") << QVector<bool>{true, false, true, false, true};
    QTest::newRow("two missing in a row") << QVector<bool>{true, false, true, true, false};
    QTest::newRow("one slice") << QVector<bool>{false};
}

void TestStitch::accumulation()
{
    QFETCH(QVector<bool>, missing);
    const int32_t n = missing.size(), G = 15, H = 7; // 13 inner columns: vector lanes and a remainder
    SquareErrorField f = uniformField(n, G, H, 0.0f);
    f.missing = missing;
    std::mt19937 rng(9);
    for (float& v : f.values)
        v = rng() % 7 == 0 ? kUntouched : float(rng() % 100000) * 0.37f;
    PlainField plain;
    plain.G = G, plain.H = H, plain.n = n, plain.v.assign(f.values.begin(), f.values.end());
    plain.missing.assign(missing.begin(), missing.end());
    PlainField forwardOnly = plain;
    plainCorrelate(plain);
    plainCorrelate(forwardOnly, false);
    ProgressInfo progress;
    correlateData(f, progress);
    QCOMPARE(progress.text(), QString("Correlating Data…"));
    const QString diff = fieldDifference(f, plain);
    QVERIFY2(diff.isEmpty(), qPrintable(diff));
    // A missing last slice is its predecessor after the forward pass; a missing slice 0 is slice 1.
    const size_t bytes = size_t(G * H) * sizeof(float);
    if (n > 1 && missing.last())
        QVERIFY(std::memcmp(f.slice(n - 1), forwardOnly.v.data() + (n - 2) * G * H, bytes) == 0);
    if (n > 1 && missing.first())
        QVERIFY(std::memcmp(f.slice(0), f.slice(1), bytes) == 0);
}

void TestStitch::minNeighbourWeights_data()
{
    QTest::addColumn<QPoint>("at"); // (dc, dr) of the one cell that is not 100
    QTest::addColumn<float>("value");
    QTest::addColumn<float>("expected");
    QTest::newRow("centre") << QPoint(0, 0) << 30.0f << 30.0f;
    QTest::newRow("edge above") << QPoint(0, -1) << 95.0f << 95.0f;
    QTest::newRow("edge right") << QPoint(1, 0) << 95.0f << 95.0f;
    QTest::newRow("diagonal, doubled, below the rest") << QPoint(1, 1) << 45.0f << 90.0f;
    QTest::newRow("diagonal, doubled, above the rest") << QPoint(1, -1) << 60.0f << 100.0f;
    QTest::newRow("diagonal lower left") << QPoint(-1, 1) << 49.0f << 98.0f;
}

void TestStitch::minNeighbourWeights()
{
    QFETCH(QPoint, at);
    QFETCH(float, value);
    QFETCH(float, expected);
    // Columns 1 and 6 go through the vector lanes of the accumulation, 10 through its remainder.
    for (int32_t c : {1, 6, 10}) {
        SquareErrorField f = uniformField(2, 12, 5, 100.0f);
        std::fill(f.values.begin() + f.sliceSize, f.values.end(), 0.0f);
        f.at(0, 2 + at.y(), c + at.x()) = value;
        QCOMPARE(exact(minNeighbour(0, c, 2, f)), exact(expected));
        ProgressInfo progress;
        correlateData(f, progress);
        QCOMPARE(exact(f.at(1, 2, c)), exact(0.9f * expected));
    }
}

void TestStitch::bestCellAndStepLimit_data()
{
    QTest::addColumn<QPoint>("p");
    QTest::addColumn<QPoint>("cheap"); // the one cell with value `cheapValue`; (−1, −1): none
    QTest::addColumn<float>("cheapValue");
    QTest::addColumn<QPoint>("best");
    QTest::addColumn<QPoint>("step"); // the trace's step from the start cell (11, 40)
    const QPoint start(11, 40), none(-1, -1), up(11, 39);
    QTest::newRow("all equal: the cell above p") << start << none << 0.0f << up << up;
    QTest::newRow("five columns right moves two") << start << QPoint(16, 40) << 1.0f << QPoint(16, 40)
                                                  << QPoint(13, 40);
    QTest::newRow("far up and left") << start << QPoint(2, 31) << 1.0f << QPoint(2, 31) << QPoint(9, 38);
    QTest::newRow("within two") << start << QPoint(13, 38) << 1.0f << QPoint(13, 38) << QPoint(13, 38);
    QTest::newRow("distance 5 weighs 5: 19 wins") << start << QPoint(14, 44) << 19.0f << QPoint(14, 44)
                                                  << QPoint(13, 42);
    QTest::newRow("distance 5 weighs 5: 21 loses") << start << QPoint(14, 44) << 21.0f << up << up;
    QTest::newRow("last cell, value 0") << start << QPoint(21, 79) << 0.0f << QPoint(21, 79) << QPoint(13, 42);
    QTest::newRow("nothing below the largest float") << QPoint(5, 7) << none << FLT_MAX << QPoint(5, 7) << QPoint();
}

void TestStitch::bestCellAndStepLimit()
{
    QFETCH(QPoint, p);
    QFETCH(QPoint, cheap);
    QFETCH(float, cheapValue);
    QFETCH(QPoint, best);
    QFETCH(QPoint, step);
    // G = 22: lanes of four and a remainder of two.
    SquareErrorField f = uniformField(1, 22, 80, cheapValue == FLT_MAX ? FLT_MAX : 100.0f);
    if (cheap.x() >= 0)
        f.at(0, cheap.y(), cheap.x()) = cheapValue;
    const Cell c = bestCell(Cell{p.x(), p.y()}, 0, f);
    QCOMPARE(QPoint(c.x, c.y), best);
    if (step.isNull())
        return;
    // One slice, traced both ways from (G/2, H/2): both traces take the limited step.
    std::vector<float2> offsets;
    tracePath(f, offsets);
    verifySameOffsets(offsets, {float2{float(step.x() - 11) * 0.5f, float(step.y() - 40) * 0.5f}});
}

void TestStitch::mergePaths_data()
{
    QTest::addColumn<QVector<QPoint>>("forward");
    QTest::addColumn<QVector<QPoint>>("backward");
    QTest::addColumn<float>("forwardValue");  // written at the forward cells, then
    QTest::addColumn<float>("backwardValue"); // at the backward cells; every other cell holds 5
    QTest::addColumn<QVector<QPointF>>("offsets");
    const QVector<QPoint> straight{{5, 40}, {5, 40}, {5, 40}, {5, 40}}, detour{{5, 40}, {9, 45}, {9, 45}, {5, 40}};
    const QVector<QPointF> zero(4);
    QTest::newRow("identical traces") << QVector<QPoint>{{3, 40}, {4, 41}, {5, 41}, {8, 38}}
                                      << QVector<QPoint>{{3, 40}, {4, 41}, {5, 41}, {8, 38}} << 1.0f << 1.0f
                                      << QVector<QPointF>{{-1, 0}, {-0.5, 0.5}, {0, 0.5}, {1.5, -1}};
    QTest::newRow("equal sums: forward") << straight << detour << 2.0f << 2.0f << zero;
    QTest::newRow("cheaper backward run") << straight << detour << 3.0f << 1.0f
                                          << QVector<QPointF>{{0, 0}, {2, 2.5}, {2, 2.5}, {0, 0}};
    QTest::newRow("cheaper forward run") << straight << detour << 1.0f << 3.0f << zero;
    QTest::newRow("tail run without agreement") << straight << QVector<QPoint>{{5, 40}, {5, 40}, {9, 45}, {9, 45}}
                                                << 3.0f << 1.0f << QVector<QPointF>{{0, 0}, {0, 0}, {2, 2.5}, {2, 2.5}};
    QTest::newRow("agree within two: runs of one slice")
        << straight << QVector<QPoint>{{7, 42}, {3, 38}, {7, 38}, {5, 42}} << 2.0f << 1.0f
        << QVector<QPointF>{{1, 1}, {-1, -1}, {1, -1}, {0, 1}};
}

void TestStitch::mergePaths()
{
    QFETCH(QVector<QPoint>, forward);
    QFETCH(QVector<QPoint>, backward);
    QFETCH(float, forwardValue);
    QFETCH(float, backwardValue);
    QFETCH(QVector<QPointF>, offsets);
    const int32_t n = forward.size();
    SquareErrorField f = uniformField(n, 10, 80, 5.0f);
    std::vector<Cell> fw, bw;
    std::vector<float2> expected;
    for (int32_t k = 0; k < n; ++k) {
        fw.push_back(Cell{forward[k].x(), forward[k].y()});
        bw.push_back(Cell{backward[k].x(), backward[k].y()});
        expected.push_back(float2{float(offsets[k].x()), float(offsets[k].y())});
        f.at(k, fw.back().y, fw.back().x) = forwardValue;
    }
    for (int32_t k = 0; k < n; ++k)
        f.at(k, bw[size_t(k)].y, bw[size_t(k)].x) = backwardValue;
    std::vector<float2> out(fw.size());
    StitchEngine::mergePaths(f, out, fw, bw);
    verifySameOffsets(out, expected);
}

void TestStitch::smoothing_data()
{
    QTest::addColumn<QVector<QPointF>>("input");
    QVector<QPointF> spike(30), ramp;
    spike[15] = QPointF(11, -22);
    for (int i = 0; i < 10; ++i)
        ramp.append(QPointF(i, 9 - 2 * i));
    QTest::newRow("single 11 at index 15 of 30") << spike;
    QTest::newRow("constant") << QVector<QPointF>(17, QPointF(1.5, -0.5));
    QTest::newRow("ramp: the ends repeat") << ramp;
    QTest::newRow("one entry") << QVector<QPointF>{{2.5, -1}};
    QTest::newRow("empty") << QVector<QPointF>{};
}

void TestStitch::smoothing()
{
    QFETCH(QVector<QPointF>, input);
    const int n = input.size();
    std::vector<float2> v, expected;
    for (const QPointF& p : input)
        v.push_back(float2{float(p.x()), float(p.y())});
    for (int m = 0; m < n; ++m) {
        // Whole and half pixels: the running sum is exact, so it equals the plain window sum.
        double sx = 0, sy = 0;
        for (int d = -5; d <= 5; ++d) {
            sx += input[std::min(std::max(m + d, 0), n - 1)].x();
            sy += input[std::min(std::max(m + d, 0), n - 1)].y();
        }
        expected.push_back(float2{float(sx) / 11.0f, float(sy) / 11.0f});
    }
    const std::vector<float2> out = smoothOffsets(v, 5);
    verifySameOffsets(out, expected);
    if (n == 30)
        for (int m = 0; m < n; ++m)
            QCOMPARE(exact(out[size_t(m)].x), exact(m >= 10 && m <= 20 ? 1.0f : 0.0f));
}

void TestStitch::transitionZoneColumns()
{
    const auto left = makeRandom(60, 40, 21), right = makeRandom(180, 50, 22);
    const StitchGeometry g = geometry(30, 12, 30, 20, 15, 40, 0.04f);
    const std::vector<float2> offsets(19, float2{1.5f, -1.0f}); // constant: smoothing keeps it
    const auto result = composeResult(offsets, 2, g.angle, g.xL, g.yL, g.xR, g.yR, left, right, nullptr);
    const auto rot = plainRotatedRight(*right, g);
    QCOMPARE(result->width(), 30 + 180 - 20);
    const float t99 = 1.0f - 99.0f / 100.0f;
    for (int32_t i = 0; i < 40; ++i) {
        const float yr = float(g.yR - g.yL + i);
        QCOMPARE(result->pixelAt(29, i), left->pixelAt(29, i));
        QCOMPARE(result->pixelAt(30, i), left->pixelAt(30, i)); // j = 0 repeats the left pixel
        for (int32_t j = 1; j < 4; ++j) {
            const RgbPixel s = sampleCubic(*rot, float(g.xR + j) + 1.5f, yr - 1.0f), l = left->pixelAt(30 + j, i);
            const float v = 0.25f * float(j);
            QCOMPARE(result->pixelAt(30 + j, i),
                     (RgbPixel{blendByte(s.r, l.r, v), blendByte(s.g, l.g, v), blendByte(s.b, l.b, v)}));
        }
        QCOMPARE(result->pixelAt(80, i), sampleCubic(*rot, float(g.xR + 50) + 0.75f, yr - 0.5f));
        QCOMPARE(result->pixelAt(129, i), sampleCubic(*rot, float(g.xR + 99) + t99 * 1.5f, t99 * -1.0f + yr));
        QCOMPARE(result->pixelAt(130, i), rot->pixelAt(g.xR + 100, g.yR - g.yL + i));
    }
}

void TestStitch::fewLeftRows_data()
{
    QTest::addColumn<int>("rows");
    QTest::addColumn<float>("dy"); // the vertical shift at the seam
    QTest::newRow("1 row: no offsets") << 1 << 0.0f;
    QTest::newRow("2 rows: no offsets") << 2 << 0.0f;
    // One slice, missing: all its values are equal, so both traces take the cell above the centre.
    QTest::newRow("3 rows: one missing slice") << 3 << -0.5f;
}

void TestStitch::fewLeftRows()
{
    QFETCH(int, rows);
    QFETCH(float, dy);
    const auto left = makeRandom(60, rows, 31), right = makeRandom(180, 96, 32);
    const StitchGeometry g = geometry(30, 0, rows - 1, 20, 40, 60, 0.05f);
    const StitchOutcome out = stitchImages(left, right, g, nullptr);
    QVERIFY(out.image);
    QVERIFY(out.error.isEmpty());
    QCOMPARE(out.image->width(), 190);
    QCOMPARE(out.image->height(), rows);
    const auto rot = plainRotatedRight(*right, g);
    for (int32_t i = 0; i < rows; ++i)
        for (int32_t j = 4; j < 100; ++j) {
            const float t = 1.0f - float(j) / 100.0f;
            QCOMPARE(out.image->pixelAt(30 + j, i), sampleCubic(*rot, float(20 + j), t * dy + float(40 + i)));
        }
}

void TestStitch::noResult_data()
{
    QTest::addColumn<StitchGeometry>("g");
    QTest::addColumn<QString>("error");
    const QString empty = "The stitched image would be empty. Place the markers on the same content in both images.";
    QTest::newRow("xL + W_R - xR = 0") << geometry(0, 20, 60, 64, 30, 70, 0.0f) << empty;
    QTest::newRow("xL + W_R - xR < 0") << geometry(5, 20, 60, 80, 30, 70, 0.0f) << empty;
    // A band of negative width cannot be allocated: the allocation failure path, without
    // exhausting the machine's memory.
    QTest::newRow("allocation failure") << geometry(30, 20, 60, 20, 30, 70, 0.0f, -20) << "out of memory. exit.";
}

void TestStitch::noResult()
{
    QFETCH(StitchGeometry, g);
    QFETCH(QString, error);
    const StitchOutcome out = stitchImages(makeRandom(60, 90, 1), makeRandom(64, 96, 2), g, nullptr);
    QVERIFY(!out.image);
    QCOMPARE(out.error, error);
    // In place, the left image stays as it was.
    const BigImagePtr left = makeRandom(60, 90, 1);
    const StitchOutcome onto = stitchOnto(left, makeRandom(64, 96, 2), g, nullptr);
    QVERIFY(!onto.image);
    QCOMPARE(onto.error, error);
    verifySameImage(left, makeRandom(60, 90, 1));
}

void TestStitch::cutImageStitchesBack_data()
{
    QTest::addColumn<double>("phi");       // the turn between the scans
    QTest::addColumn<QPointF>("residual"); // a content shift that the markers do not show
    QTest::newRow("upright, exact markers") << 0.0 << QPointF(0, 0);
    QTest::newRow("turned, shifted") << 0.02 << QPointF(-1.5, 1.0);
    QTest::newRow("turned the other way, shifted") << -0.035 << QPointF(2.0, -0.5);
}

void TestStitch::cutImageStitchesBack()
{
    QFETCH(double, phi);
    QFETCH(QPointF, residual);
    // One scene P. Left: its columns 0 .. 219, 300 rows. Right: 240 × 300, turned by phi and
    // placed so that right (xR, yR) shows P (xL, yL) + residual.
    const int32_t xL = 180, yL = 40, xR = 40, yR = 50;
    auto left = std::make_shared<BigImage>(220, 300, colGrey), right = std::make_shared<BigImage>(240, 300, colGrey);
    for (int32_t y = 0; y < 300; ++y)
        for (int32_t x = 0; x < 220; ++x)
            left->setPixel(x, y, patternAt(x, y));
    const double c = std::cos(phi), s = std::sin(phi);
    for (int32_t v = 0; v < 300; ++v)
        for (int32_t u = 0; u < 240; ++u) {
            const double a = u - xR, b = v - yR;
            right->setPixel(u, v, patternAt(a * c - b * s + xL + residual.x(), a * s + b * c + yL + residual.y()));
        }
    const StitchGeometry g = geometry(xL, yL, 260, xR, yR, int32_t(yR + 220 * c + 0.5), float(-phi));

    StripData strip, band;
    prepareLeftStrip(left, g.xL, g.yL, g.yLb, strip, nullptr);
    prepareRightBand(band, 2, g.angle, g.corridor, g.xR, g.yR, g.xRb, g.yRb, nullptr, right);
    SquareErrorField field;
    computeErrorField(strip, band, field, nullptr);
    std::vector<float2> offsets;
    tracePath(field, offsets);
    // Away from the pinned marker rows the path finds the hidden shift with the opposite sign;
    // search column G/2 faces the right marker line, so exact markers give no offset.
    for (size_t k = 40; k < 110; ++k)
        QVERIFY2(offsets[k].x == float(-residual.x()) && offsets[k].y == float(-residual.y()),
                 qPrintable(QString("slice %1: (%2, %3)").arg(k).arg(offsets[k].x).arg(offsets[k].y)));

    const StitchOutcome out = stitchImages(left, right, g, nullptr);
    QVERIFY(out.image);
    QCOMPARE(out.image->width(), 380);
    // Zone column xL + j applies that offset scaled by t = 1 − j/100, so it shows P moved by
    // (1 − t)·residual: seamless at the seam; the plain part shows P moved by the residual. Mean absolute
    // difference over rows 20 .. 249 (further down the copied bottom slices pull the path
    // about; from row 290 on the right scan has ended: black).
    auto meanError = [&](int32_t x0, int32_t x1) {
        double sum = 0;
        for (int32_t y = 20; y < 250; ++y)
            for (int32_t x = x0; x < x1; ++x) {
                const double t = std::max(0.0, 1.0 - double(x - xL) / 100.0);
                const RgbPixel a = out.image->pixelAt(x, y);
                const RgbPixel b = patternAt(x + (1 - t) * residual.x(), y + (1 - t) * residual.y());
                sum += std::abs(a.r - b.r) + std::abs(a.g - b.g) + std::abs(a.b - b.b);
            }
        return sum / (3.0 * 230 * (x1 - x0));
    };
    // Measured: zone 1.2 .. 2.0, plain part 0 .. 1.2 (bicubic error only); half a pixel of
    // misplacement in the zone alone costs about 4.
    const double zone = meanError(xL, xL + 100), plain = meanError(xL + 100, xL + 160);
    QVERIFY2(zone < 3.0, qPrintable(QString::number(zone)));
    QVERIFY2(plain < 2.0, qPrintable(QString::number(plain)));
    for (int32_t x = 0; x < xL; x += 7)
        QCOMPARE(out.image->pixelAt(x, 150), left->pixelAt(x, 150));
    QCOMPARE(out.image->pixelAt(xL + 120, 295), colBlack);
}

void TestStitch::seamQuality_data()
{
    QTest::addColumn<QString>("content");
    QTest::addColumn<StitchGeometry>("g");
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("suspicious");
    // Right (x, y) shows left (x + 100, y + 10): right (30, 30) and (30, 250) show left (130, 40)
    // and (130, 260).
    const QString check = " Check that the markers sit on the same content in both images.";
    QTest::newRow("true markers") << "terrain" << geometry(130, 40, 260, 30, 30, 250, 0.0f) << "Seam match: 100 %."
                                  << false;
    // The path finds the content 2 columns and 3 rows from the markers: a cell away from the
    // centre read back from its offset.
    QTest::newRow("markers 2 and 3 px off") << "terrain" << geometry(130, 40, 260, 32, 33, 253, 0.0f)
                                            << "Seam match: 100 %." << false;
    QTest::newRow("markers 50 px off") << "terrain" << geometry(130, 40, 260, 30, 80, 300, 0.0f)
                                       << "Warning: the seam matched poorly (18 %)." + check << true;
    QTest::newRow("unrelated images") << "unrelated" << geometry(130, 40, 260, 30, 30, 250, 0.0f)
                                      << "Warning: the seam matched poorly (23 %)." + check << true;
    // Left rows from 98 on lie below the right image's last row.
    QTest::newRow("rows barely overlap") << "terrain" << geometry(130, 40, 260, 30, 220, 440, 0.0f)
                                         << "Warning: only 32 % of the seam lies in both images; the rest was not "
                                            "matched." + check << true;
    QTest::newRow("plain paper") << "plain" << geometry(130, 40, 260, 30, 30, 250, 0.0f)
                                 << "Seam match: not measurable (too little detail along the seam)." << false;
}

void TestStitch::seamQuality()
{
    QFETCH(QString, content);
    QFETCH(StitchGeometry, g);
    QFETCH(QString, text);
    QFETCH(bool, suspicious);
    const auto terrain = makeTerrain(360, 360, 7);
    BigImagePtr left = cutOut(terrain, 0, 0, 160, 300), right = cutOut(terrain, 100, 10, 200, 300);
    if (content == "unrelated")
        right = makeTerrain(200, 300, 8);
    if (content == "plain")
        left = std::make_shared<BigImage>(160, 300, colGrey), right = std::make_shared<BigImage>(200, 300, colGrey);
    const StitchOutcome out = stitchImages(left, right, g, nullptr);
    QVERIFY(out.image);
    QCOMPARE(seamQualityText(out.quality), text);
    QCOMPARE(out.quality.suspicious, suspicious);
}

void TestStitch::concurrentStitchesAgree()
{
    // Per-thread scratch buffers and nested parallel loops: stitches running at once on the
    // pool must not disturb one another.
    const auto left = makeTerrain(60, 90, 41), right = makeTerrain(180, 96, 42);
    const StitchGeometry g = geometry(40, 20, 70, 20, 25, 75, 0.05f);
    const BigImagePtr alone = stitchImages(left, right, g, nullptr).image;
    QVector<QFuture<BigImagePtr>> runs;
    for (int i = 0; i < 4; ++i)
        runs.append(QtConcurrent::run([&] { return stitchImages(left, right, g, nullptr).image; }));
    for (auto& run : runs)
        verifySameImage(run.result(), alone);
}

void TestStitch::goldenHash()
{
    // The inputs of the reference case "terrain, small turn, plain copy": its bytes matched the
    // plain reference before this hash was taken.
    const StitchGeometry g = geometry(40, 20, 70, 20, 25, 75, 0.05f);
    BigImagePtr left, right;
    makePair("terrain", QSize(60, 90), QSize(180, 96), g, left, right);
    const StitchOutcome out = stitchImages(left, right, g, nullptr);
    QVERIFY(out.image);
    const QByteArray hash = QCryptographicHash::hash(
        QByteArray::fromRawData(reinterpret_cast<const char*>(out.image->data()), int(out.image->pixelCount() * 3)),
        QCryptographicHash::Sha256);
    QCOMPARE(hash.toHex(), QByteArray("82a6659aa6c032142fdf1e32f7374407b4944b0720481527a8d7a503735fe74d"));
}

QTEST_GUILESS_MAIN(TestStitch)
#include "tst_stitch.moc"
