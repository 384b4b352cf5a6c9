// Loading: the suffix dispatch, every message of a failed load, the copy out of every QImage
// format, the resolution, and the tiled reader.
#include "iotestutil.h"
#include "jpegencoder.h"
#include "loading.h"
#include "pnm.h"
#include "recordingwatcher.h"
#include "testimages.h"

#include <QImage>
#include <QTemporaryDir>
#include <QtTest>

#include <random>

using namespace BigImageIO;

namespace {

QImage randomQImage(int w, int h, unsigned seed, bool alpha)
{
    QImage img(w, h, QImage::Format_ARGB32);
    std::mt19937 rng(seed);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            img.setPixel(x, y, qRgba(int(rng() & 255), int(rng() & 255), int(rng() & 255), alpha ? int(rng() & 255) : 255));
    return img;
}

bool equalsQImage(const BigImage& img, const QImage& q)
{
    if (img.width() != q.width() || img.height() != q.height())
        return false;
    for (int y = 0; y < q.height(); ++y)
        for (int x = 0; x < q.width(); ++x)
            if (img.pixelAt(x, y) != fromQRgb(q.pixel(x, y)))
                return false;
    return true;
}

void writeFile(const QString& name, const QByteArray& bytes)
{
    QFile f(name);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(bytes);
}

} // namespace

class TestLoading : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { QVERIFY(dir.isValid()); }
    void dispatchLoads_data();
    void dispatchLoads();
    void unsupportedSuffixes_data();
    void unsupportedSuffixes();
    void failures_data();
    void failures();
    void bombHeaderFailsFast();
    void everyQImageFormat_data();
    void everyQImageFormat();
    void greyAndAlphaPng();
    void resolutionIsStored();
    void tiledReadMatchesWholeRead();
    void jpegDecodesAsQtDoes_data();
    void jpegDecodesAsQtDoes();
    void cutJpegCommitsOnlyWhatItHolds();
    void withoutWatcherNothingBreaks();
    void fuzzFindings_data();
    void fuzzFindings();

private:
    QTemporaryDir dir;
};

void TestLoading::dispatchLoads_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("qtFormat"); // empty: written by our PNM writer
    QTest::addColumn<bool>("lossless");
    QTest::newRow("png") << "a.png" << QByteArray("png") << true;
    QTest::newRow("bmp through the PNG loader") << "a.bmp" << QByteArray("bmp") << true;
    QTest::newRow("tif") << "a.tif" << QByteArray("tiff") << true;
    QTest::newRow("tiff") << "a.tiff" << QByteArray("tiff") << true;
    QTest::newRow("jpg") << "a.jpg" << QByteArray("jpg") << false;
    QTest::newRow("jpeg") << "a.jpeg" << QByteArray("jpg") << false;
    QTest::newRow("pnm") << "a.pnm" << QByteArray() << true;
    QTest::newRow("ppm") << "a.ppm" << QByteArray() << true;
    QTest::newRow("pgm") << "a.pgm" << QByteArray() << true;
    QTest::newRow("pbm") << "a.pbm" << QByteArray() << true;
}

void TestLoading::dispatchLoads()
{
    QFETCH(QString, name);
    QFETCH(QByteArray, qtFormat);
    QFETCH(bool, lossless);
    const QString path = dir.filePath(name);
    // Smooth, so that a JPEG of it stays close; every pixel still differs from its neighbours.
    auto source = makeBigImage(53, 31);
    for (int y = 0; y < 31; ++y)
        for (int x = 0; x < 53; ++x)
            source->setPixel(x, y, RgbPixel{uint8_t(x * 4 + y), uint8_t(y * 8), uint8_t((x + y) * 3)});
    if (qtFormat.isEmpty())
        QVERIFY(write_ppm(reinterpret_cast<const uint8_t*>(source->data()), 53, 31, path));
    else
        QVERIFY(toQImage(source).save(path, qtFormat.constData(), 95));

    RecordingWatcher watcher;
    BigImageLoadData data;
    data.watcher = &watcher;
    const BigImagePtr img = loadImageFile(path, data);
    QVERIFY2(img, qPrintable(watcher.messages().join("; ")));
    QVERIFY(watcher.messages().isEmpty());
    QVERIFY(data.loaded);
    QCOMPARE(data.filename, path);
    QCOMPARE(img->width(), 53);
    QCOMPARE(img->height(), 31);
    QCOMPARE(img->background(), colGrey);
    if (lossless)
        QVERIFY(samePixels(*img, *source));
    else
        QVERIFY(psnr(*img, *source) > 35.0);
}

