// seamwright-cli as a user runs it: every input format into every output format, checked
// by libjpeg-turbo, libtiff and netpbm; the comment option; failures and exit statuses.
#include "alignment.h"
#include "cliargs.h"
#include "iotestutil.h"
#include "pnm.h"
#include "rotation.h"
#include "stitcher.h"
#include "testimages.h"
#include "testpairs.h"

#include <QImage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcessEnvironment>
#include <QTemporaryDir>
#include <QtTest>

#include <cmath>

namespace {

struct CliResult {
    int exitCode = -1;
    QByteArray out;
    QByteArray err;
};

// Runs the tool as on a machine without a display; with a limit (KiB) on its address space
// when one is given.
CliResult cli(const QStringList& args, qint64 addressSpaceKiB = 0)
{
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove("DISPLAY");
    env.remove("WAYLAND_DISPLAY");
    env.remove("QT_QPA_PLATFORM");
    p.setProcessEnvironment(env);
    if (addressSpaceKiB > 0)
        p.start("/bin/sh", QStringList{"-c", QString("ulimit -v %1 && exec \"$0\" \"$@\"").arg(addressSpaceKiB),
                                       SEAMWRIGHT_CLI} + args);
    else
        p.start(SEAMWRIGHT_CLI, args);
    p.waitForFinished(300000);
    CliResult r;
    r.exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    r.out = p.readAllStandardOutput();
    r.err = p.readAllStandardError();
    return r;
}

BigImagePtr scene(int w, int h)
{
    auto img = makeBigImage(w, h);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            img->setPixel(x, y, RgbPixel{uint8_t(x * 2 + y), uint8_t(128 + 60 * std::sin(x / 9.0) - y / 2),
                                         uint8_t(100 + 50 * std::cos((x + y) / 13.0))});
    return img;
}

// The file decoded by an independent reader into a P6, then into pixels.
BigImagePtr decodeIndependently(const QString& path, QByteArray* warnings)
{
    const QString suffix = QFileInfo(path).suffix();
    ToolResult r;
    if (suffix == "jpg")
        r = runTool("djpeg", {"-pnm", path});
    else if (suffix == "tif")
    {
        // libtiff's own check of the whole file first: every warning counts.
        const ToolResult info = runTool("tiffinfo", {"-D", path});
        if (info.exitCode != 0 || !info.err.isEmpty()) {
            *warnings = info.err.isEmpty() ? QByteArray("tiffinfo failed") : info.err;
            return nullptr;
        }
        r = runTool("tifftopnm", {"-quiet", path});
    }
    else if (suffix == "png")
        r = runTool("pngtopnm", {path});
    else
        r = runTool("pnmtopnm", {path});
    *warnings = r.err;
    return r.exitCode == 0 ? parseP6(r.out) : nullptr;
}

} // namespace

class TestCli : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void help();
    void usageErrors_data();
    void usageErrors();
    void convertEveryFormat_data();
    void convertEveryFormat();
    void commentInJpegAndTiff();
    void exitStatusAndMessages_data();
    void exitStatusAndMessages();
    void sizeNoticeOnStandardError();
    void stitchWritesTheEngineResult();
    void stitchFailures_data();
    void stitchFailures();
    void markersFoundAndReused();
    void joinsChainsAndGrids_data();
    void joinsChainsAndGrids();
    void refusedSeamWritesNothing_data();
    void refusedSeamWritesNothing();

private:
    QTemporaryDir dir;
    BigImagePtr source;
};

