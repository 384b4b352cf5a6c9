// The PNM reader and writer: header forms, every pixel type with exact values, chunk and
// block boundaries, damaged files, and files written or read by netpbm and ImageMagick.
#include "iotestutil.h"
#include "pnm.h"
#include "testimages.h"

#include <QImage>
#include <QTemporaryDir>
#include <QtTest>

#include <limits>
#include <sstream>

namespace {

std::istringstream stream(const QByteArray& bytes)
{
    return std::istringstream(std::string(bytes.constData(), size_t(bytes.size())));
}

struct Decoded {
    QString error;
    std::vector<uint8_t> pixels;
    int width = -1, height = -1, type = -1;
    bool header = false;
    float progress = -1.0f;
};

Decoded decode(const QByteArray& file)
{
    Decoded d;
    auto in = stream(file);
    d.header = parse_ppm_header(in, &d.width, &d.height, &d.type);
    if (!d.header)
        return d;
    d.pixels.assign(size_t(d.width) * size_t(d.height) * 3, 7);
    std::atomic<float> progress{-1.0f};
    d.error = parse_ppm_data(in, d.type, d.pixels.data(), d.width, d.height, &progress);
    d.progress = progress;
    return d;
}

QByteArray rgb(std::initializer_list<int> values)
{
    QByteArray out;
    for (int v : values)
        out.append(char(v));
    return out;
}

// Pixels of a QImage (read by Qt's own PNG reader) as R, G, B bytes.
std::vector<uint8_t> qtPixels(const QString& path)
{
    const QImage img(path);
    std::vector<uint8_t> out;
    for (int y = 0; y < img.height(); ++y)
        for (int x = 0; x < img.width(); ++x) {
            const QRgb v = img.pixel(x, y);
            out.push_back(uint8_t(qRed(v)));
            out.push_back(uint8_t(qGreen(v)));
            out.push_back(uint8_t(qBlue(v)));
        }
    return out;
}

std::vector<uint8_t> pattern(int64_t count, unsigned seed)
{
    std::vector<uint8_t> out(static_cast<size_t>(count));
    uint32_t v = seed;
    for (auto& b : out) {
        v = v * 1103515245u + 12345u;
        b = uint8_t(v >> 16);
    }
    return out;
}

} // namespace

class TestPnm : public QObject {
    Q_OBJECT
private slots:
    void header_data();
    void header();
    void headerLeavesStreamAfterLastLine();
    void p6SmallExact();
    void p5GreyToAllChannels();
    void p6BulkAndTail();
    void bitmapRowsOnByteBoundaries_data();
    void bitmapRowsOnByteBoundaries();
    void asciiSamples_data();
    void asciiSamples();
    void asciiAcrossChunks_data();
    void asciiAcrossChunks();
    void maximumValueIgnored();
    void unsupportedTypes_data();
    void unsupportedTypes();
    void truncatedData_data();
    void truncatedData();
    void readValue();
    void minimumDataBytes();
    void writerLayout();
    void writerRoundTripThroughNetpbm();
    void writerUnwritable();
    void imageMagickFiles_data();
    void imageMagickFiles();
    void netpbmPlainFiles_data();
    void netpbmPlainFiles();
};

