// The JPEG encoder: header layout, tables against libjpeg-turbo's cjpeg, entropy-coded bits
// worked out by hand from the Annex K code tables, the band padding rules, decoding through
// djpeg, and the failure paths.
#include "iotestutil.h"
#include "jpegencoder.h"
#include "testimages.h"

#include <QTemporaryDir>
#include <QtTest>

#include <cmath>
#if defined(Q_OS_UNIX)
#include <csignal>
#include <sys/resource.h>
#endif

Q_DECLARE_METATYPE(BigImagePtr)

namespace {

// The marker segments up to SOS (marker, payload without the length) and the bytes after it.
struct Layout {
    bool valid = false;
    QList<QPair<int, QByteArray>> segments;
    QByteArray entropy;
    QList<QByteArray> payloads(int marker) const
    {
        QList<QByteArray> out;
        for (const auto& s : segments)
            if (s.first == marker)
                out << s.second;
        return out;
    }
};

int be16(const QByteArray& b, int at) { return (uint8_t(b[at]) << 8) | uint8_t(b[at + 1]); }

Layout parseLayout(const QByteArray& file)
{
    Layout l;
    if (!file.startsWith("\xFF\xD8") || !file.endsWith("\xFF\xD9"))
        return l;
    int pos = 2;
    while (pos + 4 <= file.size() && uint8_t(file[pos]) == 0xFF) {
        const int marker = uint8_t(file[pos + 1]), length = be16(file, pos + 2);
        l.segments << qMakePair(marker, file.mid(pos + 4, length - 2));
        pos += 2 + length;
        if (marker == 0xDA) {
            l.entropy = file.mid(pos, file.size() - 2 - pos);
            l.valid = true;
            break;
        }
    }
    return l;
}

// The entropy-coded bits as '0'/'1', stuffed zero bytes removed.
QByteArray unstuffedBits(const QByteArray& entropy)
{
    QByteArray bits;
    for (int i = 0; i < entropy.size(); ++i) {
        for (int k = 7; k >= 0; --k)
            bits.append((uint8_t(entropy[i]) >> k) & 1 ? '1' : '0');
        if (uint8_t(entropy[i]) == 0xFF)
            ++i;
    }
    return bits;
}

QByteArray bytesFromBits(const QByteArray& bits)
{
    QByteArray out;
    for (int i = 0; i + 8 <= bits.size(); i += 8)
        out.append(char(bits.mid(i, 8).toInt(nullptr, 2)));
    return out;
}

// PSNR over the top-left w x h pixels: of R, G and B, or of the grey level only.
double regionPsnr(const BigImage& a, const BigImage& b, int w, int h, bool greyOnly)
{
    double sum = 0.0, n = 0.0;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const RgbPixel p = a.pixelAt(x, y), q = b.pixelAt(x, y);
            const double dr = p.r - q.r, dg = p.g - q.g, db = p.b - q.b;
            const double grey = 0.299 * dr + 0.587 * dg + 0.114 * db;
            sum += greyOnly ? grey * grey : dr * dr + dg * dg + db * db;
            n += greyOnly ? 1 : 3;
        }
    return sum == 0.0 ? INFINITY : 10.0 * std::log10(255.0 * 255.0 * n / sum);
}

// Slow waves in all three channels: what quality 100 must keep above 40 dB.
BigImagePtr makeSmooth(int w, int h)
{
    auto img = std::make_shared<BigImage>(w, h);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            img->setPixel(x, y, RgbPixel{uint8_t(std::lround(128 + 90 * std::sin(x * 0.05 + y * 0.03))),
                                         uint8_t(std::lround(128 + 80 * std::cos(x * 0.021 - y * 0.04))),
                                         uint8_t(std::lround(120 + 70 * std::sin(x * 0.013 + y * 0.027 + 1.0)))});
    return img;
}

BigImagePtr makeFlat(int w, int h, RgbPixel c) { return std::make_shared<BigImage>(w, h, c); }

} // namespace

class TestJpeg : public QObject {
    Q_OBJECT