void TestCli::initTestCase()
{
    QVERIFY(dir.isValid());
    source = scene(97, 61);
    const QImage q = toQImage(source);
    QVERIFY(q.save(dir.filePath("in.png")));
    QVERIFY(q.save(dir.filePath("in.tif")));
    QVERIFY(q.save(dir.filePath("in.jpg"), "jpg", 98));
    QVERIFY(write_ppm(reinterpret_cast<const uint8_t*>(source->data()), 97, 61, dir.filePath("in.pnm")));
    const BigImagePtr widest = scene(65536, 2);
    QVERIFY(write_ppm(reinterpret_cast<const uint8_t*>(widest->data()), 65536, 2, dir.filePath("widest.pnm")));
    QFile jpeg(dir.filePath("in.jpg")), cut(dir.filePath("cut.jpg")), overflow(dir.filePath("overflow.ppm"));
    QVERIFY(jpeg.open(QIODevice::ReadOnly) && cut.open(QIODevice::WriteOnly) && overflow.open(QIODevice::WriteOnly));
    const QByteArray bytes = jpeg.readAll();
    cut.write(bytes.left(bytes.size() * 2 / 3));
    overflow.write("P6\n1760000000 1760000000\n255\n" + QByteArray(200000, 'x'));
    QFile badMarkers(dir.filePath("bad-markers.txt")), oneSeam(dir.filePath("one-seam.txt"));
    QVERIFY(badMarkers.open(QIODevice::WriteOnly) && oneSeam.open(QIODevice::WriteOnly));
    badMarkers.write("--left 1,2,3 --right 1,2,3,4\n\n--left 1,2,3 --right 1,2,3\n");
    oneSeam.write("--left 1,2,3 --right 1,2,3,4 --turn-right 180\n");
    // A pair for the seam's figure: right (x, y) shows left (x + 100, y + 10).
    const BigImagePtr terrain = makeTerrain(360, 360, 7);
    QVERIFY(toQImage(cutOut(terrain, 0, 0, 160, 300)).save(dir.filePath("terrain-left.png")));
    QVERIFY(toQImage(cutOut(terrain, 100, 10, 200, 300)).save(dir.filePath("terrain-right.png")));
}

void TestCli::help()
{
    const CliResult r = cli({"--help"});
    QCOMPARE(r.exitCode, 0);
    QVERIFY(r.out.contains("seamwright-cli convert INPUT OUTPUT [--comment TEXT]"));
    QVERIFY(r.out.contains("a warning leaves the exit status at 0."));
}

void TestCli::usageErrors_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::newRow("nothing") << QStringList{};
    QTest::newRow("unknown command") << QStringList{"paint"};
    QTest::newRow("one file") << QStringList{"convert", "a.png"};
    QTest::newRow("unknown option") << QStringList{"convert", "a.png", "b.jpg", "--fast"};
    QTest::newRow("comment without text") << QStringList{"convert", "a.png", "b.jpg", "--comment"};
}

void TestCli::usageErrors()
{
    QFETCH(QStringList, args);
    const CliResult r = cli(args);
    QCOMPARE(r.exitCode, 1);
    QVERIFY(!r.err.isEmpty());
}

void TestCli::convertEveryFormat_data()
{
    QTest::addColumn<QString>("input");
    QTest::addColumn<QString>("output");
    QTest::addColumn<bool>("exact");
    QTest::addColumn<QString>("turn"); // --turn, and the clockwise quarters it gives
    for (const QString in : {"png", "tif", "jpg", "pnm"})
        for (const QString out : {"jpg", "tif", "pnm", "png"})
            QTest::newRow(qPrintable(in + " to " + out)) << in << out << (in != "jpg" && out != "jpg") << QString();
    for (const QString turn : {"cw", "180", "ccw"})
        QTest::newRow(qPrintable("png to pnm, turned " + turn)) << "png" << "pnm" << true << turn;
}

void TestCli::convertEveryFormat()
{
    QFETCH(QString, input);
    QFETCH(QString, output);
    QFETCH(bool, exact);
    QFETCH(QString, turn);
    const QString target = dir.filePath(QString("from_%1%2.%3").arg(input, turn, output));
    const CliResult r = cli(QStringList{"convert", dir.filePath("in." + input), target}
                            + (turn.isEmpty() ? QStringList() : QStringList{"--turn", turn}));
    QVERIFY2(r.exitCode == 0, r.err.constData());
    QVERIFY2(r.err.isEmpty(), r.err.constData());
    QByteArray warnings;
    const BigImagePtr back = decodeIndependently(target, &warnings);
    QVERIFY2(back, warnings.constData());
    QVERIFY2(warnings.isEmpty(), warnings.constData());
    const BigImagePtr expected = deepCopy(source);
    for (int q = 0; q < CliArgs::quarters(turn); ++q)
        BigImageProcessing::rotateCW(expected, nullptr);
    if (exact)
        QVERIFY2(samePixels(*back, *expected), qPrintable(firstDifferences(*back, *expected)));
    else
        QVERIFY2(psnr(*back, *expected) > 30.0, qPrintable(QString::number(psnr(*back, *expected))));
}