void TestPnm::header_data()
{
    QTest::addColumn<QByteArray>("header");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<int>("width");
    QTest::addColumn<int>("height");
    QTest::addColumn<int>("type");
    QTest::newRow("one line") << QByteArray("P6 2 2 255\n") << true << 2 << 2 << 6;
    QTest::newRow("four lines and a comment") << QByteArray("P6\n2\n# made by hand\n2\n255\n") << true << 2 << 2 << 6;
    QTest::newRow("size line with # is skipped") << QByteArray("P6\n640 480 # size\n3 4\n255\n") << true << 3 << 4 << 6;
    QTest::newRow("empty line") << QByteArray("P6\n\n2 2\n255\n") << false << -1 << -1 << 6;
    QTest::newRow("bitmap needs no maximum") << QByteArray("P4\n10 2\n") << true << 10 << 2 << 4;
    QTest::newRow("ascii bitmap") << QByteArray("P1 3 3\n") << true << 3 << 3 << 1;
    QTest::newRow("magic inside a token") << QByteArray("xxP5yy 3 4 255\n") << true << 3 << 4 << 5;
    QTest::newRow("P7 header") << QByteArray("P7 5 6 255\n") << true << 5 << 6 << 7;
    QTest::newRow("unknown magic") << QByteArray("P9 2 2 255\n") << false << -1 << -1 << -1;
    QTest::newRow("width not a number") << QByteArray("P6 abc 2 255\n") << false << -1 << -1 << 6;
    QTest::newRow("end of file early") << QByteArray("P6 2") << false << 2 << -1 << 6;
    QTest::newRow("nothing") << QByteArray() << false << -1 << -1 << -1;
    QTest::newRow("line too long") << (QByteArray("P6 ") + QByteArray(1000, ' ') + "2 2 255\n") << false << -1 << -1 << -1;
    QTest::newRow("zero width") << QByteArray("P6 0 2 255\n") << false << 0 << 2 << 6;
    QTest::newRow("negative height") << QByteArray("P5 2 -3 255\n") << false << 2 << -3 << 5;
    QTest::newRow("beyond int") << QByteArray("P6 99999999999 2 255\n") << false << -1 << -1 << 6;
    QTest::newRow("CR LF line ends") << QByteArray("P6\r\n2 2\r\n255\r\n") << true << 2 << 2 << 6;
    QTest::newRow("tokens after the last are ignored") << QByteArray("P3 2 1 255 9 9 9\n") << true << 2 << 1 << 3;
}

void TestPnm::header()
{
    QFETCH(QByteArray, header);
    QFETCH(bool, ok);
    QFETCH(int, width);
    QFETCH(int, height);
    QFETCH(int, type);
    auto in = stream(header);
    int w = 99, h = 99, t = 99;
    QCOMPARE(parse_ppm_header(in, &w, &h, &t), ok);
    QCOMPARE(t, type);
    if (ok) {
        QCOMPARE(w, width);
        QCOMPARE(h, height);
    }
}

void TestPnm::headerLeavesStreamAfterLastLine()
{
    auto in = stream(QByteArray("P6\n2 1\n255\nABCDEF"));
    int w, h, t;
    QVERIFY(parse_ppm_header(in, &w, &h, &t));
    QCOMPARE(char(in.get()), 'A');
}

void TestPnm::p6SmallExact()
{
    const QByteArray data = rgb({1, 2, 3, 4, 5, 6, 7, 8, 9, 250, 251, 252});
    for (const QByteArray& header : {QByteArray("P6 2 2 255\n"), QByteArray("P6\n2\n# c\n2\n255\n")}) {
        const Decoded d = decode(header + data);
        QVERIFY(d.error.isEmpty());
        QCOMPARE(QByteArray(reinterpret_cast<const char*>(d.pixels.data()), 12), data);
        QCOMPARE(d.progress, 1.0f);
    }
}

void TestPnm::p5GreyToAllChannels()
{
    const std::vector<uint8_t> grey = pattern(100 * 100, 3);
    const Decoded d = decode("P5 100 100 255\n" + QByteArray(reinterpret_cast<const char*>(grey.data()), 10000));
    QVERIFY(d.error.isEmpty());
    for (size_t i = 0; i < grey.size(); ++i) {
        QCOMPARE(d.pixels[3 * i], grey[i]);
        QCOMPARE(d.pixels[3 * i + 1], grey[i]);
        QCOMPARE(d.pixels[3 * i + 2], grey[i]);
    }
}

void TestPnm::p6BulkAndTail()
{
    // 65,537 pixels: one bulk chunk and one pixel after it.
    const std::vector<uint8_t> bytes = pattern(65537 * 3, 5);
    const QByteArray file = "P6 65537 1 255\n" + QByteArray(reinterpret_cast<const char*>(bytes.data()), int(bytes.size()));
    const Decoded d = decode(file);
    QVERIFY(d.error.isEmpty());
    QVERIFY(d.pixels == bytes);
    QCOMPARE(d.progress, 1.0f);
}

void TestPnm::bitmapRowsOnByteBoundaries_data()
{
    QTest::addColumn<int>("width");
    QTest::newRow("10 wide: two bytes a row") << 10;
    QTest::newRow("13 wide") << 13;
    QTest::newRow("8 wide: one whole byte") << 8;
    QTest::newRow("70000 wide: one row a block") << 70000;
}