    QTemporaryDir dir_;
    int counter_ = 0;

    QString nextName(const char* suffix = "jpg") { return dir_.filePath(QString("t%1.%2").arg(++counter_).arg(suffix)); }

    QByteArray encode(const BigImage& img, int quality = 100, const QByteArray& comment = QByteArray(),
                      int density = 72, QString* name = nullptr)
    {
        const QString file = nextName();
        if (name)
            *name = file;
        return writeJpeg(img, file, quality, comment, density) ? fileBytes(file) : QByteArray();
    }

    // djpeg's image; null on a non-zero exit or any warning. With boxChroma a chroma sample
    // covers its 2 x 2 pixels without blending into the neighbouring ones.
    BigImagePtr decode(const QString& file, bool boxChroma = false)
    {
        const ToolResult r = runTool("djpeg", boxChroma ? QStringList{"-nosmooth", "-pnm", file} : QStringList{"-pnm", file});
        if (r.exitCode != 0 || !r.err.isEmpty()) {
            qWarning("djpeg: started %d, exit %d, %s", r.started, r.exitCode, r.err.constData());
            return nullptr;
        }
        return parseP6(r.out);
    }

    QString writePpm(const BigImage& img)
    {
        const QString file = nextName("ppm");
        QFile f(file);
        if (f.open(QIODevice::WriteOnly)) {
            f.write(QString("P6\n%1 %2\n255\n").arg(img.width()).arg(img.height()).toLatin1());
            f.write(reinterpret_cast<const char*>(img.data()), qint64(img.pixelCount()) * 3);
        }
        return file;
    }

    JpegParams paramsFor(const BigImage& img)
    {
        JpegParams p;
        p.width = img.width();
        p.height = img.height();
        p.pixels = reinterpret_cast<const uint8_t*>(img.data());
        return p;
    }

private slots:
    void initTestCase() { QVERIFY(dir_.isValid()); }

    void headerLayout_data()
    {
        QTest::addColumn<int>("width");
        QTest::addColumn<int>("height");
        QTest::addColumn<QByteArray>("comment");
        QTest::addColumn<int>("density");
        QTest::addColumn<QByteArray>("densityBytes");
        QTest::newRow("1x1, no comment") << 1 << 1 << QByteArray() << 72 << QByteArray("\x00\x48", 2);
        QTest::newRow("31x33, comment") << 31 << 33 << QByteArray("stitched\xe4 scan") << 300 << QByteArray("\x01\x2c");
        QTest::newRow("comment across buffers") << 9 << 9 << QByteArray(9000, 'c') << 0x1234 << QByteArray("\x12\x34");
        QTest::newRow("comment cut to 65533") << 9 << 9 << QByteArray(70000, 'd') << 1 << QByteArray("\x00\x01", 2);
        QTest::newRow("widest") << 65535 << 1 << QByteArray() << 96 << QByteArray("\x00\x60", 2);
        QTest::newRow("tallest") << 1 << 65535 << QByteArray() << 96 << QByteArray("\x00\x60", 2);
        QTest::newRow("density 0 becomes 1") << 8 << 8 << QByteArray() << 0 << QByteArray("\x00\x01", 2);
    }

