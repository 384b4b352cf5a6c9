// Saving: the formats offered for each size, the route each name takes, the message of
// every failure, and the dialog with its one success message.
#include "filedialogs.h"
#include "iotestutil.h"
#include "recordingwatcher.h"
#include "saving.h"
#include "testimages.h"

#include <QApplication>
#include <QFileDialog>
#include <QImageReader>
#include <QLineEdit>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <csignal>

#include <sys/resource.h>
#include <sys/sysmacros.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace BigImageIO;

namespace {

const QString jpegFilter = "JPEG (*.jpg *.jpeg)";
const QString tiffFilter = "TIFF (*.tif *.tiff)";
const QString pnmFilter = "PNM (*.pnm *.pbm)";
const QString pngFilter = "PNG (*.png)";

// The kind of file by its first bytes, whatever its name says.
QString magic(const QString& path)
{
    const QByteArray b = fileBytes(path).left(8);
    if (b.startsWith("\xff\xd8\xff"))
        return "jpeg";
    if (b.startsWith("II*\0"))
        return "tiff";
    if (b.startsWith(QByteArray("II+\0\x08\0\0\0", 8)))
        return "bigtiff";
    if (b.startsWith("P6\n"))
        return "pnm";
    if (b.startsWith("P4\n") || b.startsWith("P4 "))
        return "pbm";
    if (b.startsWith("\x89PNG"))
        return "png";
    return b.isEmpty() ? "none" : "other";
}

void writeBytes(const QString& path, const QByteArray& bytes)
{
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size());
}

BigImagePtr smooth(int w, int h)
{
    auto img = makeBigImage(w, h);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            img->setPixel(x, y, RgbPixel{uint8_t(x * 3 + y), uint8_t(y * 5), uint8_t((x + 2 * y) & 255)});
    return img;
}

} // namespace

class TestSaving : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { QVERIFY(dir.isValid()); }
    void filtersBySize_data();
    void filtersBySize();
    void routes_data();
    void routes();
    void qtRouteKeepsPixelsAndResolution();
    void refusals_data();
    void refusals();
    void unwritableFolder_data();
    void unwritableFolder();
    void targetsSurviveSaves_data();
    void targetsSurviveSaves();
    void nullImageDoesNothing();
    void dialogSavesTwice();
    void dialogCancelled();
    void dialogAddsDefaultSuffix();

private:
    void acceptDialogWith(const QString& name);
    QTemporaryDir dir;
};

void TestSaving::filtersBySize_data()
{
    QTest::addColumn<int>("width");
    QTest::addColumn<int>("height");
    QTest::addColumn<QStringList>("filters");
    QTest::newRow("small") << 100 << 100 << QStringList{jpegFilter, tiffFilter, pnmFilter, pngFilter};
    QTest::newRow("30000 x 20000") << 30000 << 20000 << QStringList{jpegFilter, tiffFilter, pnmFilter, pngFilter};
    QTest::newRow("31999 wide") << 31999 << 10 << QStringList{jpegFilter, tiffFilter, pnmFilter, pngFilter};
    QTest::newRow("32000 x 100") << 32000 << 100 << QStringList{jpegFilter, tiffFilter, pnmFilter};
    QTest::newRow("27000 x 27000: too many bytes") << 27000 << 27000 << QStringList{jpegFilter, tiffFilter, pnmFilter};
    QTest::newRow("64999 tall") << 10 << 64999 << QStringList{jpegFilter, tiffFilter, pnmFilter};
    QTest::newRow("65000 x 100") << 65000 << 100 << QStringList{tiffFilter, pnmFilter};
}

void TestSaving::filtersBySize()
{
    QFETCH(int, width);
    QFETCH(int, height);
    QFETCH(QStringList, filters);
    // Unfilled: the memory of a large image is reserved, never touched.
    const BigImagePtr img = BigImage::makeUnfilled(width, height);
    QCOMPARE(saveFilters(img, SizeNotice::None), filters);
}

