// Quarter turns (exact, in place) and the free-angle rotation (bicubic, about a pivot).
#include "largememory.h"
#include "progressinfo.h"
#include "rotation.h"
#include "sampling.h"
#include "testimages.h"

#include <QtTest>

#include <cmath>

using namespace BigImageProcessing;

Q_DECLARE_METATYPE(float2)

namespace {

const RgbPixel A{1, 2, 3}, B{4, 5, 6}, C{7, 8, 9}, D{10, 11, 12}, E{13, 14, 15}, F{16, 17, 18};

BigImagePtr makeABCDEF()
{
    auto img = makeBigImage(3, 2);
    img->setPixel(0, 0, A);
    img->setPixel(1, 0, B);
    img->setPixel(2, 0, C);
    img->setPixel(0, 1, D);
    img->setPixel(1, 1, E);
    img->setPixel(2, 1, F);
    return img;
}

void expectRows(const BigImage& img, const QVector<QVector<RgbPixel>>& rows)
{
    QCOMPARE(img.height(), rows.size());
    for (int y = 0; y < rows.size(); ++y) {
        QCOMPARE(img.width(), rows[y].size());
        for (int x = 0; x < rows[y].size(); ++x)
            QCOMPARE(img.pixelAt(x, y), rows[y][x]);
    }
}

} // namespace

class TestRotation : public QObject {
    Q_OBJECT
private slots:
    void clockwiseSmall();
    void counterClockwiseSmall();
    void turnsGiveTheImageBack_data();
    void turnsGiveTheImageBack();
    void largeTurnMatchesDefinition_data();
    void largeTurnMatchesDefinition();
    void turnKeepsThePixelBlock();
    void emptyImageExchangesDimensions();
    void angleZeroReproduces();
    void nullDestinationGetsBoundingSize_data();
    void nullDestinationGetsBoundingSize();
    void freeAngleMatchesScalarKernel_data();
    void freeAngleMatchesScalarKernel();
    void longRowsDoNotDrift();
    void freeAngleReportsProgress();
};

void TestRotation::clockwiseSmall()
{
    auto img = makeABCDEF();
    rotateCW(img, nullptr);
    expectRows(*img, {{D, A}, {E, B}, {F, C}});
}

void TestRotation::counterClockwiseSmall()
{
    auto img = makeABCDEF();
    rotateCCW(img, nullptr);
    expectRows(*img, {{C, F}, {B, E}, {A, D}});
}

void TestRotation::turnsGiveTheImageBack_data()
{
    QTest::addColumn<QString>("turns");
    QTest::newRow("four clockwise") << "CCCC";
    QTest::newRow("four counter-clockwise") << "WWWW";
    QTest::newRow("clockwise then counter-clockwise") << "CW";
    QTest::newRow("counter-clockwise then clockwise") << "WC";
    QTest::newRow("half turn both ways") << "CCWW";
}

void TestRotation::turnsGiveTheImageBack()
{
    QFETCH(QString, turns);
    for (const BigImagePtr& original : {makeF(), makeRandom(131, 77, 4)}) {
        auto img = deepCopy(original);
        for (QChar t : turns) {
            if (t == 'C')
                rotateCW(img, nullptr);
            else
                rotateCCW(img, nullptr);
        }
        QVERIFY2(samePixels(*img, *original), qPrintable(firstDifferences(*img, *original)));
    }
}

void TestRotation::largeTurnMatchesDefinition_data()
{
    QTest::addColumn<bool>("clockwise");
    QTest::addColumn<QSize>("size");
    QTest::addColumn<bool>("freeing"); // turnFreeing: a new image, the source emptied
    QTest::addColumn<bool>("onDisk");
    QTest::newRow("clockwise") << true << QSize(203, 141) << false << false;
    QTest::newRow("counter-clockwise") << false << QSize(203, 141) << false << false;
    QTest::newRow("clockwise, freeing") << true << QSize(203, 141) << true << false;
    // A mapping that gives its rows back in several steps, the last one ragged.
    QTest::newRow("counter-clockwise, freeing, large") << false << QSize(1203, 941) << true << false;
    // Beyond the memory allowed: the block is a file, turned in taller bands.
    QTest::newRow("clockwise, on disk") << true << QSize(700, 2300) << false << true;
    QTest::newRow("counter-clockwise, on disk") << false << QSize(700, 2300) << false << true;
    QTest::newRow("clockwise, freeing, on disk") << true << QSize(1203, 941) << true << true;
}