    void headerLayout()
    {
        QFETCH(int, width);
        QFETCH(int, height);
        QFETCH(QByteArray, comment);
        QFETCH(int, density);
        QFETCH(QByteArray, densityBytes);
        const Layout l = parseLayout(encode(*makeRandom(width, height, 7), 100, comment, density));
        QVERIFY(l.valid);

        QVector<int> markers, expected{0xE0, 0xDB, 0xDB, 0xC0};
        if (!comment.isEmpty())
            expected << 0xEC;
        expected << 0xC4 << 0xC4 << 0xC4 << 0xC4 << 0xDA; // and no DRI
        for (const auto& s : l.segments)
            markers << s.first;
        QCOMPARE(markers, expected);

        QCOMPARE(l.payloads(0xE0)[0].toHex(),
                 (QByteArray("JFIF\0\x01\x01\x01", 8) + densityBytes + densityBytes + QByteArray(2, 0)).toHex());
        QVector<int> tables; // length and Pq/Tq of each DQT, length and Tc/Th of each DHT
        for (const QByteArray& d : l.payloads(0xDB) + l.payloads(0xC4))
            tables << d.size() + 2 << uint8_t(d[0]);
        QCOMPARE(tables, (QVector<int>{67, 0x00, 67, 0x01, 19 + 12, 0x00, 19 + 162, 0x10, 19 + 12, 0x01, 19 + 162, 0x11}));
        const QByteArray size = QByteArray(1, char(height >> 8)) + char(height & 0xFF) + char(width >> 8) + char(width & 0xFF);
        QCOMPARE(l.payloads(0xC0)[0].toHex(),
                 (QByteArray(1, 8) + size + QByteArray("\x03\x01\x22\x00\x02\x11\x01\x03\x11\x01", 10)).toHex());
        if (!comment.isEmpty())
            QCOMPARE(l.payloads(0xEC)[0], comment.left(65533));
        QCOMPARE(l.payloads(0xDA)[0].toHex(), QByteArray("\x03\x01\x00\x02\x11\x03\x11\x00\x3F\x00", 10).toHex());
    }

    // q = S * base / 100 truncated; first and last zigzag entries of K.1 (16, 99) and K.2 (17, 99).
    void quantTables_data()
    {
        QTest::addColumn<int>("quality");
        QTest::addColumn<QVector<int>>("firstLast"); // luma first, last, chroma first, last
        QTest::newRow("100") << 100 << QVector<int>{1, 9, 1, 9};
        QTest::newRow("96") << 96 << QVector<int>{1, 9, 1, 9};
        QTest::newRow("90, S 20") << 90 << QVector<int>{3, 19, 3, 19};
        QTest::newRow("51, S 98") << 51 << QVector<int>{15, 97, 16, 97};
        QTest::newRow("49, S 102") << 49 << QVector<int>{16, 100, 17, 100};
        QTest::newRow("30, S 166") << 30 << QVector<int>{26, 164, 28, 164};
        QTest::newRow("25, S 200") << 25 << QVector<int>{32, 198, 34, 198};
        QTest::newRow("10, S 200") << 10 << QVector<int>{32, 198, 34, 198};
    }

    void quantTables()
    {
        QFETCH(int, quality);
        QFETCH(QVector<int>, firstLast);
        const QList<QByteArray> dqt = parseLayout(encode(*makeFlat(8, 8, colGrey), quality)).payloads(0xDB);
        QCOMPARE(dqt.size(), 2);
        const QVector<int> got{uint8_t(dqt[0][1]), uint8_t(dqt[0][64]), uint8_t(dqt[1][1]), uint8_t(dqt[1][64])};
        QCOMPARE(got, firstLast);
    }

    // At quality 50 the tables are Annex K's own: DQT (zigzag order), SOF0, the four DHT and
    // SOS byte for byte as cjpeg writes them.
    void tablesMatchLibjpeg()
    {
        const BigImagePtr img = makeSmooth(40, 24);
        const Layout ours = parseLayout(encode(*img, 50));
        const ToolResult r = runTool("cjpeg", {"-quality", "50", "-sample", "2x2", "-baseline", writePpm(*img)});
        if (!r.started)
            QSKIP("cjpeg not installed");
        const Layout theirs = parseLayout(r.out);
        QVERIFY(ours.valid && theirs.valid);
        for (int marker : {0xDB, 0xC0, 0xC4, 0xDA})
            QCOMPARE(ours.payloads(marker), theirs.payloads(marker));
    }

    void decodes_data()
    {
        QTest::addColumn<int>("width");
        QTest::addColumn<int>("height");
        QTest::newRow("1x1") << 1 << 1;
        QTest::newRow("16x16") << 16 << 16;
        QTest::newRow("17x17") << 17 << 17;
        QTest::newRow("31x33") << 31 << 33;
        QTest::newRow("wide 1001x3") << 1001 << 3;
        QTest::newRow("tall 5x999") << 5 << 999;
        QTest::newRow("several bands 203x157") << 203 << 157;
    }