void TestCli::commentInJpegAndTiff()
{
    const QString jpg = dir.filePath("commented.jpg");
    CliResult r = cli({"convert", dir.filePath("in.png"), jpg, "--comment", "Sheet 12, north"});
    QVERIFY2(r.exitCode == 0, r.err.constData());
    const QByteArray bytes = fileBytes(jpg);
    const int app12 = bytes.indexOf("\xff\xec");
    QVERIFY(app12 > 0);
    QCOMPARE(bytes.mid(app12 + 4, 15), QByteArray("Sheet 12, north"));

    const QString tif = dir.filePath("commented.tif");
    r = cli({"convert", dir.filePath("in.png"), tif, "--comment", "Sheet 12, north"});
    QVERIFY2(r.exitCode == 0, r.err.constData());
    const ToolResult info = runTool("tiffinfo", {tif});
    QCOMPARE(info.exitCode, 0);
    QVERIFY2(info.out.contains("Software: Sheet 12, north"), info.out.constData());
}

void TestCli::exitStatusAndMessages_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("message"); // %1: the temporary folder
    QTest::addColumn<int>("lines");       // of standard error
    QTest::newRow("comment on png") << QStringList{"convert", "%1/in.png", "%1/x.png", "--comment", "t"} << 1
                                    << "--comment is for JPEG and TIFF outputs only" << 1;
    QTest::newRow("unsupported input") << QStringList{"convert", "%1/in.PNG", "%1/x.jpg"} << 1
                                       << "Unsupported fileformat: %1/in.PNG" << 1;
    QTest::newRow("missing input") << QStringList{"convert", "%1/none.png", "%1/x.jpg"} << 1
                                   << "Cannot read from file %1/none.png." << 1;
    QTest::newRow("output format not offered") << QStringList{"convert", "%1/in.png", "%1/x.ppm"} << 1
                                               << "Invalid fileformat for file %1/x.ppm." << 1;
    QTest::newRow("unwritable output") << QStringList{"convert", "%1/in.png", "%1/no/x.png"} << 1
                                       << "Could not open file %1/no/x.png." << 1;
    QTest::newRow("PNM size overflowing 64 bits") << QStringList{"convert", "%1/overflow.ppm", "%1/x.pnm"} << 1
                                                  << "loadPPM: File is truncated: %1/overflow.ppm." << 1;
    QTest::newRow("comment too long for JPEG")
        << QStringList{"convert", "%1/in.png", "%1/x.jpg", "--comment", QString(65534, 'c')} << 1
        << "--comment holds 65534 bytes; a JPEG file holds at most 65533." << 1;
    // Too wide for JPEG (and the dialog's JPEG limit of 64999), never for TIFF.
    QTest::newRow("jpg 65536 wide") << QStringList{"convert", "%1/widest.pnm", "%1/x.jpg"} << 1
                                    << "Image size is too big for some fileformats.\n"
                                       "Invalid fileformat for file %1/x.jpg." << 2;
    QTest::newRow("tif 65536 wide") << QStringList{"convert", "%1/widest.pnm", "%1/wide.tif"} << 0
                                    << "Image size is too big for some fileformats." << 1;
    QTest::newRow("turn not a quarter") << QStringList{"convert", "%1/in.png", "%1/x.png", "--turn", "90"} << 1
                                        << "A turn is cw, ccw or 180, not 90." << 1;
    const QStringList three{"stitch", "%1/in.png", "%1/in.png", "%1/in.png", "%1/x.png"};
    QTest::newRow("grid of another count") << three + QStringList{"--grid", "2x2"} << 1
                                           << "--grid 2x2 needs 4 inputs, not 3." << 1;
    QTest::newRow("grid without its shape") << three + QStringList{"--grid", "3by1"} << 1
                                            << "--grid needs COLSxROWS, for example --grid 3x2, not 3by1." << 1;
    QTest::newRow("grid and vertical") << three + QStringList{"--grid", "3x1", "--vertical"} << 1
                                       << "--grid and --vertical cannot be used together." << 1;
    QTest::newRow("pair markers for three") << three + QStringList{"--left", "1,2,3", "--right", "1,2,3,4"} << 1
                                            << "--left, --right, --turn-left and --turn-right are for two inputs" << 1;
    QTest::newRow("refine without a markers file") << three + QStringList{"--refine"} << 1
                                                   << "--refine needs --markers FILE." << 1;
    QTest::newRow("markers file missing") << three + QStringList{"--markers", "%1/none.txt"} << 1
                                          << "Cannot read from file %1/none.txt." << 1;
    QTest::newRow("markers file, bad line") << three + QStringList{"--markers", "%1/bad-markers.txt"} << 1
                                            << "%1/bad-markers.txt line 3 is no seam's markers" << 1;
    QTest::newRow("markers file, too few lines") << three + QStringList{"--markers", "%1/one-seam.txt"} << 1
                                                 << "%1/one-seam.txt holds markers for 1 seam; the job has 2 seams."
                                                 << 1;
    // Written, from what could be read: the damage and the warning, and an exit status of its own.
    QTest::newRow("cut JPEG input") << QStringList{"convert", "%1/cut.jpg", "%1/x.png"} << 2
                                    << "%1/cut.jpg is damaged: Premature end of JPEG file.\n"
                                       "Warning: %1/x.png was written from a damaged input." << 2;
}