void TestRotation::largeTurnMatchesDefinition()
{
    // Several bands and tiles, with ragged last ones.
    QFETCH(bool, clockwise);
    QFETCH(QSize, size);
    QFETCH(bool, freeing);
    QFETCH(bool, onDisk);
    const int w = size.width(), h = size.height();
    QTemporaryDir spill;
    if (onDisk) {
        qputenv("SEAMWRIGHT_MEMORY_LIMIT", "0");
        qputenv("SEAMWRIGHT_CACHE_DIR", QFile::encodeName(spill.path()));
    }
    const BigImagePtr original = makeRandom(w, h, 9, colRed);
    auto img = deepCopy(original);
    if (freeing) {
        const BigImagePtr source = img;
        img = turnFreeing(source, clockwise);
        QCOMPARE(source->height(), 0);
        QVERIFY(source->data() == nullptr);
        QCOMPARE(img->background(), colRed);
    } else {
        clockwise ? rotateCW(img, nullptr) : rotateCCW(img, nullptr);
    }
    qunsetenv("SEAMWRIGHT_MEMORY_LIMIT");
    qunsetenv("SEAMWRIGHT_CACHE_DIR");
    QCOMPARE(LargeMemory::isSpilled(img->data()), onDisk);
    QCOMPARE(img->width(), h);
    QCOMPARE(img->height(), w);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const RgbPixel turned = clockwise ? img->pixelAt(h - 1 - y, x) : img->pixelAt(y, w - 1 - x);
            if (turned != original->pixelAt(x, y))
                QFAIL(qPrintable(QString("source pixel (%1, %2)").arg(x).arg(y)));
        }
}

void TestRotation::turnKeepsThePixelBlock()
{
    auto img = makeRandom(20, 9, 2, colRed);
    const RgbPixel* block = img->data();
    rotateCCW(img, nullptr);
    QCOMPARE(img->data(), block);
    QCOMPARE(img->background(), colRed);
}

void TestRotation::emptyImageExchangesDimensions()
{
    auto img = std::make_shared<BigImage>(0, 7);
    rotateCW(img, nullptr);
    QCOMPARE(img->width(), 7);
    QCOMPARE(img->height(), 0);
}

void TestRotation::angleZeroReproduces()
{
    const BigImagePtr src = makeRandom(57, 43, 12);
    auto dst = makeBigImage(57, 43);
    rotate(src, dst, 0.0f, float2{0, 0}, float2{0, 0}, nullptr);
    QVERIFY2(samePixels(*dst, *src), qPrintable(firstDifferences(*dst, *src)));

    const BigImagePtr created = rotate(src, nullptr, 0.0f, float2{0, 0}, float2{0, 0}, nullptr);
    QVERIFY(created);
    QVERIFY2(samePixels(*created, *src), qPrintable(firstDifferences(*created, *src)));
}

void TestRotation::nullDestinationGetsBoundingSize_data()
{
    QTest::addColumn<float>("angle");
    QTest::addColumn<int>("width");
    QTest::addColumn<int>("height");
    // 100 × 40: |c·w| + |s·h| + 0.5 truncated, and |c·h| + |s·w| + 0.5.
    QTest::newRow("zero") << 0.0f << 100 << 40;
    QTest::newRow("quarter turn") << 1.5707964f << 40 << 100;
    QTest::newRow("30 degrees") << 0.52359878f << 107 << 85;
    QTest::newRow("minus 30 degrees") << -0.52359878f << 107 << 85;
}

