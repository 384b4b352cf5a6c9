// Bicubic sampling and scaled rendering: exact values at and between pixels, the
// background beyond the border, clamping, and the vector path against the scalar one.
#include "sampling.h"
#include "testimages.h"

#include <QtTest>

#include <random>

namespace {

// The same values repeated down 8 rows, so that the vertical pass sees equal rows.
BigImagePtr columnsImage(std::initializer_list<int> values)
{
    auto img = std::make_shared<BigImage>(int32_t(values.size()), 8, colGrey);
    for (int y = 0; y < 8; ++y) {
        int x = 0;
        for (int v : values)
            img->setPixel(x++, y, RgbPixel{uint8_t(v), uint8_t(v), uint8_t(v)});
    }
    return img;
}

} // namespace

class TestSampling : public QObject {
    Q_OBJECT
private slots:
    void integerPositionsGiveThePixel_data();
    void integerPositionsGiveThePixel();
    void fractionalValues_data();
    void fractionalValues();
    void farOutsideIsBackground_data();
    void farOutsideIsBackground();
    void halfPixelOutsideMixesBackground();
    void overshootClamps_data();
    void overshootClamps();
    void rowKernelMatchesPointSamples_data();
    void rowKernelMatchesPointSamples();
    void renderStepOneReproduces();
    void renderOriginLeftOfImage();
    void renderScaledNullSource();
    void renderAccumulatesPositions();
};

void TestSampling::integerPositionsGiveThePixel_data()
{
    QTest::addColumn<int>("x");
    QTest::addColumn<int>("y");
    QTest::newRow("top left corner") << 0 << 0;
    QTest::newRow("bottom right corner") << 5 << 4;
    QTest::newRow("left border") << 0 << 2;
    QTest::newRow("inside") << 2 << 2;
    QTest::newRow("next to right border") << 4 << 1;
}

void TestSampling::integerPositionsGiveThePixel()
{
    QFETCH(int, x);
    QFETCH(int, y);
    const BigImagePtr f = makeF();
    QCOMPARE(sampleCubic(f, float(x), float(y)), f->pixelAt(x, y));
    const BigImagePtr noise = makeRandom(9, 7, 3);
    QCOMPARE(sampleCubic(noise, float(x), float(y)), noise->pixelAt(x, y));
    RgbPixel row;
    sampleCubicRow(*noise, float(x), float(y), 1.0f, 0.0f, 1, &row);
    QCOMPARE(row, noise->pixelAt(x, y));
}

void TestSampling::fractionalValues_data()
{
    QTest::addColumn<float>("x");
    QTest::addColumn<int>("expected");
    // Columns 0, 100, 200, 100, 0, 0, 0, 0.
    // Between 1 and 2 at t = 0.5: a = 0, b = −100, c = 200: ((0·t − 100)·t + 200)·t + 100 = 175.
    QTest::newRow("mid 1..2") << 1.5f << 175;
    // t = 0.25 at the same place: ((−100·0.25) + 200)·0.25 + 100 = 143.75 → 144.
    QTest::newRow("quarter 1..2") << 1.25f << 144;
    // Between 2 and 3 (100, 200, 100, 0) at t = 0.5: a = 0, b = −100, c = 0: 200 − 25 = 175.
    QTest::newRow("mid 2..3") << 2.5f << 175;
    // Between 3 and 4 (200, 100, 0, 0) at t = 0.5: a = −100, b = 200, c = −200: 37.5 → 38.
    QTest::newRow("mid 3..4") << 3.5f << 38;
}

void TestSampling::fractionalValues()
{
    QFETCH(float, x);
    QFETCH(int, expected);
    const BigImagePtr img = columnsImage({0, 100, 200, 100, 0, 0, 0, 0});
    const uint8_t e = uint8_t(expected);
    QCOMPARE(sampleCubic(img, x, 3.0f), (RgbPixel{e, e, e}));
    RgbPixel viaRow;
    sampleCubicRow(*img, x, 3.0f, 0.0f, 0.0f, 1, &viaRow);
    QCOMPARE(viaRow, (RgbPixel{e, e, e}));
}

void TestSampling::farOutsideIsBackground_data()
{
    QTest::addColumn<float>("x");
    QTest::addColumn<float>("y");
    QTest::newRow("(-10, -10)") << -10.0f << -10.0f;
    QTest::newRow("far right") << 1e6f << 2.0f;
    QTest::newRow("beyond int range") << 3e9f << 2.0f;
    QTest::newRow("far below") << 1.0f << 1e9f;
    QTest::newRow("NaN") << std::nanf("") << 1.0f;
    QTest::newRow("-inf") << 1.0f << -INFINITY;
}

void TestSampling::farOutsideIsBackground()
{
    QFETCH(float, x);
    QFETCH(float, y);
    const BigImagePtr f = makeF();
    QCOMPARE(sampleCubic(f, x, y), colGreen);
    RgbPixel row[3];
    sampleCubicRow(*f, x, y, 0.5f, 0.0f, 3, row);
    QCOMPARE(row[0], colGreen);
}

void TestSampling::halfPixelOutsideMixesBackground()
{
    // Black image, grey background: at (−0.5, 0) the taps are 128, 128 | 0, 0, so
    // c = −128 and the value is 128 − 64 = 64.
    auto img = std::make_shared<BigImage>(6, 6, colGrey);
    for (int y = 0; y < 6; ++y)
        for (int x = 0; x < 6; ++x)
            img->setPixel(x, y, colBlack);
    QCOMPARE(sampleCubic(img, -0.5f, 0.0f), (RgbPixel{64, 64, 64}));
    // And vertically the same.
    QCOMPARE(sampleCubic(img, 0.0f, -0.5f), (RgbPixel{64, 64, 64}));
}