void TestCli::exitStatusAndMessages()
{
    QFETCH(QStringList, args);
    QFETCH(int, exitCode);
    QFETCH(QString, message);
    QFETCH(int, lines);
    for (QString& a : args)
        a.replace("%1", dir.path());
    const CliResult r = cli(args);
    QCOMPARE(r.exitCode, exitCode);
    QVERIFY2(r.err.contains(message.replace("%1", dir.path()).toUtf8()), r.err.constData());
    QCOMPARE(r.err.count('\n'), lines); // told once
}

void TestCli::sizeNoticeOnStandardError()
{
    const BigImagePtr wide = scene(32000, 3);
    const QString in = dir.filePath("wide.pnm");
    QVERIFY(write_ppm(reinterpret_cast<const uint8_t*>(wide->data()), 32000, 3, in));
    const QString out = dir.filePath("wide.jpg");
    const CliResult r = cli({"convert", in, out});
    QVERIFY2(r.exitCode == 0, r.err.constData());
    QCOMPARE(r.err, QByteArray("Image size is too big for some fileformats.\n"));
    QByteArray warnings;
    const BigImagePtr back = decodeIndependently(out, &warnings);
    QVERIFY(back);
    QCOMPARE(back->width(), 32000);
}

void TestCli::stitchWritesTheEngineResult()
{
    // The right scan lies turned a quarter counter-clockwise; the tool turns it back.
    const BigImagePtr picture = makeRandom(150, 90, 31);
    auto left = makeBigImage(90, 90), right = makeBigImage(90, 90);
    for (int y = 0; y < 90; ++y) {
        std::copy(picture->row(y), picture->row(y) + 90, left->row(y));
        std::copy(picture->row(y) + 60, picture->row(y) + 150, right->row(y));
    }
    QVERIFY(toQImage(left).save(dir.filePath("left.png")));
    const BigImagePtr lying = deepCopy(right);
    BigImageProcessing::rotateCCW(lying, nullptr);
    QVERIFY(toQImage(lying).save(dir.filePath("lying.png")));

    const QString out = dir.filePath("stitched.tif");
    const CliResult r = cli({"stitch", dir.filePath("left.png"), dir.filePath("lying.png"), out, "--left", "70,20,70",
                             "--right", "10,20,10,70", "--width", "51", "--turn-right", "cw"});
    QVERIFY2(r.exitCode == 0, r.err.constData());
    // 44 slices, only 6 of them away from the markers: too few to judge the seam.
    QCOMPARE(r.err, QByteArray("Seam match: not measurable (too little detail along the seam).\n"));
    QByteArray warnings;
    const BigImagePtr written = decodeIndependently(out, &warnings);
    QVERIFY2(written, warnings.constData());

    StitchEngine::MarkerFractions m;
    m.leftX = 70.0f / 90.0f;
    m.leftRedY = 20.0f / 90.0f;
    m.leftBlueY = 70.0f / 90.0f;
    m.rightRedX = m.rightBlueX = 10.0f / 90.0f;
    m.rightRedY = 20.0f / 90.0f;
    m.rightBlueY = 70.0f / 90.0f;
    const auto g = StitchEngine::stitchGeometry(m, 51, 90, 90, 90, 90);
    QCOMPARE(g.corridor, 52);
    const auto expected = StitchEngine::stitchImages(left, right, g, nullptr);
    QVERIFY(expected.image);
    QCOMPARE(written->width(), 150);
    QVERIFY2(samePixels(*written, *expected.image), qPrintable(firstDifferences(*written, *expected.image)));
}

