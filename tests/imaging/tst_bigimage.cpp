// The pixel container: access at and beyond the borders, copies, conversion to Qt,
// the drawing primitives, and the assertions that stay on in release builds.
#include "assertion.h"
#include "bigimage.h"
#include "largememory.h"
#include "testimages.h"

#include <QtTest>

#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>

class TestBigImage : public QObject {
    Q_OBJECT
private slots:
    void pixelAtOutside_data();
    void pixelAtOutside();
    void emptyImageHasNoStorage();
    void impossibleSizesThrow();
    void largeBlocksAreMappings_data();
    void largeBlocksAreMappings();
    void spillWithoutDiskSpace();
    void setWidthKeepsEveryRow_data();
    void setWidthKeepsEveryRow();
    void factoryUsesGreyAndCubic();
    void greyLevelWeights();
    void deepCopyIsIndependent();
    void deepCopyOfNullIsNull();
    void toQImageKeepsChannels();
    void toQImageOfF();
    void blendPixelRounds();
    void bresenhamPoints();
    void plainLineIsWhiteWithoutStyle();
    void dashedLineRunsOfSix();
    void dashedPatternAdvancesOutside();
    void dashedPatternRestartsEachLine();
    void lineFarOutsideIsSkipped();
    void longLineAcrossKeepsItsDashes();
    void longLinesFollowThePlainWalk_data();
    void longLinesFollowThePlainWalk();
    void antiAliasedHorizontalLine();
    void antiAliasedSteepLine();
    void assertionStaysActive();
};

void TestBigImage::pixelAtOutside_data()
{
    QTest::addColumn<int>("x");
    QTest::addColumn<int>("y");
    QTest::addColumn<bool>("inside");
    QTest::newRow("left of column 0") << -1 << 0 << false;
    QTest::newRow("right of last column") << 6 << 0 << false;
    QTest::newRow("above") << 0 << -1 << false;
    QTest::newRow("below") << 0 << 5 << false;
    QTest::newRow("far negative") << INT32_MIN << INT32_MIN << false;
    QTest::newRow("far positive") << INT32_MAX << 2 << false;
    QTest::newRow("first pixel") << 0 << 0 << true;
    QTest::newRow("first pixel of the last row") << 0 << 4 << true;
}

void TestBigImage::pixelAtOutside()
{
    QFETCH(int, x);
    QFETCH(int, y);
    QFETCH(bool, inside);
    const BigImagePtr img = makeF();
    const RgbPixel p = img->pixelAt(x, y);
    if (inside)
        QCOMPARE(p, (RgbPixel{250, 10, 20}));
    else
        QCOMPARE(p, colGreen);
    // Writes outside are dropped without touching anything.
    img->setPixel(x, y, colBlack);
    QCOMPARE(img->pixelAt(x, y), inside ? colBlack : colGreen);
}

void TestBigImage::emptyImageHasNoStorage()
{
    for (auto size : {std::pair<int, int>{0, 7}, {7, 0}, {0, 0}}) {
        BigImage img(size.first, size.second, colRed);
        QCOMPARE(img.pixelCount(), int64_t(0));
        QVERIFY(img.data() == nullptr);
        QCOMPARE(img.pixelAt(0, 0), colRed);
        img.setPixel(0, 0, colBlue);
        img.drawLine(0, 0, 3, 3);
        img.blendPixel(0, 0, 0.5, colWhite);
        QCOMPARE(img.pixelAt(0, 0), colRed);
    }
}

void TestBigImage::impossibleSizesThrow()
{
    QVERIFY_EXCEPTION_THROWN(BigImage(-1, 5), std::bad_alloc);
    QVERIFY_EXCEPTION_THROWN(BigImage(5, -1), std::bad_alloc);
    QVERIFY_EXCEPTION_THROWN(BigImage(INT32_MAX, INT32_MAX), std::bad_alloc);
}

