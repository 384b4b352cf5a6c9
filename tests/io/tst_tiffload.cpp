// Loading TIFF files with libtiff: files written by ImageMagick and tiffcp in every layout the
// direct path takes must give the pixels and resolution of Qt's route; the kinds it leaves to
// Qt must go there; damaged files, oversized headers and concurrent loads must end cleanly.
#include "iotestutil.h"
#include "loading.h"
#include "recordingwatcher.h"
#include "testimages.h"
#include "tiffdecoder.h"

#include <QElapsedTimer>
#include <QImageReader>
#include <QTemporaryDir>
#include <QtEndian>
#include <QtTest>

#include <random>
#include <thread>
#if defined(Q_OS_UNIX)
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>
#endif

using namespace BigImageIO;

namespace {

const QString kUnreadable = QStringLiteral("Could not read to QImage: %1.");

void writeFile(const QString& name, const QByteArray& bytes)
{
    QFile f(name);
    QVERIFY(f.open(QIODevice::WriteOnly));
    QCOMPARE(f.write(bytes), qint64(bytes.size()));
}

// A little-endian TIFF with its directory first and one strip after it, RGB 8-bit: for files
// cut inside their image data and for headers that promise far more than the file holds.
QByteArray handMadeTiff(uint32_t width, uint32_t height, uint16_t compression, const QByteArray& strip,
                        uint32_t declaredStripBytes)
{
    struct Entry {
        uint16_t tag, type;
        uint32_t count, value;
    };
    const uint32_t bitsAt = 8 + 2 + 9 * 12 + 4, dataAt = bitsAt + 6;
    const Entry entries[] = {{256, 4, 1, width}, {257, 4, 1, height}, {258, 3, 3, bitsAt}, {259, 3, 1, compression},
                             {262, 3, 1, 2},     {273, 4, 1, dataAt}, {277, 3, 1, 3},      {278, 4, 1, height},
                             {279, 4, 1, declaredStripBytes}};
    QByteArray out("II*\0\x08\0\0\0", 8);
    auto put16 = [&](uint16_t v) { out.append(char(v & 0xFF)).append(char(v >> 8)); };
    auto put32 = [&](uint32_t v) {
        put16(uint16_t(v & 0xFFFF));
        put16(uint16_t(v >> 16));
    };
    put16(9);
    for (const Entry& e : entries) {
        put16(e.tag);
        put16(e.type);
        put32(e.count);
        put32(e.type == 3 && e.count == 1 ? e.value & 0xFFFF : e.value); // a SHORT sits left-justified
    }
    put32(0); // no further directory
    for (int i = 0; i < 3; ++i)
        put16(8);
    return out + strip;
}

// What Qt's route gives for the file: its image and resolution.
struct QtResult {
    BigImagePtr image;
    DotsPerMetre dpi;
};

QtResult loadThroughQt(const QString& path)
{
    QtResult r;
    BigImageLoadData data;
    data.dpi = &r.dpi;
    r.image = readTiled(path, QImageReader(path).size(), data, nullptr);
    return r;
}

#if defined(Q_OS_UNIX)
// Everything written to file descriptor 2 while it lives.
class StderrCapture {
public:
    explicit StderrCapture(const QString& file)
        : file_(file)
    {
        std::fflush(stderr);
        saved_ = dup(2);
        const int fd = open(QFile::encodeName(file).constData(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(fd, 2);
        close(fd);
    }
    QByteArray finish()
    {
        std::fflush(stderr);
        dup2(saved_, 2);
        close(saved_);
        return fileBytes(file_);
    }

private:
    QString file_;
    int saved_ = -1;
};
#endif

} // namespace

class TestTiffLoad : public QObject {
    Q_OBJECT

    QTemporaryDir dir_;

    // ImageMagick writes the source as a TIFF with the given options, tiffcp rewrites it if
    // asked, tiffset changes tags in place (each "tag value" or "-u tag").
    QString makeTiff(const QString& name, const QString& source, int width, int height, const QStringList& convert,
                     const QStringList& tiffcp, const QStringList& tiffset)
    {
        const bool grey = source == "grey";
        const QString in = dir_.filePath(name + (grey ? ".pgm" : ".ppm"));
        std::mt19937 rng(uint32_t(width * 131 + height));
        QByteArray bytes = QString("%1\n%2 %3\n255\n").arg(grey ? "P5" : "P6").arg(width).arg(height).toLatin1();
        for (int64_t i = 0; i < int64_t(width) * height * (grey ? 1 : 3); ++i)
            bytes.append(char(rng() & 0xFF));
        writeFile(in, bytes);
        QString out = dir_.filePath(name + ".tif");
        ToolResult r = runTool("convert", QStringList{in, "-depth", "8"} + convert + QStringList{out});
        if (!r.started || r.exitCode != 0)
            return QString();
        if (!tiffcp.isEmpty()) {
            const QString copy = dir_.filePath(name + "-cp.tif");
            r = runTool("tiffcp", tiffcp + QStringList{out, copy});
            if (r.exitCode != 0)
                return QString();
            out = copy;
        }
        for (const QString& change : tiffset) {
            const QStringList parts = change.split(' ');
            r = runTool("tiffset", (parts[0] == "-u" ? parts : QStringList{"-s"} + parts) + QStringList{out});
            if (r.exitCode != 0)
                return QString();
        }
        return out;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(dir_.isValid());
        for (const char* tool : {"convert", "tiffcp", "tiffset"})
            QVERIFY2(runTool(tool, {"-h"}).started, tool); // installed by scripts/deps
    }