void TestCli::stitchFailures_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<qint64>("addressSpaceKiB");
    QTest::addColumn<QString>("message");
    const QStringList files{"stitch", "%1/in.png", "%1/in.png", "%1/s.tif"};
    QTest::newRow("left markers") << files + QStringList{"--left", "1,2", "--right", "1,2,3,4"} << qint64(0)
                                  << "--left needs X,RED_Y,BLUE_Y in pixels";
    QTest::newRow("right markers") << files + QStringList{"--left", "1,2,3", "--right", "1,2,x,4"} << qint64(0)
                                   << "--right needs RED_X,RED_Y,BLUE_X,BLUE_Y in pixels";
    QTest::newRow("undefined marker") << files + QStringList{"--left", "1,nan,3", "--right", "1,2,3,4"} << qint64(0)
                                      << "--left needs X,RED_Y,BLUE_Y in pixels";
    QTest::newRow("infinite marker") << files + QStringList{"--left", "1,2,3", "--right", "1,2,-inf,4"} << qint64(0)
                                     << "--right needs RED_X,RED_Y,BLUE_X,BLUE_Y in pixels";
    QTest::newRow("width") << files + QStringList{"--left", "1,2,3", "--right", "1,2,3,4", "--width", "49"}
                           << qint64(0) << "--width must be a whole number from 50 to 300, not 49.";
    QTest::newRow("turn") << files + QStringList{"--left", "1,2,3", "--right", "1,2,3,4", "--turn-left", "90"}
                          << qint64(0) << "A turn is cw, ccw or 180, not 90.";
    QTest::newRow("turn in capitals") << files + QStringList{"--left", "1,2,3", "--right", "1,2,3,4", "--turn-right", "CW"}
                                      << qint64(0) << "A turn is cw, ccw or 180, not CW.";
    QTest::newRow("empty result") << files + QStringList{"--left", "0,10,50", "--right", "97,10,97,50"} << qint64(0)
                                  << "The stitched image would be empty. Place the markers on the same content in "
                                     "both images.";
    // A seam 200 million columns to the right asks for a result of 36 GB.
    QTest::newRow("out of memory") << files + QStringList{"--left", "200000000,10,50", "--right", "10,10,10,50"}
                                   << qint64(1500000) << "out of memory. exit.";
    QTest::newRow("markers not found") << files << qint64(0)
                                       << "Finding markers needs images of at least 192 pixels a side.";
    QTest::newRow("refine without markers") << files + QStringList{"--refine"} << qint64(0)
                                            << "--refine needs --left and --right.";
}

void TestCli::stitchFailures()
{
    QFETCH(QStringList, args);
    QFETCH(qint64, addressSpaceKiB);
    QFETCH(QString, message);
#if defined(__SANITIZE_ADDRESS__)
    // AddressSanitizer reserves terabytes of shadow memory at start: under an address space
    // limit the tool cannot even start.
    if (addressSpaceKiB > 0)
        QSKIP("needs an address space limit and no sanitizer");
#endif
    for (QString& a : args)
        a.replace("%1", dir.path());
    const CliResult r = cli(args, addressSpaceKiB);
    QCOMPARE(r.exitCode, 1);
    QVERIFY2(r.err.contains(message.toUtf8()), r.err.constData());
    QCOMPARE(r.err.count('\n'), 1);
    QVERIFY(!QFile::exists(dir.filePath("s.tif")));
}