void TestLoading::unsupportedSuffixes_data()
{
    QTest::addColumn<QString>("name");
    QTest::newRow("upper case") << "photo.JPG";
    QTest::newRow("mixed case") << "photo.Png";
    QTest::newRow("pdf") << "doc.pdf";
    QTest::newRow("no suffix") << "scan";
    QTest::newRow("gif") << "anim.gif";
}

void TestLoading::unsupportedSuffixes()
{
    QFETCH(QString, name);
    const QString path = dir.filePath(name);
    QVERIFY(toQImage(makeF()).save(path, "png"));
    RecordingWatcher watcher;
    BigImageLoadData data;
    data.watcher = &watcher;
    QVERIFY(!loadImageFile(path, data));
    QCOMPARE(watcher.messages(), QStringList{"Unsupported fileformat: " + path});
    QVERIFY(!data.loaded);
}

void TestLoading::failures_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("content"); // "-" : no file at all
    QTest::addColumn<QString>("message");    // %1: the path
    QByteArray jpeg;
    {
        QBuffer buffer(&jpeg);
        buffer.open(QIODevice::WriteOnly);
        toQImage(makeRandom(200, 150, 3)).save(&buffer, "jpg", 90);
    }
    QTest::newRow("garbage jpg") << "g.jpg" << QByteArray("this is no picture at all") << "Cannot read from file %1.";
    QTest::newRow("missing jpg") << "none.jpg" << QByteArray("-") << "Cannot read from file %1.";
    QTest::newRow("jpg cut in its header") << "cut.jpg" << jpeg.left(150) << "Could not read to QImage: %1.";
    // The frame header promises 20000 × 20000 pixels; the data is that of 200 × 150: the
    // first rows already run out of data, so nothing is allocated or loaded.
    QByteArray bomb = jpeg;
    const int sof = bomb.indexOf("\xff\xc0");
    QVERIFY(sof > 0);
    bomb.replace(sof + 5, 4, QByteArray("\x4e\x20\x4e\x20", 4));
    QTest::newRow("jpg frame promising 20000 x 20000") << "bomb.jpg" << bomb << "Could not read to QImage: %1.";
    // Found by the fuzzer: an arithmetic-coded scan cut short by a second frame header, which
    // decodes zeros without a warning; it promised 3.1 GB.
    QTest::newRow("arithmetic scan cut by a marker")
        << "arith.jpg" << fileBytes(QStringLiteral(SEAMWRIGHT_TEST_DATA "/fuzz/jpeg-arithmetic-scan-cut-by-sof.jpg"))
        << "Could not read to QImage: %1.";
    QTest::newRow("garbage png") << "g.png" << QByteArray(300, '\x17') << "Cannot read from file %1.";
    QTest::newRow("missing pnm") << "none.pnm" << QByteArray("-") << "loadPPM: Could not open file stream: %1.";
    QTest::newRow("bad pnm header") << "bad.ppm" << QByteArray("P6\n\n2 2\n255\n") << "loadPPM: Error at file parsing: %1.";
    QTest::newRow("garbage pnm") << "g.pnm" << QByteArray(5000, '\0') << "loadPPM: Error at file parsing: %1.";
    QTest::newRow("short pnm") << "short.pnm" << QByteArray("P6 4 4 255\nabc") << "loadPPM: File is truncated: %1.";
    // Sizes whose byte counts overflow 64 bits once multiplied by the bytes a pixel.
    QTest::newRow("P6 size product overflows") << "o6.ppm" << ("P6\n1760000000 1760000000\n255\n" + QByteArray(200000, 'x'))
                                               << "loadPPM: File is truncated: %1.";
    QTest::newRow("P6 largest ints") << "m6.ppm" << ("P6 2147483647 2147483647 255\n" + QByteArray(1000, 'x'))
                                     << "loadPPM: File is truncated: %1.";
    QTest::newRow("P3 size product overflows") << "o3.ppm" << ("P3 1300000000 1300000000 255\n" + QByteArray(2000000, '1'))
                                               << "loadPPM: File is truncated: %1.";
    QTest::newRow("P7") << "seven.pnm" << QByteArray("P7 2 1 255\nabcdef") << "parse_ppm_data: ppm index 7 NYI";
    QTest::newRow("P1") << "one.pbm" << QByteArray("P1 2 1\n0 1\n") << "parse_ppm_data: ppm index 1 NYI";
}