    void matchesQtRoute_data()
    {
        QTest::addColumn<QString>("source"); // rgb or grey
        QTest::addColumn<int>("width");
        QTest::addColumn<int>("height");
        QTest::addColumn<QStringList>("convert");
        QTest::addColumn<QStringList>("tiffcp");
        QTest::addColumn<QStringList>("tiffset");
        QTest::addColumn<bool>("direct"); // decoded by libtiff, not left to Qt
        const QStringList none;
        const QStringList inch{"-density", "300", "-units", "PixelsPerInch"};
        QTest::newRow("RGB none, 300 dpi") << "rgb" << 37 << 23 << QStringList{"-compress", "None"} + inch << none << none << true;
        QTest::newRow("RGB LZW, predictor, strips of 5 rows, 118.11 per cm")
            << "rgb" << 37 << 23
            << QStringList{"-compress", "LZW", "-define", "tiff:rows-per-strip=5", "-density", "118.11", "-units", "PixelsPerCentimeter"}
            << none << none << true;
        QTest::newRow("RGB deflate") << "rgb" << 37 << 23 << QStringList{"-compress", "Zip"} << none << none << true;
        QTest::newRow("RGB packbits, 7 strips") << "rgb" << 203 << 77 << QStringList{"-compress", "RLE"} << QStringList{"-r", "11"} << none << true;
        QTest::newRow("RGB JPEG stored as RGB") << "rgb" << 37 << 23 << none << QStringList{"-c", "jpeg:r"} << none << true;
        QTest::newRow("RGB one strip") << "rgb" << 203 << 77 << none << QStringList{"-r", "1000"} << none << true;
        QTest::newRow("RGB tiles 16x16, LZW") << "rgb" << 37 << 23 << none << QStringList{"-t", "-w", "16", "-l", "16", "-c", "lzw"} << none << true;
        QTest::newRow("RGB tiles 32x16, none") << "rgb" << 203 << 77 << none << QStringList{"-t", "-w", "32", "-l", "16"} << none << true;
        // Centimetres multiply in float, inches in double: 1.005 lands on either side of .5.
        QTest::newRow("1.005 and 2.5 per cm") << "rgb" << 37 << 23 << none << none
                                              << QStringList{"296 3", "282 1.005", "283 2.5"} << true;
        QTest::newRow("1.005 and 0.004 dpi, no unit tag") << "rgb" << 37 << 23 << none << none
                                                          << QStringList{"282 1.005", "283 0.004", "-u 296"} << true;
        QTest::newRow("only X resolution") << "rgb" << 37 << 23 << none << none << QStringList{"282 1.005"} << true;
        QTest::newRow("resolution without unit") << "rgb" << 37 << 23 << none << none
                                                 << QStringList{"296 1", "282 300", "283 300"} << true;
        QTest::newRow("grey LZW") << "grey" << 37 << 23 << QStringList{"-compress", "LZW"} << none << none << true;
        QTest::newRow("grey min-is-white") << "grey" << 37 << 23 << none << none << QStringList{"262 0"} << true;
        QTest::newRow("grey tiles, deflate, min-is-white")
            << "grey" << 37 << 23 << none << QStringList{"-t", "-w", "16", "-l", "16", "-c", "zip"} << QStringList{"262 0"} << true;

        QTest::newRow("palette") << "rgb" << 37 << 23 << QStringList{"-colors", "16", "-type", "Palette"} << none << none << false;
        QTest::newRow("16-bit") << "rgb" << 37 << 23 << QStringList{"-depth", "16"} << none << none << false;
        for (const char* alpha : {"unspecified", "associated", "unassociated"})
            QTest::newRow(qPrintable(QString("RGBA, %1 alpha").arg(alpha)))
                << "rgb" << 37 << 23
                << QStringList{"-alpha", "set", "-channel", "A", "-fx", "(i*7+j*3)%256/255", "+channel", "-define",
                               QString("tiff:alpha=%1").arg(alpha)}
                << none << none << false;
        QTest::newRow("separate planes") << "rgb" << 37 << 23 << none << QStringList{"-p", "separate"} << none << false;
        QTest::newRow("YCbCr JPEG") << "rgb" << 37 << 23 << none << QStringList{"-c", "jpeg"} << none << false;
        QTest::newRow("bottom-left orientation") << "rgb" << 37 << 23 << none << none << QStringList{"274 4"} << false;
    }