namespace {
// Whether the page at p belongs to a mapping of this process.
bool mapped(const void* p)
{
    unsigned char v;
    const uintptr_t page = uintptr_t(p) & ~uintptr_t(4095);
    return mincore(reinterpret_cast<void*>(page), 4096, &v) == 0;
}

// The lines of /proc/self/maps that map a file in `folder`.
QStringList mapsIn(const QString& folder)
{
    QFile maps("/proc/self/maps");
    if (!maps.open(QIODevice::ReadOnly))
        return {};
    QStringList lines;
    for (const QByteArray& line : maps.readAll().split('\n'))
        if (line.contains(QFile::encodeName(folder + "/")))
            lines << QString::fromLocal8Bit(line);
    return lines;
}

// Memory judged full for the test's lifetime, with the spill files in a folder of its own.
struct NoMemoryLeft {
    QTemporaryDir dir;
    NoMemoryLeft()
    {
        qputenv("SEAMWRIGHT_MEMORY_LIMIT", "0");
        qputenv("SEAMWRIGHT_CACHE_DIR", QFile::encodeName(dir.path()));
    }
    ~NoMemoryLeft()
    {
        qunsetenv("SEAMWRIGHT_MEMORY_LIMIT");
        qunsetenv("SEAMWRIGHT_CACHE_DIR");
    }
};
} // namespace

void TestBigImage::largeBlocksAreMappings_data()
{
    QTest::addColumn<int>("width");
    QTest::addColumn<int>("height");
    QTest::addColumn<bool>("zeroed");
    QTest::addColumn<bool>("large");
    QTest::addColumn<bool>("spilled");
    QTest::newRow("small, filled") << 100 << 100 << false << false << false;
    QTest::newRow("large, filled") << 1000 << 700 << false << true << false;
    QTest::newRow("large, zeroed") << 1000 << 701 << true << true << false;
    QTest::newRow("one byte below a mapping") << 349519 << 1 << false << false << false; // with 6 spare pixels: 2^20 − 1 bytes
    QTest::newRow("beyond memory, filled") << 1000 << 700 << false << true << true;
    QTest::newRow("beyond memory, zeroed") << 1000 << 701 << true << true << true;
    QTest::newRow("small beyond memory stays in memory") << 100 << 100 << false << false << false;
}

// Large pixel blocks start on a 2 MB boundary (huge pages where the kernel offers them), read
// as the creator asked, and go back to the system with the image.
void TestBigImage::largeBlocksAreMappings()
{
    QFETCH(int, width);
    QFETCH(int, height);
    QFETCH(bool, zeroed);
    QFETCH(bool, large);
    QFETCH(bool, spilled);
    std::unique_ptr<NoMemoryLeft> full(QTest::currentDataTag() == QByteArray("small beyond memory stays in memory") || spilled
                                           ? new NoMemoryLeft
                                           : nullptr);
    const RgbPixel* data = nullptr;
    {
        BigImagePtr img = zeroed ? BigImage::makeZeroed(width, height, colGrey) : makeBigImage(width, height);
        data = img->data();
        const RgbPixel expected = zeroed ? colBlack : colGrey;
        QCOMPARE(img->pixelAt(0, 0), expected);
        QCOMPARE(img->pixelAt(width - 1, height - 1), expected);
        QCOMPARE(LargeMemory::isSpilled(data), spilled);
        if (!spilled)
            QCOMPARE(uintptr_t(data) % LargeMemory::kHugePage == 0, large);
        QVERIFY(mapped(data));
        if (full) {
            // The file has no name: nothing in the folder, a deleted file in the process's maps.
            QCOMPARE(QDir(full->dir.path()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries), QStringList());
            const QStringList maps = mapsIn(full->dir.path());
            QCOMPARE(maps.size(), spilled ? 1 : 0);
            if (spilled)
                QVERIFY2(maps.first().endsWith(" (deleted)"), qPrintable(maps.first()));
            img->setPixel(width - 1, height - 1, colOrange);
            QCOMPARE(img->pixelAt(width - 1, height - 1), colOrange);
        }
    }
    if (large)
        QVERIFY(!mapped(data));
    if (full)
        QCOMPARE(mapsIn(full->dir.path()), QStringList());

    // The error field's float planes take the same way.
    std::vector<float, LargeMemory::Allocator<float>> plane(size_t(width) * size_t(height), 1.0f);
    QCOMPARE(uintptr_t(plane.data()) % LargeMemory::kHugePage == 0, plane.size() * 4 >= LargeMemory::kThreshold);
}