void TestSaving::routes_data()
{
    QTest::addColumn<int>("width");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("description");
    QTest::addColumn<QString>("kind"); // bigtiff: written with BigTIFF's limit lowered to 0 bytes
    // Small images: Qt's writers, the own PNM and TIFF writers for those names.
    QTest::newRow("small jpg") << 40 << "a.jpg" << "" << "jpeg";
    QTest::newRow("small JPEG, upper case") << 40 << "b.JPEG" << "" << "jpeg";
    QTest::newRow("small png") << 40 << "c.png" << "" << "png";
    QTest::newRow("small pnm") << 40 << "d.pnm" << "" << "pnm";
    QTest::newRow("small pbm: Qt's bitmap") << 40 << "e.pbm" << "" << "pbm";
    QTest::newRow("small tif") << 40 << "f.tif" << "" << "tiff";
    // A description takes the own writers; the suffix's case does not change the format.
    QTest::newRow("described JPEG") << 40 << "g.JPEG" << "scan 7" << "jpeg";
    QTest::newRow("described TIF") << 40 << "h.TIF" << "scan 7" << "tiff";
    // Wider than 31999: the own writers.
    QTest::newRow("wide jpg") << 32000 << "i.jpg" << "" << "jpeg";
    QTest::newRow("wide pnm") << 32000 << "k.pnm" << "" << "pnm";
    QTest::newRow("wide pbm: colour PNM") << 32000 << "l.pbm" << "" << "pnm";
    QTest::newRow("wide tif") << 32000 << "j.tif" << "" << "tiff";
    // The own TIFF writer at any size, so its BigTIFF too.
    QTest::newRow("wide tif as BigTIFF") << 32000 << "m.tif" << "" << "bigtiff";
    QTest::newRow("small tif as BigTIFF") << 40 << "n.tif" << "" << "bigtiff";
}

void TestSaving::routes()
{
    QFETCH(int, width);
    QFETCH(QString, name);
    QFETCH(QString, description);
    QFETCH(QString, kind);
    RecordingWatcher watcher;
    BigImageSaveData data;
    data.image = smooth(width, 3);
    data.filename = dir.filePath(name);
    data.description = description;
    data.watcher = &watcher;
    data.filters = saveFilters(data.image, SizeNotice::None);
    {
        const BigTiffAbove limit(kind == "bigtiff" ? 0 : -1);
        saveToFile(data);
    }
    QVERIFY2(watcher.messages().isEmpty(), qPrintable(watcher.messages().join("; ")));
    QVERIFY(data.saved);
    QCOMPARE(magic(data.filename), kind);
}

void TestSaving::qtRouteKeepsPixelsAndResolution()
{
    BigImageSaveData data;
    data.image = makeRandom(31, 17, 3);
    data.filename = dir.filePath("pixels.png");
    data.dpi = DotsPerMetre{3937, 7874};
    data.filters = saveFilters(data.image, SizeNotice::None);
    saveToFile(data);
    QVERIFY(data.saved);
    const QImage back(data.filename);
    QCOMPARE(back.dotsPerMeterX(), 3937);
    QCOMPARE(back.dotsPerMeterY(), 7874);
    for (int y = 0; y < 17; ++y)
        for (int x = 0; x < 31; ++x)
            QCOMPARE(fromQRgb(back.pixel(x, y)), data.image->pixelAt(x, y));
}

void TestSaving::refusals_data()
{
    QTest::addColumn<int>("width");
    QTest::addColumn<int>("height");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("description");
    QTest::addColumn<QString>("message"); // %1: the path
    QTest::addColumn<bool>("anySuffix");  // no filters: every suffix passes the format check
    QTest::newRow("ppm is in no filter") << 10 << 10 << "x.ppm" << "" << "Invalid fileformat for file %1." << false;
    QTest::newRow("png of a wide image") << 32000 << 2 << "x.png" << "" << "Invalid fileformat for file %1." << false;
    QTest::newRow("jpg of a 65000-wide image") << 65000 << 2 << "x.jpg" << "" << "Invalid fileformat for file %1."
                                               << false;
    QTest::newRow("jpg 65536 wide, any suffix")
        << 65536 << 2 << "x.jpg" << "" << "Could not write %1: a JPEG image has at most 65535 pixels per side." << true;
    QTest::newRow("described png: no own PNG writer") << 10 << 10 << "y.png" << "text" << "Invalid fileformat for file %1."
                                                      << false;
    QTest::newRow("JPG is in no filter text") << 10 << 10 << "x.JPG" << "" << "Invalid fileformat for file %1." << false;
    QTest::newRow("empty image") << 0 << 5 << "e.jpg" << "" << "Could not save empty image." << false;
    // "g" occurs in a filter text, but no writer knows such a file.
    QTest::newRow("unknown suffix for Qt") << 10 << 10 << "z.g" << "" << "Could not write file %1." << false;
}