void TestSampling::overshootClamps_data()
{
    QTest::addColumn<QList<int>>("values");
    QTest::addColumn<int>("expected");
    // A thin white line: −255·t² + 255·t + 255 at 0.5 is 318.75, clamped to 255.
    QTest::newRow("white line") << QList<int>{0, 255, 255, 0, 0, 0} << 255;
    // A thin black line: 255·t² − 255·t at 0.5 is −63.75: +0.5 truncates to −63, clamped to 0.
    QTest::newRow("black line") << QList<int>{255, 0, 0, 255, 255, 255} << 0;
}

void TestSampling::overshootClamps()
{
    QFETCH(QList<int>, values);
    QFETCH(int, expected);
    auto img = std::make_shared<BigImage>(values.size(), 8, colGrey);
    for (int y = 0; y < 8; ++y)
        for (int x = 0; x < values.size(); ++x)
            img->setPixel(x, y, RgbPixel{uint8_t(values[x]), uint8_t(values[x]), uint8_t(values[x])});
    const uint8_t e = uint8_t(expected);
    QCOMPARE(sampleCubic(img, 1.5f, 4.0f), (RgbPixel{e, e, e}));
    // The same in the vertical direction, on the fast path well inside.
    auto turned = std::make_shared<BigImage>(8, values.size(), colGrey);
    for (int y = 0; y < values.size(); ++y)
        for (int x = 0; x < 8; ++x)
            turned->setPixel(x, y, RgbPixel{uint8_t(values[y]), uint8_t(values[y]), uint8_t(values[y])});
    RgbPixel viaRow;
    sampleCubicRow(*turned, 4.0f, 1.5f, 0.0f, 0.0f, 1, &viaRow);
    QCOMPARE(viaRow, (RgbPixel{e, e, e}));
}

void TestSampling::rowKernelMatchesPointSamples_data()
{
    QTest::addColumn<float>("x");
    QTest::addColumn<float>("y");
    QTest::addColumn<float>("dx");
    QTest::addColumn<float>("dy");
    QTest::newRow("enlarging across the whole image") << -3.3f << -2.7f << 0.173f << 0.061f;
    QTest::newRow("reducing") << -5.0f << 40.2f << 2.37f << -0.11f;
    QTest::newRow("turned row") << 10.0f << 5.0f << 0.99992537f << 0.012217f;
    QTest::newRow("vertical") << 33.1f << -4.0f << 0.0f << 0.3f;
}

void TestSampling::rowKernelMatchesPointSamples()
{
    // The vector path must give the scalar path's bytes at every position, inside, at the
    // borders and outside.
    QFETCH(float, x);
    QFETCH(float, y);
    QFETCH(float, dx);
    QFETCH(float, dy);
    const BigImagePtr img = makeRandom(67, 53, 11, RgbPixel{9, 200, 77});
    const int n = 400;
    std::vector<RgbPixel> row(n);
    sampleCubicRow(*img, x, y, dx, dy, n, row.data());
    float px = x, py = y;
    for (int i = 0; i < n; ++i) {
        const RgbPixel expected = sampleCubic(*img, px, py);
        if (row[size_t(i)] != expected)
            QFAIL(qPrintable(QString("sample %1 at (%2, %3)").arg(i).arg(double(px)).arg(double(py))));
        px += dx;
        py += dy;
    }
}

void TestSampling::renderStepOneReproduces()
{
    const BigImagePtr img = makeRandom(45, 38, 5);
    const BigImagePtr out = renderScaled(img, float2{0.0f, 0.0f}, 45, 38, 1.0f, Interpolation::Cubic);
    QVERIFY2(samePixels(*out, *img), qPrintable(firstDifferences(*out, *img)));
    QCOMPARE(out->background(), colGrey);
    QCOMPARE(out->interpolation(), Interpolation::Cubic);
}

void TestSampling::renderOriginLeftOfImage()
{
    const BigImagePtr img = makeRandom(40, 70, 6, colBlue);
    const BigImagePtr out = renderScaled(img, float2{-10.0f, 0.0f}, 50, 70, 1.0f, Interpolation::Cubic);
    for (int y = 0; y < 70; ++y) {
        for (int x = 0; x < 10; ++x)
            QCOMPARE(out->pixelAt(x, y), colBlue);
        for (int x = 10; x < 50; ++x)
            QCOMPARE(out->pixelAt(x, y), img->pixelAt(x - 10, y));
    }
}

void TestSampling::renderScaledNullSource()
{
    QVERIFY(renderScaled(nullptr, float2{}, 10, 10, 1.0f, Interpolation::Cubic) == nullptr);
}

void TestSampling::renderAccumulatesPositions()
{
    // Rows are rendered in parallel; their positions must still be the running float sums.
    const BigImagePtr img = makeRandom(300, 260, 8);
    const float step = 0.37f;
    const float2 origin{-7.25f, 3.1f};
    const BigImagePtr out = renderScaled(img, origin, 700, 333, step, Interpolation::Cubic);
    float y = origin.y;
    for (int i = 0; i < 333; ++i) {
        float x = origin.x;
        for (int j = 0; j < 700; ++j) {
            if (out->pixelAt(j, i) != sampleCubic(*img, x, y))
                QFAIL(qPrintable(QString("pixel (%1, %2)").arg(j).arg(i)));
            x += step;
        }
        y += step;
    }
}

int runSamplingTests(int argc, char** argv)
{
    TestSampling test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_sampling.moc"