// A block larger than the disk can hold: the message names the folder and the space, once.
void TestBigImage::spillWithoutDiskSpace()
{
    NoMemoryLeft full;
    const QString folder = full.dir.path() + "/cache";
    qputenv("SEAMWRIGHT_CACHE_DIR", QFile::encodeName(folder));
    QVERIFY_EXCEPTION_THROWN(BigImage::makeUnfilled(600000, 600000), std::bad_alloc); // 1.08 TB
    const QString text = LargeMemory::failureText("Out of Memory Error.");
    QVERIFY2(text.startsWith("Not enough memory for an image of 1080002 MB, and not enough disk space in " + folder
                             + " to hold it there either ("),
             qPrintable(text));
    QVERIFY2(text.endsWith(" MB free). Free some space there, or name a folder on a larger disk with "
                           "SEAMWRIGHT_CACHE_DIR."),
             qPrintable(text));
    QCOMPARE(LargeMemory::failureText("Out of Memory Error."), QString("Out of Memory Error."));
    QCOMPARE(mapsIn(folder), QStringList());
}

void TestBigImage::setWidthKeepsEveryRow_data()
{
    QTest::addColumn<int>("width");
    QTest::addColumn<int>("height");
    QTest::addColumn<int>("newWidth");
    QTest::addColumn<bool>("onDisk");
    QTest::newRow("small, wider") << 6 << 5 << 9 << false;
    QTest::newRow("small, narrower") << 9 << 5 << 4 << false;
    QTest::newRow("small to a mapping") << 300 << 300 << 1300 << false;
    QTest::newRow("mapping to small") << 1300 << 300 << 300 << false;
    // 1.44 MB to 2.34 MB: the pages move into a larger mapping, past a huge page's end.
    QTest::newRow("mapping, wider") << 800 << 600 << 1300 << false;
    QTest::newRow("mapping, narrower") << 1300 << 600 << 700 << false;
    QTest::newRow("to nothing") << 700 << 600 << 0 << false;
    QTest::newRow("from nothing") << 0 << 600 << 700 << false;
    // Spill files: the old file's pages open the new block, the rest is the new file's.
    QTest::newRow("on disk, wider") << 800 << 600 << 1300 << true;
    QTest::newRow("on disk, narrower") << 1300 << 600 << 700 << true;
}

// Every pixel that a row keeps is where it was; the image is still a mapping on a 2 MB
// boundary when large, and gives its block back when it goes.
void TestBigImage::setWidthKeepsEveryRow()
{
    QFETCH(int, width);
    QFETCH(int, height);
    QFETCH(int, newWidth);
    QFETCH(bool, onDisk);
    std::unique_ptr<NoMemoryLeft> full(onDisk ? new NoMemoryLeft : nullptr);
    const BigImagePtr original = makeRandom(width, height, 17);
    const BigImagePtr img = deepCopy(original);
    img->setWidth(newWidth);
    QCOMPARE(img->width(), newWidth);
    QCOMPARE(img->height(), height);
    int wrong = 0;
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < std::min(width, newWidth); ++x)
            wrong += img->pixelAt(x, y) != original->pixelAt(x, y);
    QCOMPARE(wrong, 0);
    const bool large = img->pixelCount() * 3 >= int64_t(LargeMemory::kThreshold);
    if (img->pixelCount() == 0) {
        QVERIFY(img->data() == nullptr);
        return;
    }
    QCOMPARE(LargeMemory::isSpilled(img->data()), onDisk);
    if (!onDisk)
        QCOMPARE(uintptr_t(img->data()) % LargeMemory::kHugePage == 0, large);
    // The gained pixels are there to be written, up to the last byte.
    img->setPixel(newWidth - 1, height - 1, colRed);
    QCOMPARE(img->pixelAt(newWidth - 1, height - 1), colRed);
    const RgbPixel* data = img->data();
    img->setWidth(newWidth);
    QCOMPARE(img->data(), data);
    if (large) {
        QVERIFY(mapped(data));
        img->setWidth(0);
        QVERIFY(!mapped(data));
    }
    if (full) // only the original's file is left
        QCOMPARE(mapsIn(full->dir.path()).size(), 1);
}

void TestBigImage::factoryUsesGreyAndCubic()
{
    const BigImagePtr img = makeBigImage(3, 2);
    QCOMPARE(img->width(), 3);
    QCOMPARE(img->height(), 2);
    QCOMPARE(img->background(), colGrey);
    QCOMPARE(img->interpolation(), Interpolation::Cubic);
    for (int y = 0; y < 2; ++y)
        for (int x = 0; x < 3; ++x)
            QCOMPARE(img->pixelAt(x, y), colGrey);
    // A coloured background fills every pixel too (not only grey ones).
    BigImage orange(4, 3, colOrange);
    QCOMPARE(orange.pixelAt(3, 2), colOrange);
    QCOMPARE(orange.backgroundGrey(), uint8_t((11 * 255 + 16 * 128 + 0) >> 5));
}