void TestLoading::failures()
{
    QFETCH(QString, name);
    QFETCH(QByteArray, content);
    QFETCH(QString, message);
    const QString path = dir.filePath(name);
    if (content != "-")
        writeFile(path, content);
    RecordingWatcher watcher;
    BigImageLoadData data;
    data.icon = ":/ps.ico";
    data.watcher = &watcher;
    {
        AddressSpaceLimit limit(512); // none of these may allocate what its header promises
        QVERIFY(!loadImageFile(path, data));
    }
    QCOMPARE(watcher.messages(), QStringList{message.arg(path)});
    QCOMPARE(watcher.icons(), QStringList{":/ps.ico"});
    QVERIFY(!data.loaded);
}

void TestLoading::bombHeaderFailsFast()
{
    // A header declaring 40000 × 40000 pixels (4.8 GB) in a file of a few bytes.
    const QString path = dir.filePath("bomb.ppm");
    writeFile(path, "P6\n40000 40000\n255\n" + QByteArray(64, 'x'));
    RecordingWatcher watcher;
    BigImageLoadData data;
    data.watcher = &watcher;
    QElapsedTimer timer;
    timer.start();
    QVERIFY(!loadPPM(path, data));
    QVERIFY(timer.elapsed() < 2000);
    QCOMPARE(watcher.messages(), QStringList{"loadPPM: File is truncated: " + path + "."});
}

void TestLoading::everyQImageFormat_data()
{
    QTest::addColumn<int>("format");
    for (QImage::Format f : {QImage::Format_Mono, QImage::Format_MonoLSB, QImage::Format_Indexed8,
                             QImage::Format_RGB32, QImage::Format_ARGB32, QImage::Format_ARGB32_Premultiplied,
                             QImage::Format_RGB16, QImage::Format_RGB888, QImage::Format_RGBA8888,
                             QImage::Format_RGB30, QImage::Format_Grayscale8, QImage::Format_Grayscale16,
                             QImage::Format_RGBA64, QImage::Format_RGBA64_Premultiplied, QImage::Format_BGR888})
        QTest::newRow(QString::number(int(f)).toLatin1()) << int(f);
}

void TestLoading::everyQImageFormat()
{
    // Row-wise copying must store what QImage::pixel gives, for every format.
    QFETCH(int, format);
    const QImage source = randomQImage(67, 29, 12, true).convertToFormat(QImage::Format(format));
    auto img = BigImage::makeUnfilled(67, 29);
    copyFromQImage(source, *img, 0, 0);
    QVERIFY(equalsQImage(*img, source));

    // Placed at an offset, clipped by the target's edges.
    auto part = std::make_shared<BigImage>(40, 20, colRed);
    copyFromQImage(source, *part, 10, 5);
    QCOMPARE(part->pixelAt(9, 5), colRed);
    QCOMPARE(part->pixelAt(10, 5), fromQRgb(source.pixel(0, 0)));
    QCOMPARE(part->pixelAt(39, 19), fromQRgb(source.pixel(29, 14)));
}

void TestLoading::greyAndAlphaPng()
{
    const QString grey = dir.filePath("grey.png");
    QImage g(20, 10, QImage::Format_Grayscale8);
    for (int y = 0; y < 10; ++y)
        for (int x = 0; x < 20; ++x)
            g.scanLine(y)[x] = uchar(x * 12 + y);
    QVERIFY(g.save(grey));
    BigImageLoadData data;
    const BigImagePtr img = loadPNG(grey, data);
    QVERIFY(img);
    QCOMPARE(img->pixelAt(7, 3), (RgbPixel{87, 87, 87}));

    const QString alpha = dir.filePath("alpha.png");
    const QImage a = randomQImage(30, 20, 5, true);
    QVERIFY(a.save(alpha));
    const BigImagePtr b = loadPNG(alpha, data);
    QVERIFY(b);
    const QImage back(alpha);
    QVERIFY(equalsQImage(*b, back));
}