void TestCli::markersFoundAndReused()
{
    const TestPair pair = makeTestPair(makeScene(PairContent::Photo, 1400, 1000, 5), 0.2, 1.5, 0.95, 1.0, 9);
    const QString left = dir.filePath("pair-left.png"), right = dir.filePath("pair-right.png");
    QVERIFY(toQImage(pair.left).save(left) && toQImage(pair.right).save(right));

    const CliResult json = cli({"markers", left, right, "--json"});
    QVERIFY2(json.exitCode == 0, json.err.constData());
    const QJsonObject o = QJsonDocument::fromJson(json.out).object();
    QVERIFY(o["found"].toBool());
    QCOMPARE(o["turn_right"].toString(), QString());
    const QJsonArray l = o["left"].toArray(), r = o["right"].toArray();
    for (int k : {0, 1}) {
        double u, v;
        pair.toRight(l[0].toDouble(), l[1 + k].toDouble(), u, v);
        QVERIFY(std::hypot(u - r[2 * k].toDouble(), v - r[2 * k + 1].toDouble()) < 0.3);
    }

    // stitch without markers prints the same markers, in the form of its own options.
    const CliResult plain = cli({"markers", left, right});
    QCOMPARE(plain.exitCode, 0);
    const QByteArray options = plain.out.split('\n').first();
    QVERIFY2(options.startsWith("--left ") && options.contains(" --right "), plain.out.constData());
    const QString out = dir.filePath("found.tif");
    const CliResult stitched = cli({"stitch", left, right, out});
    QVERIFY2(stitched.exitCode == 0, stitched.err.constData());
    QCOMPARE(stitched.out, options + '\n');
    QVERIFY(QImage(out).width() > 1300);

    // With memory judged full every image lives in a file on disk: the same bytes, no file left.
    qputenv("SEAMWRIGHT_MEMORY_LIMIT", "0");
    const QString spilled = dir.filePath("spilled.tif");
    const CliResult onDisk = cli({"stitch", left, right, spilled, "--cache-dir", dir.filePath("spill")});
    qunsetenv("SEAMWRIGHT_MEMORY_LIMIT");
    QVERIFY2(onDisk.exitCode == 0, onDisk.err.constData());
    QCOMPARE(onDisk.out, options + '\n');
    // The files differ in their time stamps only.
    QVERIFY(QImage(out) == QImage(spilled));
    QVERIFY(QDir(dir.filePath("spill")).exists());
    QCOMPARE(QDir(dir.filePath("spill")).entryList(QDir::NoDotAndDotDot | QDir::AllEntries), QStringList());
}

void TestCli::joinsChainsAndGrids_data()
{
    QTest::addColumn<QSize>("picture");
    QTest::addColumn<int>("columns");
    QTest::addColumn<int>("rows");
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<bool>("found"); // else the true markers come from a file
    const QStringList none;
    QTest::newRow("three in a row, markers file") << QSize(960, 420) << 3 << 1 << none << false;
    QTest::newRow("three in a row, found") << QSize(960, 420) << 3 << 1 << none << true;
    QTest::newRow("three top to bottom, markers file") << QSize(420, 960) << 1 << 3 << QStringList{"--vertical"} << false;
    QTest::newRow("three top to bottom, found") << QSize(420, 960) << 1 << 3 << QStringList{"--vertical"} << true;
    QTest::newRow("grid 3x2, markers file") << QSize(960, 700) << 3 << 2 << QStringList{"--grid", "3x2"} << false;
    QTest::newRow("grid 2x2, found") << QSize(700, 700) << 2 << 2 << QStringList{"--grid", "2X2"} << true;
}