void TestPnm::bitmapRowsOnByteBoundaries()
{
    QFETCH(int, width);
    const int height = 3;
    const int rowBytes = (width + 7) / 8;
    std::vector<uint8_t> bits = pattern(int64_t(rowBytes) * height, 9);
    // The bits beyond the width must not matter: set them all.
    for (int y = 0; y < height; ++y)
        if (width % 8)
            bits[size_t(y * rowBytes + rowBytes - 1)] |= uint8_t(0xFF >> (width % 8));
    const QByteArray file = QByteArray("P4\n") + QByteArray::number(width) + " 3\n"
                            + QByteArray(reinterpret_cast<const char*>(bits.data()), int(bits.size()));
    const Decoded d = decode(file);
    QVERIFY(d.error.isEmpty());
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            const bool black = (bits[size_t(y * rowBytes + x / 8)] >> (7 - x % 8)) & 1;
            const size_t i = (size_t(y) * width + x) * 3;
            QCOMPARE(int(d.pixels[i]), black ? 0 : 255);
            QCOMPARE(int(d.pixels[i + 2]), black ? 0 : 255);
        }
}

void TestPnm::asciiSamples_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<QByteArray>("expected");
    QTest::newRow("red pixel") << QByteArray("P3 1 1 255\n255 0 0\n") << rgb({255, 0, 0});
    QTest::newRow("two blanks after 255") << QByteArray("P3 1 1 255\n255  0 0\n") << rgb({255, 0, 0});
    QTest::newRow("tabs and CR LF") << QByteArray("P3 2 1 255\r\n1\t2\t3\r\n4 5 6\r\n") << rgb({1, 2, 3, 4, 5, 6});
    QTest::newRow("byte 255 separates") << QByteArray("P2 2 1 255\n7\xff" "8\n") << rgb({7, 7, 7, 8, 8, 8});
    QTest::newRow("low 8 bits") << QByteArray("P2 2 1 65535\n300 65535\n") << rgb({44, 44, 44, 255, 255, 255});
    QTest::newRow("no final newline") << QByteArray("P2 1 1 255\n42") << rgb({42, 42, 42});
    // Long digit runs wrap modulo 2^32 before the low 8 bits are kept, whatever the reader
    // path: 12345678901234567890 mod 2^32 = 3944680146, low byte 210.
    QTest::newRow("20 digits, per-pixel tail") << QByteArray("P2 1 1 255\n12345678901234567890\n") << rgb({210, 210, 210});
    QTest::newRow("digits then junk") << QByteArray("P2 2 1 255\n00000000000000000000301x7 9\n") << rgb({45, 45, 45, 9, 9, 9});
}

void TestPnm::asciiSamples()
{
    QFETCH(QByteArray, file);
    QFETCH(QByteArray, expected);
    const Decoded d = decode(file);
    QVERIFY2(d.error.isEmpty(), qPrintable(d.error));
    QCOMPARE(QByteArray(reinterpret_cast<const char*>(d.pixels.data()), int(d.pixels.size())), expected);
}

void TestPnm::asciiAcrossChunks_data()
{
    QTest::addColumn<int>("type");
    QTest::addColumn<int>("padding");
    QTest::addColumn<QByteArray>("prefix");
    QTest::newRow("P2, short samples") << 2 << 0 << QByteArray();
    QTest::newRow("P3, short samples") << 3 << 0 << QByteArray();
    // Samples of nine characters and more: more text than the 4 bytes a sample of a block.
    QTest::newRow("P2, long samples") << 2 << 6 << QByteArray();
    QTest::newRow("P3, long samples") << 3 << 6 << QByteArray();
    // 20 leading digits, a multiple of 2^31, so that the prefix times any power of ten
    // vanishes modulo 2^32: bulk chunk and tail must both keep just the sample.
    QTest::newRow("P2, samples past 32 bits") << 2 << 0 << QByteArray("21474836482147483648");
    QTest::newRow("P3, samples past 32 bits") << 3 << 0 << QByteArray("21474836482147483648");
}