void TestLoading::resolutionIsStored()
{
    const QString path = dir.filePath("dpi.png");
    QImage q = toQImage(makeF());
    q.setDotsPerMeterX(3937);
    q.setDotsPerMeterY(5906);
    QVERIFY(q.save(path));
    DotsPerMetre dpi;
    BigImageLoadData data;
    data.dpi = &dpi;
    QVERIFY(loadImageFile(path, data));
    QCOMPARE(dpi.x, 3937);
    QCOMPARE(dpi.y, 5906);
}

void TestLoading::tiledReadMatchesWholeRead()
{
    // 23200 columns: two tiles side by side, the second 30 columns wide.
    const QString path = dir.filePath("wide.jpg");
    QImage q(23200, 16, QImage::Format_RGB32);
    for (int y = 0; y < 16; ++y)
        for (int x = 0; x < 23200; ++x)
            q.setPixel(x, y, qRgb((x * 7) & 255, (x / 91 + y * 13) & 255, (x ^ y) & 255));
    QVERIFY(q.save(path, "jpg", 90));
    BigImageLoadData data;
    const BigImagePtr whole = loadJPG(path, data);
    QVERIFY(whole);
    std::atomic<float> progress{-1.0f};
    DotsPerMetre dpi;
    data.dpi = &dpi;
    const BigImagePtr tiled = readTiled(path, QSize(23200, 16), data, &progress);
    QVERIFY(tiled);
    QVERIFY2(samePixels(*tiled, *whole), qPrintable(firstDifferences(*tiled, *whole)));
    QCOMPARE(progress.load(), 0.0f); // one band: its first row over the height
    QVERIFY(dpi.x > 0);
}

void TestLoading::jpegDecodesAsQtDoes_data()
{
    QTest::addColumn<QString>("kind");
    QTest::newRow("colour, 4:2:0, 300 dpi") << "colour";
    QTest::newRow("grey, written by cjpeg") << "grey";
    QTest::newRow("no density") << "nodensity";
    QTest::newRow("cut in the middle of the data") << "cut";
    QTest::newRow("CMYK, read by Qt") << "cmyk";
}

void TestLoading::jpegDecodesAsQtDoes()
{
    // JPEG files decode straight into the image; pixels and resolution must be what Qt's
    // own reader gives for the same file.
    QFETCH(QString, kind);
    QString path = dir.filePath(kind + ".jpg");
    QImage q(203, 77, QImage::Format_RGB32);
    for (int y = 0; y < q.height(); ++y)
        for (int x = 0; x < q.width(); ++x)
            q.setPixel(x, y, qRgb((x * 5) & 255, (y * 3 + x) & 255, ((x ^ y) * 7) & 255));
    if (kind == "colour" || kind == "cut") {
        q.setDotsPerMeterX(11811);
        q.setDotsPerMeterY(11811);
        QVERIFY(q.save(path, "jpg", 85));
        if (kind == "cut") {
            const QByteArray bytes = fileBytes(path);
            writeFile(path, bytes.left(bytes.size() * 2 / 3));
        }
    } else if (kind == "cmyk") {
        path = QStringLiteral(SEAMWRIGHT_TEST_DATA) + "/im_cmyk.jpg";
    } else {
        const QString pnm = dir.filePath(kind + ".ppm");
        QVERIFY(q.convertToFormat(QImage::Format_RGB888).save(pnm, "ppm"));
        const QStringList args = kind == "grey" ? QStringList{"-grayscale", "-outfile", path, pnm}
                                                : QStringList{"-outfile", path, pnm};
        const ToolResult r = runTool("cjpeg", args);
        QVERIFY2(r.started && r.exitCode == 0, "libjpeg-turbo's cjpeg is needed");
    }
    const QImage expected(path);
    QVERIFY(!expected.isNull());
    RecordingWatcher watcher;
    DotsPerMetre dpi;
    BigImageLoadData data;
    data.watcher = &watcher;
    data.dpi = &dpi;
    const BigImagePtr img = loadJPG(path, data);
    QVERIFY(img);
    QVERIFY(data.loaded);
    if (kind == "cut") {
        // What the file holds as Qt reads it, then black where libjpeg would make rows up;
        // said once, and marked for the command line's exit status.
        QCOMPARE(watcher.messages(), QStringList{path + " is damaged: Premature end of JPEG file."});
        QVERIFY(data.damaged);
        int y = 0;
        for (; y < img->height() && fromQRgb(expected.pixel(0, y)) == img->pixelAt(0, y); ++y) {
            for (int x = 0; x < img->width(); ++x)
                QCOMPARE(img->pixelAt(x, y), fromQRgb(expected.pixel(x, y)));
        }
        QVERIFY2(y >= img->height() / 2, qPrintable(QString::number(y)));
        for (; y < img->height(); ++y)
            for (int x = 0; x < img->width(); ++x)
                QCOMPARE(img->pixelAt(x, y), colBlack);
    } else {
        QVERIFY(watcher.messages().isEmpty());
        QVERIFY(!data.damaged);
        QVERIFY(equalsQImage(*img, expected));
    }
    QCOMPARE(dpi.x, expected.dotsPerMeterX());
    QCOMPARE(dpi.y, expected.dotsPerMeterY());
}