// Tiles cut from one picture join back into it: with the true markers exactly; with found
// ones each printed line names the true shift (the right markers at the left ones, moved by
// the tile's place), and the lines reproduce the same file.
void TestCli::joinsChainsAndGrids()
{
    QFETCH(QSize, picture);
    QFETCH(int, columns);
    QFETCH(int, rows);
    QFETCH(QStringList, options);
    QFETCH(bool, found);
    const BigImagePtr truth = makeTerrain(picture.width(), picture.height(), 41);
    const TestGrid grid = makeTestGrid(truth, columns, rows, 120, 120);
    QStringList args{"stitch"};
    for (size_t k = 0; k < grid.tiles.size(); ++k) {
        args << dir.filePath(QString("tile%1.png").arg(k));
        QVERIFY(toQImage(grid.tiles[k]).save(args.last()));
    }
    QStringList lines;
    for (const TestGrid::Seam& s : grid.seams)
        lines << QString("--left %1,%2,%3 --right %4,%2,%4,%3").arg(s.x).arg(s.redY).arg(s.blueY).arg(s.x - s.shift);
    const QString markers = dir.filePath("markers.txt");
    QFile file(markers);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(("# seams in the order they are joined\n\n" + lines.join('\n') + '\n').toUtf8());
    file.close();
    const QString out = dir.filePath("joined.pnm");
    const CliResult r = cli(args + QStringList{out} + options + (found ? QStringList() : QStringList{"--markers", markers}));
    QVERIFY2(r.exitCode == 0, r.err.constData());
    QByteArray warnings;
    const BigImagePtr joined = decodeIndependently(out, &warnings);
    QVERIFY2(joined, warnings.constData());
    QCOMPARE(joined->width(), truth->width());
    if (!found) {
        QVERIFY(r.out.isEmpty());
        QVERIFY2(psnr(*joined, *truth) > 50.0, qPrintable(QString::number(psnr(*joined, *truth))));
        return;
    }
    const QList<QByteArray> printed = r.out.trimmed().split('\n');
    QCOMPARE(printed.size(), int(grid.seams.size()));
    for (int k = 0; k < printed.size(); ++k) {
        CliArgs::SeamMarkers m;
        QVERIFY2(CliArgs::parseMarkerLine(printed[k], m), printed[k].constData());
        for (int i : {0, 1})
            QVERIFY2(std::hypot(m.right[2 * i] + grid.seams[size_t(k)].shift - m.left[0], m.right[2 * i + 1] - m.left[1 + i]) < 0.3,
                     printed[k].constData());
    }
    QVERIFY2(psnr(*joined, *truth) > 44.0, qPrintable(QString::number(psnr(*joined, *truth))));
}

void TestCli::refusedSeamWritesNothing_data()
{
    QTest::addColumn<bool>("existing");
    QTest::newRow("no output before") << false;
    QTest::newRow("an output before") << true;
}

// The third scan shares nothing with the second: the job stops there, names both, and the
// output path is as it was.
void TestCli::refusedSeamWritesNothing()
{
    QFETCH(bool, existing);
    const BigImagePtr truth = makeTerrain(700, 420, 43);
    const TestGrid grid = makeTestGrid(truth, 2, 1, 120, 0);
    const QString a = dir.filePath("a.png"), b = dir.filePath("b.png"), c = dir.filePath("c.png");
    QVERIFY(toQImage(grid.tiles[0]).save(a) && toQImage(grid.tiles[1]).save(b));
    QVERIFY(toQImage(makeTerrain(410, 420, 44)).save(c));
    const QString out = dir.filePath("refused.png");
    QFile::remove(out);
    if (existing) {
        QFile f(out);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write("what stood here");
    }
    const CliResult r = cli({"stitch", a, b, c, out});
    QCOMPARE(r.exitCode, 1);
    QCOMPARE(r.out.count('\n'), 1); // the first seam's markers
    QVERIFY2(r.err.startsWith(("Seam 1 of 2: " + a + " and " + b + ".\nSeam match: ").toUtf8()), r.err.constData());
    QVERIFY2(r.err.endsWith(("Seam 2 of 2: " + b + " and " + c + ".\nThe seam between " + b + " and " + c
                             + ": No reliable overlap found between the two images.\n")
                                .toUtf8()),
             r.err.constData());
    QCOMPARE(QFile::exists(out), existing);
    if (existing)
        QCOMPARE(fileBytes(out), QByteArray("what stood here"));
    QCOMPARE(QDir(dir.path()).entryList(QStringList{".refused*"}, QDir::Hidden | QDir::Files), QStringList());
}

QTEST_GUILESS_MAIN(TestCli)
#include "tst_cli.moc"