    void matchesQtRoute()
    {
        QFETCH(QString, source);
        QFETCH(int, width);
        QFETCH(int, height);
        QFETCH(QStringList, convert);
        QFETCH(QStringList, tiffcp);
        QFETCH(QStringList, tiffset);
        QFETCH(bool, direct);
        // tiffcp reads "name,N" as directory N of the file: no commas in the names.
        const QString name = QString(QTest::currentDataTag()).replace(QRegularExpression("[^A-Za-z0-9]"), "_");
        const QString path = makeTiff(name, source, width, height, convert, tiffcp, tiffset);
        QVERIFY2(!path.isEmpty(), "making the file failed");

        std::atomic<float> progress{-1.0f};
        const TiffDecodeResult decoded = decodeTiff(path, &progress);
        QCOMPARE(decoded.status, direct ? TiffDecodeStatus::Decoded : TiffDecodeStatus::Unsupported);
        if (direct)
            QCOMPARE(progress.load(), 1.0f);

        const QtResult expected = loadThroughQt(path);
        QVERIFY(expected.image);
        RecordingWatcher watcher;
        DotsPerMetre dpi;
        BigImageLoadData data;
        data.watcher = &watcher;
        data.dpi = &dpi;
        const BigImagePtr img = loadImageFile(path, data);
        QVERIFY2(img, qPrintable(watcher.messages().join("; ")));
        QVERIFY(watcher.messages().isEmpty());
        QVERIFY(data.loaded);
        QVERIFY2(samePixels(*img, *expected.image), qPrintable(firstDifferences(*img, *expected.image)));
        QCOMPARE(dpi.x, expected.dpi.x);
        QCOMPARE(dpi.y, expected.dpi.y);
    }

    // Damaged files: one message, no image, nothing from libtiff on standard error, and no
    // time spent on the image a header promises.
    void brokenFiles_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<bool>("qtFailsToo");
        QByteArray pixels(37 * 23 * 3, '\0');
        std::mt19937 rng(5);
        for (char& c : pixels)
            c = char(rng() & 0xFF);
        const QByteArray whole = handMadeTiff(37, 23, 1, pixels, uint32_t(pixels.size()));
        QTest::newRow("cut in the pixels") << whole.left(whole.size() * 2 / 3) << true;
        QTest::newRow("cut in the directory") << whole.left(40) << true;
        QTest::newRow("20000 x 20000 in 200 bytes") << handMadeTiff(20000, 20000, 1, pixels.left(64), 1200000000u) << false;
        // qCompress puts the length before zlib's stream; with its first bytes overwritten the
        // stream fails zlib's header check.
        QByteArray deflate = qCompress(pixels).mid(4);
        deflate.replace(0, 16, QByteArray(16, '\xEE'));
        QTest::newRow("deflate data overwritten") << handMadeTiff(37, 23, 8, deflate, uint32_t(deflate.size())) << true;
        // 30000 × 30000 (2.7 GB) promised by a header and 16 bytes of garbage: nothing may be
        // committed for the image before its data has decoded.
        QTest::newRow("30000 x 30000 deflate, 16 bytes") << handMadeTiff(30000, 30000, 8, QByteArray(16, '\xEE'), 16) << false;
        QTest::newRow("30000 x 30000 LZW, 16 bytes") << handMadeTiff(30000, 30000, 5, QByteArray(16, '\xEE'), 16) << false;
        // Its first rows decode, but 2 kB of deflate data cannot hold 1.2 GB.
        const QByteArray zeros = qCompress(QByteArray(2 << 20, '\0')).mid(4);
        QTest::newRow("20000 x 20000 deflate, 2 kB") << handMadeTiff(20000, 20000, 8, zeros, uint32_t(zeros.size())) << false;
        // Found by the fuzzer: 1600 samples a pixel, not for the direct decoder; Qt's reader
        // made libtiff allocate and fill a strip buffer of 13 GB. It must never reach Qt.
        QTest::newRow("strips of 13 GB for Qt's reader")
            << fileBytes(QStringLiteral(SEAMWRIGHT_TEST_DATA "/fuzz/tiff-qt-route-13gb-strip.tif")) << false;
        // Also the fuzzer's: 361,000 tiles of 9509 × 9729 pixels that all point at the same
        // 256 bytes of a 1.9 kB file.
        QTest::newRow("tiles sharing their bytes")
            << fileBytes(QStringLiteral(SEAMWRIGHT_TEST_DATA "/fuzz/tiff-tiles-sharing-their-bytes.tif")) << false;
    }