void TestLoading::cutJpegCommitsOnlyWhatItHolds()
{
#if defined(Q_OS_LINUX) && !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
    // 12000 × 8000 pixels (288 MB) cut after a tenth of its data: memory for the rows it
    // holds and a window ahead of them, not for the whole image.
    const int w = 12000, h = 8000;
    const QString path = dir.filePath("bigcut.jpg");
    {
        auto img = BigImage::makeUnfilled(w, h);
        for (int y = 0; y < h; ++y) {
            RgbPixel* row = img->row(y);
            for (int x = 0; x < w; ++x)
                row[x] = RgbPixel{uint8_t(x * 13 + y * 7), uint8_t(x ^ y), uint8_t(y * 3)};
        }
        QVERIFY(writeJpeg(*img, path, 90, QByteArray(), 72));
    }
    const QByteArray bytes = fileBytes(path);
    writeFile(path, bytes.left(bytes.size() / 10));
    auto residentKb = [] {
        QFile status("/proc/self/status");
        status.open(QIODevice::ReadOnly);
        for (const QByteArray& line : status.readAll().split('\n'))
            if (line.startsWith("VmRSS:"))
                return line.mid(6).trimmed().split(' ').first().toLongLong();
        return qint64(-1);
    };
    const qint64 before = residentKb();
    RecordingWatcher watcher;
    BigImageLoadData data;
    data.watcher = &watcher;
    const BigImagePtr img = loadImageFile(path, data);
    const qint64 grown = residentKb() - before;
    QVERIFY(img && data.damaged);
    QCOMPARE(img->pixelAt(w / 2, h - 1), colBlack);
    
    QVERIFY2(grown < 150 * 1024, qPrintable(QString("%1 MB resident for a 288 MB image").arg(grown / 1024)));
#else
    QSKIP("resident memory is only measured without sanitizers, on Linux");
#endif
}

void TestLoading::withoutWatcherNothingBreaks()
{
    BigImageLoadData data;
    QVERIFY(!loadImageFile(dir.filePath("missing.png"), data));
    QVERIFY(!loadImageFile(dir.filePath("x.xyz"), data));
    QVERIFY(!data.loaded);
}

// Inputs that the fuzzers in fuzz/ found faults with, one file each: loading must neither
// crash nor stay silent, and a failure is told exactly once.
void TestLoading::fuzzFindings_data()
{
    QTest::addColumn<QString>("path");
    const QDir folder(QStringLiteral(SEAMWRIGHT_TEST_DATA "/fuzz"));
    const QStringList names = folder.entryList(QDir::Files, QDir::Name);
    QVERIFY(!names.isEmpty());
    for (const QString& name : names)
        QTest::newRow(qPrintable(name)) << folder.filePath(name);
}

void TestLoading::fuzzFindings()
{
    QFETCH(QString, path);
    RecordingWatcher watcher;
    BigImageLoadData data;
    data.watcher = &watcher;
    BigImagePtr image;
    {
        // None of these files holds the data for more than a few hundred MB.
        AddressSpaceLimit limit(768);
        image = loadImageFile(path, data);
    }
    if (image) {
        QVERIFY(data.loaded);
        QCOMPARE(watcher.messages().size(), data.damaged ? 1 : 0);
    } else {
        QVERIFY(!data.loaded);
        QCOMPARE(watcher.messages().size(), 1);
    }
}

int runLoadingTests(int argc, char** argv)
{
    TestLoading test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_loading.moc"