    void decodes()
    {
        QFETCH(int, width);
        QFETCH(int, height);
        const BigImagePtr img = makeSmooth(width, height);
        QString name;
        QVERIFY(!encode(*img, 100, QByteArray(), 72, &name).isEmpty());
        const BigImagePtr back = decode(name, true);
        QVERIFY(back);
        QCOMPARE(back->width(), width);
        QCOMPARE(back->height(), height);
        // Colour everywhere, the last odd column and row included, and the grey level.
        const double colour = regionPsnr(*img, *back, width, height, false);
        const double grey = regionPsnr(*img, *back, width, height, true);
        QVERIFY2(colour >= 40.0 && grey >= 40.0, qPrintable(QString("%1 dB colour, %2 dB grey").arg(colour).arg(grey)));
    }

    void flatColour_data()
    {
        QTest::addColumn<RgbPixel>("colour");
        QTest::addColumn<int>("width");
        QTest::addColumn<int>("height");
        QTest::newRow("black") << RgbPixel{0, 0, 0} << 38 << 22;
        QTest::newRow("white") << RgbPixel{255, 255, 255} << 38 << 22;
        QTest::newRow("red") << RgbPixel{255, 0, 0} << 38 << 22;
        QTest::newRow("blue") << RgbPixel{0, 0, 255} << 16 << 16;
        QTest::newRow("green-ish") << RgbPixel{12, 200, 77} << 38 << 22;
        QTest::newRow("grey, odd size") << RgbPixel{77, 77, 77} << 37 << 21;
        // Odd sizes keep their colour up to the last column and row: the padding repeats them.
        QTest::newRow("red, odd size") << RgbPixel{255, 0, 0} << 37 << 21;
        QTest::newRow("blue, one pixel") << RgbPixel{0, 0, 255} << 1 << 1;
        QTest::newRow("green-ish, 17 x 17") << RgbPixel{12, 200, 77} << 17 << 17;
    }

    void flatColour()
    {
        QFETCH(RgbPixel, colour);
        QFETCH(int, width);
        QFETCH(int, height);
        QString name;
        QVERIFY(!encode(*makeFlat(width, height, colour), 100, QByteArray(), 72, &name).isEmpty());
        const BigImagePtr back = decode(name);
        QVERIFY(back);
        for (int y = 0; y < height; ++y)
            for (int x = 0; x < width; ++x) {
                const RgbPixel p = back->pixelAt(x, y);
                QVERIFY2(std::abs(p.r - colour.r) <= 2 && std::abs(p.g - colour.g) <= 2 && std::abs(p.b - colour.b) <= 2,
                         qPrintable(QString("(%1,%2): %3 %4 %5").arg(x).arg(y).arg(p.r).arg(p.g).arg(p.b)));
            }
    }

    // Flat greys: Y DC from the level, chroma 0, no AC. From Tables K.3 to K.6: luminance DC
    // category 0 "00", 7 "11110"; luminance EOB "1010"; chrominance DC 0 "00", EOB "00";
    // then 1-bits fill the last byte.
    void flatBlockBits_data()
    {
        QTest::addColumn<int>("level");
        QTest::addColumn<int>("mcus");
        QTest::addColumn<QByteArray>("bits");
        const QByteArray rest = "001010"
                                "001010"
                                "001010"
                                "0000"
                                "0000";
        QTest::newRow("grey 128") << 128 << 1 << QByteArray("001010" + rest);
        QTest::newRow("grey 128, three MCUs") << 128 << 3 << QByteArray("001010" + rest).repeated(3);
        QTest::newRow("grey 136, DC 64") << 136 << 1 << QByteArray("11110" "1000000" "1010" + rest + "111111");
        QTest::newRow("grey 120, DC -64: bits of -65") << 120 << 1 << QByteArray("11110" "0111111" "1010" + rest + "111111");
    }