void TestPnm::asciiAcrossChunks()
{
    // 300 × 300 = 90,000 pixels: one chunk of 65,536 and a tail read value by value.
    QFETCH(int, type);
    QFETCH(int, padding);
    QFETCH(QByteArray, prefix);
    const int w = 300, h = 300, channels = type == 3 ? 3 : 1;
    const std::vector<uint8_t> samples = pattern(int64_t(w) * h * channels, 17);
    QByteArray file = "P" + QByteArray::number(type) + "\n300 300\n255\n";
    for (size_t i = 0; i < samples.size(); ++i) {
        file += prefix + QByteArray(padding, '0') + QByteArray::number(samples[i]);
        file += (i % 17 == 16) ? "\n" : (i % 5 == 0 ? "  " : " ");
    }
    const Decoded d = decode(file);
    QVERIFY2(d.error.isEmpty(), qPrintable(d.error));
    for (int64_t p = 0; p < int64_t(w) * h; ++p)
        for (int c = 0; c < 3; ++c)
            if (d.pixels[size_t(p * 3 + c)] != samples[size_t(p * channels + (channels == 3 ? c : 0))])
                QFAIL(qPrintable(QString("pixel %1 channel %2").arg(p).arg(c)));
}

void TestPnm::maximumValueIgnored()
{
    const Decoded d = decode("P6 2 1 65535\n" + rgb({0, 1, 2, 3, 4, 5}));
    QVERIFY(d.error.isEmpty());
    QCOMPARE(QByteArray(reinterpret_cast<const char*>(d.pixels.data()), 6), rgb({0, 1, 2, 3, 4, 5}));
}

void TestPnm::unsupportedTypes_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<QString>("error");
    QTest::newRow("P1") << QByteArray("P1 2 1\n0 1\n") << "parse_ppm_data: ppm index 1 NYI";
    QTest::newRow("P7") << QByteArray("P7 2 1 255\nabcdef") << "parse_ppm_data: ppm index 7 NYI";
}

void TestPnm::unsupportedTypes()
{
    QFETCH(QByteArray, file);
    QFETCH(QString, error);
    const Decoded d = decode(file);
    QVERIFY(d.header);
    QCOMPARE(d.error, error);
    QCOMPARE(int(d.pixels[0]), 7); // the buffer stays as it was
}

void TestPnm::truncatedData_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::newRow("P6 short by a byte") << ("P6 2 2 255\n" + QByteArray(11, 'x'));
    QTest::newRow("P6 bulk chunk short") << ("P6 70000 1 255\n" + QByteArray(1000, 'x'));
    QTest::newRow("P5 short") << ("P5 4 4 255\n" + QByteArray(15, 'x'));
    QTest::newRow("P4 short") << ("P4 16 4\n" + QByteArray(7, 'x'));
    QTest::newRow("P3 short") << QByteArray("P3 2 1 255\n1 2 3 4 5\n");
    QTest::newRow("P2 chunk short") << ("P2 70000 1 255\n" + QByteArray("1 2 3\n"));
}

void TestPnm::truncatedData()
{
    QFETCH(QByteArray, file);
    const Decoded d = decode(file);
    QVERIFY(d.header);
    QCOMPARE(d.error, QString("parse_ppm_data: unexpected end of file."));
}

void TestPnm::readValue()
{
    auto in = stream(QByteArray("  \n 12x 7\n\n300"));
    QCOMPARE(read_ppm_value(in), 12);
    QCOMPARE(read_ppm_value(in), 7);
    QCOMPARE(read_ppm_value(in), 300);
    QCOMPARE(read_ppm_value(in), 0);
}

void TestPnm::minimumDataBytes()
{
    QCOMPARE(ppm_minimum_data_bytes(6, 40000, 40000), int64_t(4800000000));
    QCOMPARE(ppm_minimum_data_bytes(5, 3, 2), int64_t(6));
    QCOMPARE(ppm_minimum_data_bytes(4, 10, 3), int64_t(6));
    QCOMPARE(ppm_minimum_data_bytes(3, 1, 1), int64_t(5));
    QCOMPARE(ppm_minimum_data_bytes(2, 2, 1), int64_t(3));
    QCOMPARE(ppm_minimum_data_bytes(7, 2, 1), int64_t(-1));
    // Products past 64 bits stand for "more than any file holds", never a wrapped count.
    constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
    QCOMPARE(ppm_minimum_data_bytes(6, 2147483647, 2147483647), kMax);
    QCOMPARE(ppm_minimum_data_bytes(3, 1300000000, 1300000000), kMax);
    QCOMPARE(ppm_minimum_data_bytes(2, 2147483647, 2147483647), int64_t(2147483647) * 2147483647 * 2 - 1);
}