void TestBigImage::greyLevelWeights()
{
    QCOMPARE(greyLevel(colWhite), uint8_t(255));
    QCOMPARE(greyLevel(colBlack), uint8_t(0));
    QCOMPARE(greyLevel(colRed), uint8_t(87));   // 11·255 / 32
    QCOMPARE(greyLevel(colGreen), uint8_t(127)); // 16·255 / 32
    QCOMPARE(greyLevel(colBlue), uint8_t(39));   // 5·255 / 32
    QCOMPARE(makeBigImage(1, 1)->backgroundGrey(), uint8_t(128));
}

void TestBigImage::deepCopyIsIndependent()
{
    const BigImagePtr source = makeF();
    const BigImagePtr copy = deepCopy(source);
    QVERIFY(copy != source);
    QVERIFY(copy->data() != source->data());
    QVERIFY(samePixels(*copy, *source));
    QCOMPARE(copy->background(), colGreen);
    copy->setPixel(0, 0, colWhite);
    QCOMPARE(source->pixelAt(0, 0), (RgbPixel{250, 10, 20}));
}

void TestBigImage::deepCopyOfNullIsNull()
{
    QVERIFY(deepCopy(nullptr) == nullptr);
}

void TestBigImage::toQImageKeepsChannels()
{
    auto img = makeBigImage(1, 1);
    img->setPixel(0, 0, RgbPixel{1, 2, 3});
    const QImage q = toQImage(img);
    QCOMPARE(q.format(), QImage::Format_RGB888);
    QCOMPARE(q.size(), QSize(1, 1));
    QCOMPARE(q.pixel(0, 0), QRgb(0xFF010203));
    QCOMPARE(fromQRgb(q.pixel(0, 0)), (RgbPixel{1, 2, 3}));
    QVERIFY(toQImage(nullptr).isNull());
}

void TestBigImage::toQImageOfF()
{
    const BigImagePtr img = makeF();
    const QImage q = toQImage(img);
    QCOMPARE(q.size(), QSize(6, 5));
    for (int y = 0; y < 5; ++y)
        for (int x = 0; x < 6; ++x)
            QCOMPARE(fromQRgb(q.pixel(x, y)), img->pixelAt(x, y));
}

void TestBigImage::blendPixelRounds()
{
    auto img = std::make_shared<BigImage>(2, 1, colBlack);
    img->blendPixel(0, 0, 0.25, RgbPixel{255, 100, 2});
    // 63.75 → 64, 25 → 25, 0.5 → 1 (half rounds up)
    QCOMPARE(img->pixelAt(0, 0), (RgbPixel{64, 25, 1}));
    img->blendPixel(1, 0, 1.0, colWhite);
    QCOMPARE(img->pixelAt(1, 0), colWhite);
    img->blendPixel(1, 0, 0.0, colBlack);
    QCOMPARE(img->pixelAt(1, 0), colWhite);
    img->blendPixel(2, 0, 1.0, colRed); // outside: dropped
}

void TestBigImage::bresenhamPoints()
{
    auto img = std::make_shared<BigImage>(8, 4, colBlack);
    LineStyle pen(colRed);
    img->drawLine(0, 0, 5, 2, &pen);
    const QVector<QPoint> expected{{0, 0}, {1, 0}, {2, 1}, {3, 1}, {4, 2}, {5, 2}};
    for (int y = 0; y < 4; ++y)
        for (int x = 0; x < 8; ++x)
            QCOMPARE(img->pixelAt(x, y), expected.contains(QPoint(x, y)) ? colRed : colBlack);
    QCOMPARE(pen.patternPos, 6);

    // The same line drawn backwards covers both end points too.
    auto back = std::make_shared<BigImage>(8, 4, colBlack);
    back->drawLine(5, 2, 0, 0, &pen);
    QCOMPARE(back->pixelAt(0, 0), colRed);
    QCOMPARE(back->pixelAt(5, 2), colRed);
}

void TestBigImage::plainLineIsWhiteWithoutStyle()
{
    auto img = std::make_shared<BigImage>(3, 3, colBlack);
    img->drawLine(0, 1, 2, 1);
    QCOMPARE(img->pixelAt(0, 1), colWhite);
    QCOMPARE(img->pixelAt(2, 1), colWhite);
    QCOMPARE(img->pixelAt(1, 0), colBlack);
}