void TestRotation::nullDestinationGetsBoundingSize()
{
    QFETCH(float, angle);
    QFETCH(int, width);
    QFETCH(int, height);
    const BigImagePtr dst = rotate(makeRandom(100, 40, 1), nullptr, angle, float2{}, float2{}, nullptr);
    QCOMPARE(dst->width(), width);
    QCOMPARE(dst->height(), height);
}

void TestRotation::freeAngleMatchesScalarKernel_data()
{
    QTest::addColumn<float>("angle");
    QTest::addColumn<float2>("pivot");
    QTest::addColumn<float2>("shift");
    QTest::newRow("0.7 degrees about the centre") << 0.0122173f << float2{40.0f, 30.0f} << float2{-40.0f, -30.0f};
    QTest::newRow("-0.3 rad, pivot corner") << -0.3f << float2{0.0f, 0.0f} << float2{5.5f, -2.25f};
    QTest::newRow("2.5 rad, shifted") << 2.5f << float2{12.0f, 70.0f} << float2{-60.0f, -20.0f};
}

void TestRotation::freeAngleMatchesScalarKernel()
{
    // The fast row kernel on all cores must give the bytes of the plain per-pixel loop.
    QFETCH(float, angle);
    QFETCH(float2, pivot);
    QFETCH(float2, shift);
    const BigImagePtr src = makeRandom(81, 61, 21, RgbPixel{30, 60, 90});
    auto dst = makeBigImage(90, 70);
    rotate(src, dst, angle, pivot, shift, nullptr);

    const float c = std::cos(angle), s = std::sin(angle);
    for (int y = 0; y < 70; ++y) {
        const float dy = float(y) - pivot.y;
        const float sx = (-pivot.x) * c - dy * s - shift.x;
        const float sy = (-pivot.x) * s + dy * c - shift.y;
        for (int x = 0; x < 90; ++x) {
            if (dst->pixelAt(x, y) != sampleCubic(*src, sx + float(x) * c, sy + float(x) * s))
                QFAIL(qPrintable(QString("pixel (%1, %2)").arg(x).arg(y)));
        }
        // Any stretch of the row alone gives the same pixels.
        RgbPixel part[7];
        BigImageProcessing::rotateRowPart(*src, angle, pivot, shift, y, 41, 7, part);
        for (int x = 0; x < 7; ++x)
            QCOMPARE(part[x], dst->pixelAt(41 + x, y));
    }
}

void TestRotation::longRowsDoNotDrift()
{
    // A black column at x = 16000 of a white strip, turned by 0.7 degrees: in the destination
    // row 32 it must appear where the exact transform puts it. Summing cos and sin pixel by
    // pixel in float would move it by about a pixel this far out.
    auto src = std::make_shared<BigImage>(16400, 64, colWhite);
    for (int y = 0; y < 64; ++y)
        src->setPixel(16000, y, colBlack);
    const float angle = 0.0122173f;
    const double c = std::cos(double(angle)), s = std::sin(double(angle));
    // Destination (x, y) shows source (x·c − y·s, x·s + y·c − 16000·s): row 32 stays inside.
    auto dst = makeBigImage(16400, 64);
    rotate(src, dst, angle, float2{}, float2{0.0f, float(16000.0 * s)}, nullptr);
    double weight = 0, sum = 0;
    for (int x = 15980; x < 16020; ++x) {
        const double dark = 255.0 - dst->pixelAt(x, 32).g;
        weight += dark;
        sum += dark * x;
    }
    const double expected = (16000.0 + 32.0 * s) / c;
    QVERIFY(weight > 100);
    QVERIFY2(std::fabs(sum / weight - expected) < 0.15, qPrintable(QString::number(sum / weight - expected)));
}

void TestRotation::freeAngleReportsProgress()
{
    ProgressInfo progress(0.5f, "old");
    rotate(makeRandom(30, 30, 3), makeBigImage(30, 30), 0.1f, float2{}, float2{}, &progress);
    QCOMPARE(progress.text(), QString("Preparing Data…"));
    QVERIFY(progress.value.load() > 0.0f);
    QVERIFY(progress.value.load() < 1.0f);
}

int runRotationTests(int argc, char** argv)
{
    TestRotation test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_rotation.moc"