void TestPnm::writerLayout()
{
    QTemporaryDir dir;
    const QString name = dir.filePath("f.pnm");
    const BigImagePtr f = makeF();
    QVERIFY(write_ppm(reinterpret_cast<const uint8_t*>(f->data()), 6, 5, name));
    const QByteArray bytes = fileBytes(name);
    const QByteArray header = "P6\n6 5\n# created by Brightfold\n255\n";
    QVERIFY(bytes.startsWith(header));
    QCOMPARE(bytes.size(), header.size() + 6 * 5 * 3);
    QCOMPARE(bytes.mid(header.size()), QByteArray(reinterpret_cast<const char*>(f->data()), 90));

    // And back through the reader.
    const Decoded d = decode(bytes);
    QVERIFY(d.error.isEmpty());
    QCOMPARE(d.width, 6);
    QCOMPARE(QByteArray(reinterpret_cast<const char*>(d.pixels.data()), 90), bytes.mid(header.size()));
}

void TestPnm::writerRoundTripThroughNetpbm()
{
    // More than one 1 MiB block, read by netpbm.
    QTemporaryDir dir;
    const QString name = dir.filePath("r.pnm");
    const BigImagePtr img = makeRandom(701, 613, 4);
    QVERIFY(write_ppm(reinterpret_cast<const uint8_t*>(img->data()), 701, 613, name));
    const ToolResult r = runTool("pnmtopnm", {name});
    QVERIFY2(r.started, "netpbm (pnmtopnm) is needed");
    QCOMPARE(r.exitCode, 0);
    QVERIFY2(r.err.isEmpty(), r.err.constData());
    const BigImagePtr back = parseP6(r.out);
    QVERIFY(back);
    QVERIFY(samePixels(*back, *img));
}

void TestPnm::writerUnwritable()
{
    QTemporaryDir dir;
    const QString name = dir.filePath("missing/f.pnm");
    const BigImagePtr f = makeF();
    QVERIFY(!write_ppm(reinterpret_cast<const uint8_t*>(f->data()), 6, 5, name));
    QVERIFY(!QFile::exists(name));
}

void TestPnm::imageMagickFiles_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<QString>("reference");
    QTest::newRow("P2") << "im_p2.pgm" << "ref_grey.png";
    QTest::newRow("P3") << "im_p3.ppm" << "ref_color.png";
    QTest::newRow("P4") << "im_p4.pbm" << "ref_bw.png";
    QTest::newRow("P5") << "im_p5.pgm" << "ref_grey.png";
    QTest::newRow("P6") << "im_p6.ppm" << "ref_color.png";
}

void TestPnm::imageMagickFiles()
{
    // Files that ImageMagick wrote from the reference PNGs (tests/data); Qt reads the PNGs.
    QFETCH(QString, file);
    QFETCH(QString, reference);
    const QString data = QStringLiteral(SEAMWRIGHT_TEST_DATA) + "/";
    const Decoded d = decode(fileBytes(data + file));
    QVERIFY2(d.error.isEmpty(), qPrintable(d.error));
    QCOMPARE(d.width, 7);
    QCOMPARE(d.height, 5);
    QVERIFY(d.pixels == qtPixels(data + reference));
}

void TestPnm::netpbmPlainFiles_data()
{
    QTest::addColumn<QByteArray>("raw");
    const std::vector<uint8_t> colour = pattern(37 * 23 * 3, 21);
    const std::vector<uint8_t> grey = pattern(37 * 23, 22);
    QTest::newRow("P6 to P3") << ("P6\n37 23\n255\n" + QByteArray(reinterpret_cast<const char*>(colour.data()), int(colour.size())));
    QTest::newRow("P5 to P2") << ("P5\n37 23\n255\n" + QByteArray(reinterpret_cast<const char*>(grey.data()), int(grey.size())));
}

void TestPnm::netpbmPlainFiles()
{
    // netpbm writes the plain (ASCII) form of a binary file; both must read the same.
    QFETCH(QByteArray, raw);
    const ToolResult r = runTool("pnmtoplainpnm", {}, raw);
    QVERIFY2(r.started, "netpbm (pnmtoplainpnm) is needed");
    QCOMPARE(r.exitCode, 0);
    const Decoded plain = decode(r.out);
    const Decoded binary = decode(raw);
    QVERIFY2(plain.error.isEmpty(), qPrintable(plain.error));
    QCOMPARE(plain.type, binary.type - 3);
    QVERIFY(plain.pixels == binary.pixels);
}

int runPnmTests(int argc, char** argv)
{
    TestPnm test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_pnm.moc"