    void flatBlockBits()
    {
        QFETCH(int, level);
        QFETCH(int, mcus);
        QFETCH(QByteArray, bits);
        const uint8_t v = uint8_t(level);
        const Layout l = parseLayout(encode(*makeFlat(16 * mcus, 16, RgbPixel{v, v, v})));
        QVERIFY(l.valid);
        QCOMPARE(l.entropy.toHex(), bytesFromBits(bits).toHex());
    }

    // One luminance block made of cosines (u horizontal, v vertical frequency, amplitude),
    // coded at quality 1 so that only they survive. Bits from Table K.5: AC 0/2 "01", ZRL
    // "11111111001", EOB "1010"; '.' marks a code or magnitude bit left open. The other
    // three blocks code as DC 0 + EOB, Cb and Cr as "0000" each.
    void zeroRuns_data()
    {
        QTest::addColumn<QVector<double>>("terms");
        QTest::addColumn<QByteArray>("pattern");
        const QByteArray zrl = "11111111001", others = "001010001010001010" "00000000";
        // (7, 7) is the last coefficient: three ZRL, a 16-bit code for 14/2, no EOB
        QTest::newRow("62 zeros") << QVector<double>{7, 7, 127}
                                  << QByteArray("00" + zrl + zrl + zrl + QByteArray(18, '.') + others + "1");
        // zigzag 1 and 18 with exactly 16 zeros between: one ZRL, then run 0
        QTest::newRow("16 zeros") << QVector<double>{1, 0, 10, 2, 3, 28}
                                  << QByteArray("00" "01" "1." + zrl + "01" "1." "1010" + others + "11111");
    }

    void zeroRuns()
    {
        QFETCH(QVector<double>, terms);
        QFETCH(QByteArray, pattern);
        const double pi = std::acos(-1.0);
        // One whole MCU: the block top left, flat 128 in the other three.
        auto img = std::make_shared<BigImage>(16, 16, RgbPixel{128, 128, 128});
        for (int y = 0; y < 8; ++y)
            for (int x = 0; x < 8; ++x) {
                double level = 128;
                for (int i = 0; i + 2 < terms.size(); i += 3)
                    level += terms[i + 2] * std::cos((2 * x + 1) * terms[i] * pi / 16) *
                             std::cos((2 * y + 1) * terms[i + 1] * pi / 16);
                const uint8_t v = uint8_t(std::lround(level));
                img->setPixel(x, y, RgbPixel{v, v, v});
            }
        const QByteArray bits = unstuffedBits(parseLayout(encode(*img, 1)).entropy);
        QCOMPARE(bits.size(), pattern.size());
        QByteArray masked = bits;
        for (int i = 0; i < pattern.size(); ++i)
            if (pattern[i] == '.')
                masked[i] = '.';
        QCOMPARE(masked, pattern);
    }

    // The padded MCUs code exactly like an image holding the padding as pixels.
    void paddingRules_data()
    {
        QTest::addColumn<int>("width");
        QTest::addColumn<int>("height");
        QTest::newRow("1x1") << 1 << 1;
        QTest::newRow("17x17") << 17 << 17;
        QTest::newRow("5x20") << 5 << 20;
        QTest::newRow("33x47") << 33 << 47;
    }

    void paddingRules()
    {
        QFETCH(int, width);
        QFETCH(int, height);
        const BigImagePtr img = makeRandom(width, height, 11);
        // The MCUs beyond the image repeat its last column and its last row.
        auto padded = std::make_shared<BigImage>((width + 15) / 16 * 16, (height + 15) / 16 * 16, colGrey);
        for (int y = 0; y < padded->height(); ++y)
            for (int x = 0; x < padded->width(); ++x)
                padded->setPixel(x, y, img->pixelAt(std::min(x, width - 1), std::min(y, height - 1)));
        const Layout a = parseLayout(encode(*img)), b = parseLayout(encode(*padded));
        QVERIFY(a.valid && b.valid);
        QCOMPARE(a.entropy.toHex(), b.entropy.toHex());
    }