    void brokenFiles()
    {
        QFETCH(QByteArray, content);
        QFETCH(bool, qtFailsToo);
        const QString path = dir_.filePath(QString(QTest::currentDataTag()).replace(' ', '_') + ".tif");
        writeFile(path, content);
        RecordingWatcher watcher;
        BigImageLoadData data;
        data.watcher = &watcher;
        QElapsedTimer timer;
        timer.start();
        {
            AddressSpaceLimit limit(512);
            QVERIFY(!loadImageFile(path, data));
        }
        QVERIFY(timer.elapsed() < 2000);
        QCOMPARE(watcher.messages(), QStringList{kUnreadable.arg(path)});
        QVERIFY(!data.loaded);
        if (qtFailsToo)
            QVERIFY(!loadThroughQt(path).image);
#if defined(Q_OS_UNIX)
        StderrCapture capture(dir_.filePath("stderr.txt"));
        const TiffDecodeResult decoded = decodeTiff(path, nullptr);
        const QByteArray printed = capture.finish();
        QCOMPARE(decoded.status, TiffDecodeStatus::Failed);
        QVERIFY(!decoded.error.isEmpty());
        QVERIFY(!decoded.image);
        QCOMPARE(printed, QByteArray());
#endif
    }

    // A header whose image cannot be allocated: the program's out-of-memory message.
    void unallocatableImage()
    {
        // Sanitizers end the program on a failed allocation instead of returning null.
#if defined(Q_OS_LINUX) && !defined(__SANITIZE_THREAD__) && !defined(__SANITIZE_ADDRESS__)
        const QString path = dir_.filePath("huge.tif");
        // The first rows decode and the strip's bytes could hold the image, so the allocation
        // (675 MB) is what fails.
        QByteArray rows(15000 * 3 * 23, '\0');
        std::mt19937 rng(3);
        for (char& c : rows)
            c = char(rng() & 0xFF);
        const QByteArray strip = qCompress(rows).mid(4);
        writeFile(path, handMadeTiff(15000, 15000, 8, strip, uint32_t(strip.size())));
        RecordingWatcher watcher;
        BigImageLoadData data;
        data.watcher = &watcher;
        BigImagePtr img;
        {
            AddressSpaceLimit limit(512);
            QVERIFY(limit.active);
            img = loadImageFile(path, data);
        }
        QVERIFY(!img);
        QCOMPARE(watcher.messages(), QStringList{"Out of Memory Error."});
        QVERIFY(!data.loaded);
#else
        QSKIP("needs an address space limit and no sanitizer");
#endif
    }

    // libtiff's messages are caught per file: a failing decode on one thread neither leaks its
    // error into another thread's nor disturbs its pixels.
    void concurrentDecodes()
    {
        const QString good = makeTiff("concurrent", "rgb", 203, 77, {"-compress", "LZW"}, {}, {});
        QVERIFY(!good.isEmpty());
        const QString bad = dir_.filePath("concurrent-bad.tif");
        QByteArray strip = qCompress(QByteArray(5000, 'x')).mid(4);
        strip.replace(0, 8, QByteArray(8, '\xEE'));
        writeFile(bad, handMadeTiff(40, 40, 8, strip, uint32_t(strip.size())));
        const BigImagePtr expected = loadThroughQt(good).image;
        QVERIFY(expected);

        std::atomic<int> wrong{0};
        std::vector<std::thread> threads;
        for (int t = 0; t < 4; ++t)
            threads.emplace_back([&, t] {
                for (int i = 0; i < 25; ++i) {
                    const TiffDecodeResult r = decodeTiff(t % 2 ? bad : good, nullptr);
                    const bool right = t % 2 ? r.status == TiffDecodeStatus::Failed && !r.error.isEmpty() && !r.image
                                             : r.status == TiffDecodeStatus::Decoded && r.error.isEmpty() && r.image
                                                   && samePixels(*r.image, *expected);
                    if (!right)
                        ++wrong;
                }
            });
        for (std::thread& t : threads)
            t.join();
        QCOMPARE(wrong.load(), 0);
    }
};

int runTiffLoadTests(int argc, char** argv)
{
    TestTiffLoad t;
    return QTest::qExec(&t, argc, argv);
}

#include "tst_tiffload.moc"