void TestSaving::refusals()
{
    QFETCH(int, width);
    QFETCH(int, height);
    QFETCH(QString, name);
    QFETCH(QString, description);
    QFETCH(QString, message);
    QFETCH(bool, anySuffix);
    RecordingWatcher watcher;
    BigImageSaveData data;
    data.image = BigImage::makeUnfilled(width, height);
    data.filename = dir.filePath(name);
    data.description = description;
    data.watcher = &watcher;
    if (!anySuffix)
        data.filters = saveFilters(data.image, SizeNotice::None);
    saveToFile(data);
    QCOMPARE(watcher.messages(), QStringList{message.arg(data.filename)});
    QVERIFY(!data.saved);
    QVERIFY(!QFile::exists(data.filename));
}

void TestSaving::unwritableFolder_data()
{
    QTest::addColumn<int>("width");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("message");
    QTest::newRow("Qt route") << 10 << "a.png" << "Could not open file %1.";
    QTest::newRow("own PNM") << 10 << "a.pnm" << "Could not write file %1.";
    QTest::newRow("own JPEG") << 32000 << "a.jpg" << "Could not open file %1.";
    QTest::newRow("own TIFF") << 10 << "a.tif" << "Could not open filename %1";
}

void TestSaving::unwritableFolder()
{
    QFETCH(int, width);
    QFETCH(QString, name);
    QFETCH(QString, message);
    RecordingWatcher watcher;
    BigImageSaveData data;
    data.image = smooth(width, 2);
    data.filename = dir.filePath("no/such/folder/" + name);
    data.watcher = &watcher;
    data.reportSuccess = true;
    data.filters = saveFilters(data.image, SizeNotice::None);
    saveToFile(data);
    QCOMPARE(watcher.messages(), QStringList{message.arg(data.filename)});
    QVERIFY(!data.saved);
}

void TestSaving::targetsSurviveSaves_data()
{
    QTest::addColumn<int>("width");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("target");  // file, link (to a file), full (/dev/full), null (/dev/null)
    QTest::addColumn<bool>("diskFull");   // writes past 4 kB fail, as on a full disk
    QTest::addColumn<QString>("message"); // empty: saved
    QTest::newRow("Qt jpg, disk full") << 200 << "a.jpg" << "file" << true << "Could not write file %1.";
    QTest::newRow("Qt png through a link, disk full") << 200 << "b.png" << "link" << true << "Could not write file %1.";
    QTest::newRow("own PNM, disk full") << 200 << "c.pnm" << "file" << true << "Could not write file %1.";
    QTest::newRow("own JPEG, disk full") << 32000 << "d.jpg" << "file" << true << "Could not write file %1.";
    QTest::newRow("own TIFF through a link, disk full") << 200 << "e.tif" << "link" << true << "Could not write %1.";
    QTest::newRow("Qt jpg replaces a file") << 200 << "f.jpg" << "file" << false << "";
    QTest::newRow("own TIFF replaces a linked file") << 200 << "g.tif" << "link" << false << "";
    QTest::newRow("Qt png into a full device") << 200 << "h.png" << "full" << false << "Could not write file %1.";
    QTest::newRow("own PNM into a full device") << 200 << "i.pnm" << "full" << false << "Could not write file %1.";
    QTest::newRow("own JPEG into a full device") << 32000 << "j.jpg" << "full" << false << "Could not write file %1.";
    QTest::newRow("own TIFF into a full device") << 200 << "k.tif" << "full" << false << "Could not write %1.";
    QTest::newRow("own PNM into a null device") << 200 << "l.pnm" << "null" << false << "";
}