    void byteStuffing()
    {
        const QByteArray entropy = parseLayout(encode(*makeRandom(64, 64, 3))).entropy;
        QVERIFY(entropy.contains('\xFF'));
        for (int i = entropy.indexOf('\xFF'); i >= 0; i = entropy.indexOf('\xFF', i + 2))
            QVERIFY2(i + 1 < entropy.size() && entropy[i + 1] == 0, qPrintable(QString("0xFF at %1").arg(i)));
    }

    void unopenablePath()
    {
        const QString name = dir_.filePath("no-such-folder/out.jpg");
        const BigImagePtr img = makeF();
        JpegEncoder enc(paramsFor(*img), name);
        QVERIFY(!enc.isOpen());
        QVERIFY(!enc.encode());
        QVERIFY(!writeJpeg(*img, name, 100, QByteArray(), 72));
        QVERIFY(!QFile::exists(name));
    }

    void invalidParams_data()
    {
        QTest::addColumn<int>("width");
        QTest::addColumn<int>("height");
        QTest::addColumn<bool>("pixels");
        QTest::newRow("width 0") << 0 << 5 << true;
        QTest::newRow("height 0") << 5 << 0 << true;
        QTest::newRow("negative width") << -3 << 5 << true;
        QTest::newRow("negative height") << 5 << -1 << true;
        QTest::newRow("width 65536") << 65536 << 1 << true;
        QTest::newRow("height 65536") << 1 << 65536 << true;
        QTest::newRow("no pixels") << 4 << 4 << false;
    }

    // Nothing is written: no new file, and a file already there keeps its bytes.
    void invalidParams()
    {
        QFETCH(int, width);
        QFETCH(int, height);
        QFETCH(bool, pixels);
        static const uint8_t data[4 * 4 * 3] = {};
        const QString fresh = nextName(), existing = nextName();
        QFile f(existing);
        QVERIFY(f.open(QIODevice::WriteOnly) && f.write("keep") == 4);
        f.close();
        for (const QString& file : {fresh, existing}) {
            JpegParams p;
            p.width = width;
            p.height = height;
            p.pixels = pixels ? data : nullptr;
            JpegEncoder enc(p, file);
            QVERIFY(!enc.isOpen());
            QVERIFY(!enc.encode());
        }
        QVERIFY(!QFile::exists(fresh));
        QCOMPARE(fileBytes(existing), QByteArray("keep"));
    }

    // A file size limit makes fwrite fail as on a full disk: false, and no partial file.
    void writeFailureRemovesFile()
    {
#if defined(Q_OS_UNIX)
        struct Limit {
            rlimit saved{};
            Limit() { getrlimit(RLIMIT_FSIZE, &saved); }
            ~Limit() { setrlimit(RLIMIT_FSIZE, &saved); }
        } limit;
        signal(SIGXFSZ, SIG_IGN);
        rlimit small = limit.saved;
        small.rlim_cur = 20000;
        QVERIFY(setrlimit(RLIMIT_FSIZE, &small) == 0);
        const QString name = nextName();
        QVERIFY(!writeJpeg(*makeRandom(300, 300, 9), name, 100, QByteArray(), 72));
        QVERIFY(!QFile::exists(name));
#else
        QSKIP("needs a file size limit");
#endif
    }

    void oneFilePerEncoder()
    {
        const BigImagePtr img = makeF();
        const QString name = nextName();
        {
            JpegEncoder unused(paramsFor(*img), name);
            QVERIFY(unused.isOpen());
        }
        QVERIFY(!QFile::exists(name)); // opened but never written: removed
        JpegEncoder enc(paramsFor(*img), name);
        QVERIFY(enc.encode());
        QVERIFY(!enc.isOpen());
        QVERIFY(!enc.encode());
        QVERIFY(decode(name));
    }
};

int runJpegTests(int argc, char** argv)
{
    TestJpeg t;
    return QTest::qExec(&t, argc, argv);
}

#include "tst_jpeg.moc"