void TestBigImage::dashedLineRunsOfSix()
{
    auto img = std::make_shared<BigImage>(30, 1, colGrey);
    LineStyle dashed(colBlack, LineStyle::StyleDashed, colWhite, LineStyle::Opaque, 0, 1.0f);
    img->drawLine(0, 0, 23, 0, &dashed);
    for (int x = 0; x < 24; ++x)
        QCOMPARE(img->pixelAt(x, 0), (x / 6) % 2 == 0 ? colWhite : colBlack);
    QCOMPARE(img->pixelAt(24, 0), colGrey);
}

void TestBigImage::dashedPatternAdvancesOutside()
{
    // Three points left of the image still count: x = 0 is the fourth point.
    auto img = std::make_shared<BigImage>(12, 1, colGrey);
    LineStyle dashed(colBlack, LineStyle::StyleDashed, colWhite);
    img->drawLine(-3, 0, 11, 0, &dashed);
    for (int x = 0; x < 12; ++x)
        QCOMPARE(img->pixelAt(x, 0), ((x + 3) / 6) % 2 == 0 ? colWhite : colBlack);
}

void TestBigImage::dashedPatternRestartsEachLine()
{
    auto img = std::make_shared<BigImage>(10, 2, colGrey);
    LineStyle dashed(colBlack, LineStyle::StyleDashed, colWhite, LineStyle::Opaque, 5);
    img->drawLine(0, 0, 8, 0, &dashed);
    img->drawLine(0, 1, 8, 1, &dashed);
    for (int y = 0; y < 2; ++y) {
        QCOMPARE(img->pixelAt(0, y), colWhite);
        QCOMPARE(img->pixelAt(5, y), colWhite);
        QCOMPARE(img->pixelAt(6, y), colBlack);
    }
}

void TestBigImage::lineFarOutsideIsSkipped()
{
    auto img = std::make_shared<BigImage>(4, 4, colGrey);
    LineStyle pen(colRed);
    QElapsedTimer timer;
    timer.start();
    img->drawLine(-5, -2000000000, -5, 2000000000, &pen);
    img->drawLine(10, 0, 2000000000, 3, &pen);
    QVERIFY(timer.elapsed() < 1000);
    for (int y = 0; y < 4; ++y)
        for (int x = 0; x < 4; ++x)
            QCOMPARE(img->pixelAt(x, y), colGrey);
}

void TestBigImage::longLineAcrossKeepsItsDashes()
{
    // Four billion points, of which a dozen lie in the image: drawn at once, the dashes in
    // the phase they have when counted from the line's start.
    auto img = std::make_shared<BigImage>(12, 3, colGrey);
    LineStyle dashed(colBlack, LineStyle::StyleDashed, colWhite);
    QElapsedTimer timer;
    timer.start();
    img->drawLine(-2000000000, 1, 2000000000, 1, &dashed);
    QVERIFY(timer.elapsed() < 1000);
    for (int x = 0; x < 12; ++x)
        QCOMPARE(img->pixelAt(x, 1), ((int64_t(x) + 2000000000) / 6) % 2 == 0 ? colWhite : colBlack);
    QCOMPARE(img->pixelAt(0, 0), colGrey);
    // A steep one through the image also ends quickly and marks its column.
    img->drawLine(5, -2000000000, 6, 2000000000, &dashed);
    QVERIFY(timer.elapsed() < 2000);
}

void TestBigImage::longLinesFollowThePlainWalk_data()
{
    QTest::addColumn<QVector<int>>("ends"); // x0, y0, x1, y1 on a 200 × 50 image
    QTest::newRow("shallow, from far right") << QVector<int>{2843737, 1157599, 126, 11};
    QTest::newRow("steep, from far below") << QVector<int>{-37, -11, 1511, 3000007};
    uint32_t v = 12345;
    auto next = [&v](int range) {
        v = v * 1103515245u + 12345u;
        return int((v >> 8) % uint32_t(2 * range + 1)) - range;
    };
    for (int i = 0; i < 24; ++i) {
        // One end near the image, the other up to three million steps away.
        const QVector<int> ends{next(250), next(80), next(3000000), next(3000000)};
        QTest::newRow(qPrintable(QString("random %1").arg(i))) << ends;
    }
}