void TestSaving::targetsSurviveSaves()
{
    // A save never removes or damages what it did not make: a failed one leaves the old file
    // byte for byte (and its permissions), a link stays a link, a device stays a device.
    QFETCH(int, width);
    QFETCH(QString, name);
    QFETCH(QString, target);
    QFETCH(bool, diskFull);
    QFETCH(QString, message);
#if defined(__SANITIZE_ADDRESS__)
    if (name.endsWith(".png") && !message.isEmpty())
        QSKIP("Qt's PNG writer leaks its row pointers when libpng fails to write");
#endif
    QTemporaryDir folder;
    const QString path = folder.filePath(name);
    const QString real = folder.filePath("real-" + name);
    const QByteArray old = "the previous file";
    if (target == "file" || target == "link") {
        writeBytes(target == "file" ? path : real, old);
        QVERIFY(QFile::setPermissions(target == "file" ? path : real,
                                      QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup));
        if (target == "link")
            QVERIFY(QFile::link(real, path));
    } else {
        if (geteuid() != 0)
            QSKIP("making a device node needs root");
        QCOMPARE(mknod(QFile::encodeName(path).constData(), S_IFCHR | 0666, makedev(1, target == "full" ? 7 : 3)), 0);
    }

    RecordingWatcher watcher;
    BigImageSaveData data;
    data.image = makeRandom(width, width > 1000 ? 3 : 200, 5);
    data.filename = path;
    data.watcher = &watcher;
    data.filters = saveFilters(data.image, SizeNotice::None);
    rlimit before{};
    getrlimit(RLIMIT_FSIZE, &before);
    if (diskFull) {
        std::signal(SIGXFSZ, SIG_IGN);
        rlimit small = before;
        small.rlim_cur = 4096;
        setrlimit(RLIMIT_FSIZE, &small);
    }
    saveToFile(data);
    setrlimit(RLIMIT_FSIZE, &before);

    QCOMPARE(watcher.messages(), message.isEmpty() ? QStringList() : QStringList{message.arg(path)});
    QCOMPARE(data.saved, message.isEmpty());
    struct stat st;
    QCOMPARE(lstat(QFile::encodeName(path).constData(), &st), 0);
    if (target == "full" || target == "null") {
        QVERIFY(S_ISCHR(st.st_mode));
    } else {
        QCOMPARE(S_ISLNK(st.st_mode), target == "link");
        const QString file = target == "file" ? path : real;
        if (message.isEmpty())
            QVERIFY(fileBytes(file) != old && magic(file) != "other");
        else
            QCOMPARE(fileBytes(file), old);
        QCOMPARE(stat(QFile::encodeName(file).constData(), &st), 0);
        QCOMPARE(st.st_mode & 0777, mode_t(0640));
    }
    // Nothing else was left in the folder.
    const QStringList left = QDir(folder.path()).entryList(QDir::Files | QDir::Hidden | QDir::System);
    QCOMPARE(left.size(), target == "link" ? 2 : 1);
}

void TestSaving::nullImageDoesNothing()
{
    RecordingWatcher watcher;
    BigImageSaveData data;
    data.filename = dir.filePath("null.jpg");
    data.watcher = &watcher;
    saveToFile(data);
    QVERIFY(watcher.messages().isEmpty());
    QVERIFY(!data.saved);
    QVERIFY(!QFile::exists(data.filename));
}

void TestSaving::acceptDialogWith(const QString& name)
{
    answerFileDialog(this, name);
}

void TestSaving::dialogSavesTwice()
{
    RecordingWatcher watcher;
    for (const QString& name : {QString("first.png"), QString("second.tif")}) {
        BigImageSaveData data;
        data.image = smooth(20, 10);
        data.directory = dir.path();
        data.watcher = &watcher;
        data.reportSuccess = true;
        data.icon = ":/ps.ico";
        acceptDialogWith(name);
        saveDialog(data);
        QCOMPARE(data.filename, dir.filePath(name));
        QVERIFY(data.saved);
        QVERIFY(QFile::exists(data.filename));
    }
    QCOMPARE(watcher.messages(), (QStringList{"File saved to " + dir.filePath("first.png") + ".",
                                              "File saved to " + dir.filePath("second.tif") + "."}));
}

void TestSaving::dialogCancelled()
{
    RecordingWatcher watcher;
    BigImageSaveData data;
    data.image = smooth(20, 10);
    data.directory = dir.path();
    data.watcher = &watcher;
    data.reportSuccess = true;
    acceptDialogWith(QString());
    saveDialog(data);
    QVERIFY(!data.saved);
    QVERIFY(watcher.messages().isEmpty());
}

void TestSaving::dialogAddsDefaultSuffix()
{
    RecordingWatcher watcher;
    BigImageSaveData data;
    data.image = smooth(20, 10);
    data.directory = dir.path();
    data.watcher = &watcher;
    acceptDialogWith("result");
    saveDialog(data);
    QCOMPARE(data.filename, dir.filePath("result.jpg"));
    QCOMPARE(magic(data.filename), QString("jpeg"));
    QVERIFY(watcher.messages().isEmpty()); // no success message without reportSuccess
}

int runSavingTests(int argc, char** argv)
{
    TestSaving test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_saving.moc"