void TestBigImage::longLinesFollowThePlainWalk()
{
    QFETCH(QVector<int>, ends);
    auto img = std::make_shared<BigImage>(200, 50, colGrey);
    LineStyle dashed(colBlack, LineStyle::StyleDashed, colWhite);
    img->drawLine(ends[0], ends[1], ends[2], ends[3], &dashed);

    // Every point of the plain walk, dashes counted from the start.
    auto ref = std::make_shared<BigImage>(200, 50, colGrey);
    int64_t x = ends[0], y = ends[1];
    const int64_t dx = std::llabs(int64_t(ends[2]) - x), dy = std::llabs(int64_t(ends[3]) - y);
    const int sx = ends[2] > x ? 1 : -1, sy = ends[3] > y ? 1 : -1;
    int64_t err = dx - dy;
    for (int64_t n = 0;; ++n) {
        if (x >= 0 && x < 200 && y >= 0 && y < 50)
            ref->setPixel(int32_t(x), int32_t(y), (n / 6) % 2 == 0 ? colWhite : colBlack);
        if (x == ends[2] && y == ends[3])
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
    for (int yy = 0; yy < 50; ++yy)
        for (int xx = 0; xx < 200; ++xx)
            if (img->pixelAt(xx, yy) != ref->pixelAt(xx, yy))
                QFAIL(qPrintable(QString("pixel (%1, %2) differs from the plain walk").arg(xx).arg(yy)));
}

void TestBigImage::antiAliasedHorizontalLine()
{
    // Half-way between rows 2 and 3: both get half coverage inside, a quarter at the ends.
    auto img = std::make_shared<BigImage>(7, 5, colBlack);
    img->drawLineAA(1.0, 2.5, 5.0, 2.5, colWhite);
    for (int y = 0; y < 5; ++y) {
        for (int x = 0; x < 7; ++x) {
            uint8_t v = 0;
            if (y == 2 || y == 3)
                v = (x >= 2 && x <= 4) ? 128 : ((x == 1 || x == 5) ? 64 : 0);
            QCOMPARE(img->pixelAt(x, y), (RgbPixel{v, v, v}));
        }
    }
}

void TestBigImage::antiAliasedSteepLine()
{
    // The same line turned: the major axis is y, the pixels straddle x = 2.5.
    auto img = std::make_shared<BigImage>(5, 7, colBlack);
    img->drawLineAA(2.5, 5.0, 2.5, 1.0, colRed);
    QCOMPARE(img->pixelAt(2, 3), (RgbPixel{128, 0, 0}));
    QCOMPARE(img->pixelAt(3, 3), (RgbPixel{128, 0, 0}));
    QCOMPARE(img->pixelAt(2, 1), (RgbPixel{64, 0, 0}));
    QCOMPARE(img->pixelAt(1, 3), colBlack);
    QCOMPARE(img->pixelAt(2, 0), colBlack);
    // Non-finite coordinates draw nothing.
    auto clean = std::make_shared<BigImage>(5, 7, colBlack);
    clean->drawLineAA(std::nan(""), 1.0, 3.0, 4.0, colRed);
    clean->drawLineAA(0.0, 1.0, INFINITY, 4.0, colRed);
    QVERIFY(samePixels(*clean, BigImage(5, 7, colBlack)));
}

void TestBigImage::assertionStaysActive()
{
    // This binary is a release build: a failed precondition must still end the program
    // with the expression, the file and the line.
    int pipeFds[2];
    QVERIFY(pipe(pipeFds) == 0);
    const pid_t child = fork();
    QVERIFY(child >= 0);
    if (child == 0) {
        dup2(pipeFds[1], 2);
        BigImagePtr img;
        SW_ASSERT(img != nullptr);
        _exit(0);
    }
    close(pipeFds[1]);
    QByteArray text;
    char buffer[256];
    ssize_t n;
    while ((n = read(pipeFds[0], buffer, sizeof buffer)) > 0)
        text.append(buffer, int(n));
    close(pipeFds[0]);
    int status = 0;
    waitpid(child, &status, 0);
    QVERIFY(WIFSIGNALED(status));
    QCOMPARE(WTERMSIG(status), SIGABRT);
    QVERIFY2(text.contains("img != nullptr"), text.constData());
    QVERIFY2(text.contains("tst_bigimage.cpp"), text.constData());
    QVERIFY2(text.contains("line "), text.constData());
}

int runBigImageTests(int argc, char** argv)
{
    TestBigImage test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_bigimage.moc"
