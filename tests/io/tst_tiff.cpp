// The TIFF writer: directory bytes and offsets parsed here independently (classic and
// BigTIFF), the choice between the two, the LZW bit stream of a tiny strip, round trips
// through libtiff (tiffinfo, tiffcp) for every compression and both formats, and the failure
// paths.
#include "iotestutil.h"
#include "recordingwatcher.h"
#include "testimages.h"
#include "tiffwriter.h"

#include <QtTest>

#include <QDateTime>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <zlib.h>

#include <climits>
#include <csignal>
#include <map>

#include <sys/resource.h>

namespace {

quint64 le(const QByteArray& b, qint64 pos, int bytes)
{
    quint64 v = 0;
    for (int i = bytes - 1; i >= 0; --i)
        v = v << 8 | quint8(b[int(pos + i)]);
    return v;
}

struct Field {
    quint16 type = 0;
    quint32 count = 0;
    qint64 valuePos = 0; // where the value bytes are: inside the entry, or at its offset
    bool inlineValue = false;
    quint64 offsetField = 0; // the entry's last four (BigTIFF: eight) bytes as a number
    QVector<quint64> values; // SHORT, LONG and LONG8 values; RATIONAL as numerator, denominator
    QByteArray raw;
};

// A reader of our own for little-endian files, classic or BigTIFF: the tags in file order and
// their fields.
struct Tiff {
    QString error;
    bool big = false;
    QVector<quint16> order;
    std::map<quint16, Field> fields;
    QByteArray bytes;

    explicit Tiff(const QByteArray& b) : bytes(b)
    {
        big = b.startsWith(QByteArray("II\x2b\0\x08\0\0\0", 8));
        if (b.size() < 16 || (!big && b.left(4) != QByteArray("II\x2a\0", 4))) {
            error = "no little-endian TIFF header";
            return;
        }
        const int field = big ? 8 : 4; // the width of counts, offsets and inline values
        const quint64 dir = big ? le(b, 8, 8) : le(b, 4, 4);
        const quint64 n = le(b, dir, big ? 8 : 2);
        const quint64 entries = dir + (big ? 8 : 2);
        for (quint64 i = 0; i < n; ++i) {
            const qint64 e = entries + (4 + 2 * field) * i;
            Field f;
            f.type = quint16(le(b, e + 2, 2));
            f.count = quint32(le(b, e + 4, field));
            const int size = f.type == 3 ? 2 : f.type == 4 ? 4 : f.type == 5 || f.type == 16 ? 8 : 1;
            f.inlineValue = f.count * size <= quint32(field);
            f.offsetField = le(b, e + 4 + field, field);
            f.valuePos = f.inlineValue ? e + 4 + field : qint64(f.offsetField);
            if (f.valuePos + f.count * size > b.size()) {
                error = QString("value of entry %1 outside the file").arg(i);
                return;
            }
            f.raw = b.mid(int(f.valuePos), int(f.count * size));
            const int width = f.type == 5 ? 4 : size;
            for (quint32 k = 0; k < f.count * (f.type == 5 ? 2 : 1) && f.type >= 3; ++k)
                f.values.append(le(b, f.valuePos + k * width, width));
            order.append(quint16(le(b, e, 2)));
            fields[order.last()] = f;
        }
        if (le(b, entries + (4 + 2 * field) * n, field) != 0)
            error = "more than one directory";
    }
    QVector<quint64> v(quint16 tag) const { return fields.count(tag) ? fields.at(tag).values : QVector<quint64>(); }

    QByteArray strips() const
    {
        QByteArray out;
        const QVector<quint64> offsets = v(273), counts = v(279);
        for (int s = 0; s < offsets.size() && s < counts.size(); ++s)
            out += bytes.mid(int(offsets[s]), int(counts[s]));
        return out;
    }
};

QByteArray rawPixels(const BigImage& img, bool colour)
{
    QByteArray out(reinterpret_cast<const char*>(img.data()), int(img.pixelCount() * 3));
    if (!colour)
        for (int i = 0; i < img.pixelCount(); ++i)
            out[i] = char(greyLevel(img.data()[i]));
    return colour ? out : out.left(int(img.pixelCount()));
}

// Grey levels in which no pair of neighbours repeats: every byte after the first makes LZW
// assign a new code, so the codes in use at the end of the strip are known exactly.
BigImagePtr distinctPairs(int n)
{
    auto img = makeBigImage(n, 1);
    int v = 0, step = 1;
    for (int x = 0; x < n; ++x) {
        img->setPixel(x, 0, RgbPixel{uint8_t(v), uint8_t(v), uint8_t(v)});
        if (x % 256 == 255)
            step += 2; // an odd step runs through all 256 values before the next one
        v = (v + step) & 255;
    }
    return img;
}

} // namespace

class TestTiff : public QObject {
    Q_OBJECT
    QTemporaryDir dir_;
    QString path(const QString& name) const { return dir_.filePath(name); }

private slots:
    void layout_data()
    {
        QTest::addColumn<int>("w");
        QTest::addColumn<int>("h");
        QTest::addColumn<QString>("description");
        QTest::addColumn<int>("firstStrip");
        QTest::addColumn<QList<int>>("stripRows");
        QTest::addColumn<QString>("positions"); // tag:offset of each out-of-line value, tag:- inline
        QTest::addColumn<bool>("big");
        const QString single = "258:206 273:- 279:- 282:212 283:220 306:228";
        QTest::newRow("100x100") << 100 << 100 << "" << 248 << QList<int>{100} << single << false;
        QTest::newRow("2000x3000") << 2000 << 3000 << "" << 272 << QList<int>{1024, 1024, 952}
                                   << "258:206 273:212 279:224 282:236 283:244 306:252" << false;
        QTest::newRow("1024 rows") << 5 << 1024 << "" << 248 << QList<int>{1024} << single << false;
        QTest::newRow("1025 rows") << 5 << 1025 << "" << 264 << QList<int>{1024, 1}
                                   << "258:206 273:212 279:220 282:228 283:236 306:244" << false;
        QTest::newRow("description of one character")
            << 100 << 100 << "A" << 260 << QList<int>{100} << "258:218 273:- 279:- 282:224 283:232 305:- 306:240" << false;
        QTest::newRow("description of three characters")
            << 100 << 100 << "Abc" << 260 << QList<int>{100} << "258:218 273:- 279:- 282:224 283:232 305:- 306:240" << false;
        QTest::newRow("odd description padded") << 10 << 10 << "abcd" << 266 << QList<int>{10}
                                                 << "258:218 282:224 283:232 305:240 306:246" << false;
        // BigTIFF: 20-byte entries behind a 16-byte header, values of up to 8 bytes inline.
        QTest::newRow("BigTIFF 100x100") << 100 << 100 << "" << 372 << QList<int>{100}
                                         << "258:- 273:- 279:- 282:- 283:- 306:352" << true;
        QTest::newRow("BigTIFF 2000x3000") << 2000 << 3000 << "" << 420 << QList<int>{1024, 1024, 952}
                                           << "258:- 273:352 279:376 282:- 283:- 306:400" << true;
        QTest::newRow("BigTIFF description of eight bytes")
            << 10 << 10 << "abcdefg" << 392 << QList<int>{10} << "305:- 306:372" << true;
        QTest::newRow("BigTIFF odd description padded")
            << 10 << 10 << "abcdefgh" << 402 << QList<int>{10} << "305:372 306:382" << true;
    }
    void layout()
    {
        QFETCH(int, w);
        QFETCH(int, h);
        QFETCH(QString, description);
        QFETCH(int, firstStrip);
        QFETCH(QList<int>, stripRows);
        QFETCH(QString, positions);
        QFETCH(bool, big);
        auto img = makeRandom(w, h, 7);
        {
            const BigTiffAbove limit(big ? 0 : -1);
            QVERIFY(writeTiff(img, path("layout.tif"), true, description, 0, 300, nullptr, QString()));
        }
        const Tiff t(fileBytes(path("layout.tif")));
        QVERIFY2(t.error.isEmpty(), qPrintable(t.error));
        QCOMPARE(t.big, big);

        QVector<quint16> tags{254, 256, 257, 258, 259, 262, 273, 274, 277, 278, 279, 282, 283, 284, 296, 306};
        if (!description.isEmpty())
            tags.insert(15, 305);
        QCOMPARE(t.order, tags); // count, and ascending order
        for (const QString& p : positions.split(' ')) {
            const Field& f = t.fields.at(quint16(p.section(':', 0, 0).toInt()));
            if (p.section(':', 1) == "-")
                QVERIFY(f.inlineValue);
            else
                QCOMPARE(f.offsetField, quint64(p.section(':', 1).toInt()));
        }
        const quint32 n = quint32(stripRows.size());
        const std::map<quint16, std::pair<quint16, QVector<quint64>>> expected{
            {254, {4, {0}}}, {256, {4, {quint64(w)}}}, {257, {4, {quint64(h)}}}, {258, {3, {8, 8, 8}}},
            {259, {3, {1}}}, {262, {3, {2}}}, {274, {3, {1}}}, {277, {3, {3}}}, {278, {4, {quint64(stripRows[0])}}},
            {282, {5, {300, 1}}}, {283, {5, {300, 1}}}, {284, {3, {1}}}, {296, {3, {2}}}};
        for (const auto& [tag, typeValues] : expected) {
            QCOMPARE(t.fields.at(tag).type, typeValues.first);
            QCOMPARE(t.v(tag), typeValues.second);
        }
        QCOMPARE(t.fields.at(273).type, quint16(big ? 16 : 4)); // LONG8 in BigTIFF
        QCOMPARE(t.fields.at(279).type, quint16(big ? 16 : 4));
        QCOMPARE(t.fields.at(273).count, n);
        QCOMPARE(t.fields.at(306).count, 20u);
        if (!description.isEmpty()) {
            // Text of up to four bytes with its NUL stands in the entry, longer text out of line.
            const Field& sw = t.fields.at(305);
            QCOMPARE(sw.type, quint16(2));
            QCOMPARE(sw.count, quint32(description.toUtf8().size() + 1));
            if (sw.inlineValue) {
                QByteArray inlineText;
                for (quint32 i = 0; i < sw.count; ++i)
                    inlineText.append(char((sw.offsetField >> (8 * i)) & 0xFF));
                QCOMPARE(inlineText, description.toUtf8() + '\0');
            } else {
                QCOMPARE(t.bytes.mid(int(sw.offsetField), int(sw.count)), description.toUtf8() + '\0');
                if (sw.count % 2 == 1)
                    QCOMPARE(t.bytes.at(int(sw.offsetField + sw.count)), '\0'); // the pad byte
            }
            // And libtiff reads the same text back.
            const ToolResult info = runTool("tiffinfo", {path("layout.tif")});
            QVERIFY2(info.out.contains("Software: " + description.toUtf8() + "\n"), info.out.constData());
        }
        quint64 offset = quint64(firstStrip);
        for (quint32 s = 0; s < n; ++s) {
            QCOMPARE(t.v(273)[int(s)], offset);
            QCOMPARE(t.v(279)[int(s)], quint64(stripRows[int(s)] * w * 3));
            offset += t.v(279)[int(s)];
        }
        QCOMPARE(quint64(t.bytes.size()), offset);
        QVERIFY(t.strips() == rawPixels(*img, true));
    }

    void dateTime()
    {
        const QDateTime before = QDateTime::currentDateTime().addSecs(-1);
        QVERIFY(writeTiff(makeF(), path("date.tif"), true, QString(), 0, 1, nullptr, QString()));
        const QDateTime after = QDateTime::currentDateTime().addSecs(1);
        const QByteArray raw = Tiff(fileBytes(path("date.tif"))).fields.at(306).raw;
        QCOMPARE(raw.size(), 20);
        QCOMPARE(raw.at(19), '\0');
        const QString text = QString::fromLatin1(raw.left(19));
        QVERIFY2(QRegularExpression("^\\d{4}:\\d\\d:\\d\\d \\d\\d:\\d\\d:\\d\\d$").match(text).hasMatch(), qPrintable(text));
        const QDateTime stamp = QDateTime::fromString(text, "yyyy:MM:dd HH:mm:ss");
        QVERIFY2(stamp >= before && stamp <= after, qPrintable(text)); // local time, not UTC
    }

    void greyLayout()
    {
        auto img = makeRandom(7, 3, 11);
        QVERIFY(writeTiff(img, path("grey.tif"), false, QString(), 0, 72, nullptr, QString()));
        const Tiff t(fileBytes(path("grey.tif")));
        QCOMPARE(t.order.size(), 16);
        QVERIFY(t.fields.at(258).inlineValue);
        QCOMPARE(t.v(258), QVector<quint64>{8});
        QCOMPARE(t.v(262), QVector<quint64>{1});
        QCOMPARE(t.v(277), QVector<quint64>{1});
        QCOMPARE(t.v(273), QVector<quint64>{242}); // 206 + two rationals + the date
        QCOMPARE(t.v(279), QVector<quint64>{21});
        QVERIFY(t.strips() == rawPixels(*img, false));
    }

    // Six bytes of 7: Clear, 7, 258 ("7 7"), 259 ("7 7 7"), EndOfInformation in 9 bits each,
    // most significant bit first, three zero bits to fill the last byte.
    void lzwCodes()
    {
        auto img = std::make_shared<BigImage>(2, 1, RgbPixel{7, 7, 7});
        QVERIFY(writeTiff(img, path("codes.tif"), true, QString(), 1, 1, nullptr, QString()));
        const Tiff t(fileBytes(path("codes.tif")));
        QCOMPARE(t.v(259), QVector<quint64>{5});
        QCOMPARE(t.strips(), QByteArray("\x80\x01\xe0\x50\x38\x08", 6));
    }

    // Distinct pairs make every byte but the first assign a code, so the code widths are known:
    // the i-th code after Clear is 9 bits up to i = 254, 10 up to 766, 11 up to 1790, then 12.
    // A reader that follows the table one code behind needs EndOfInformation at the width of
    // one further code; at 3837 codes the table is full and a 12-bit Clear starts it afresh.
    void lzwStripEnd_data()
    {
        QTest::addColumn<int>("n");
        QTest::addColumn<int>("eoiBit");
        QTest::addColumn<int>("eoiWidth");
        QTest::addColumn<int>("clearBit");
        QTest::newRow("253") << 253 << 9 + 253 * 9 << 9 << -1;
        QTest::newRow("254") << 254 << 9 + 254 * 9 << 10 << -1;
        QTest::newRow("255") << 255 << 9 + 254 * 9 + 10 << 10 << -1;
        QTest::newRow("766") << 766 << 7415 << 11 << -1;
        QTest::newRow("1790") << 1790 << 18679 << 12 << -1;
        QTest::newRow("3837") << 3837 << 18679 + 2047 * 12 << 12 << -1;
        QTest::newRow("3838") << 3838 << 18679 + 2047 * 12 + 12 + 9 << 9 << 18679 + 2047 * 12;
    }
    void lzwStripEnd()
    {
        QFETCH(int, n);
        QFETCH(int, eoiBit);
        QFETCH(int, eoiWidth);
        QFETCH(int, clearBit);
        QVERIFY(writeTiff(distinctPairs(n), path("end.tif"), false, QString(), 1, 1, nullptr, QString()));
        const QByteArray strip = Tiff(fileBytes(path("end.tif"))).strips();
        auto bitsAt = [&](int pos, int count) {
            quint32 v = 0;
            for (int i = pos; i < pos + count; ++i)
                v = v << 1 | ((quint8(strip[i / 8]) >> (7 - i % 8)) & 1);
            return v;
        };
        QCOMPARE(strip.size(), (eoiBit + eoiWidth + 7) / 8);
        QCOMPARE(bitsAt(0, 9), 256u);
        QCOMPARE(bitsAt(eoiBit, eoiWidth), 257u);
        QCOMPARE(bitsAt(eoiBit + eoiWidth, strip.size() * 8 - eoiBit - eoiWidth), 0u);
        if (clearBit >= 0)
            QCOMPARE(bitsAt(clearBit, 12), 256u);
    }

    // Classic or BigTIFF: the exact size of a raw file against the limit, the largest size
    // of a coded one; both carry the same tags and the same strips.
    void format_data()
    {
        QTest::addColumn<int>("compression");
        QTest::addColumn<int>("slack"); // the limit: the classic file's size plus this; INT_MIN: none
        QTest::addColumn<bool>("big");
        QTest::newRow("raw, no limit") << 0 << INT_MIN << false;
        QTest::newRow("raw file of exactly the limit") << 0 << 0 << false;
        QTest::newRow("raw file one byte over") << 0 << -1 << true;
        QTest::newRow("lzw, no limit") << 1 << INT_MIN << false;
        // This content fits, but coded strips could outgrow it: the worst case decides.
        QTest::newRow("lzw file of exactly the limit") << 1 << 0 << true;
        QTest::newRow("deflate file of exactly the limit") << 2 << 0 << true;
    }
    void format()
    {
        QFETCH(int, compression);
        QFETCH(int, slack);
        QFETCH(bool, big);
        const BigImagePtr img = makeRandom(300, 1100, 9);
        QVERIFY(writeTiff(img, path("classic.tif"), true, "x", compression, 150, nullptr, QString()));
        const Tiff classic(fileBytes(path("classic.tif")));
        {
            const BigTiffAbove limit(slack == INT_MIN ? -1 : QFileInfo(path("classic.tif")).size() + slack);
            QVERIFY(writeTiff(img, path("chosen.tif"), true, "x", compression, 150, nullptr, QString()));
        }
        const Tiff t(fileBytes(path("chosen.tif")));
        QVERIFY2(t.error.isEmpty(), qPrintable(t.error));
        QCOMPARE(t.big, big);
        QCOMPARE(t.order, classic.order);
        for (quint16 tag : t.order) {
            if (tag != 273 && tag != 306) // strip places and the time of writing differ
                QCOMPARE(t.v(tag), classic.v(tag));
        }
        QVERIFY(t.strips() == classic.strips());
    }

    void roundTrip_data()
    {
        QTest::addColumn<int>("compression");
        QTest::addColumn<bool>("colour");
        QTest::addColumn<QString>("kind");
        QTest::addColumn<int>("size");
        QTest::addColumn<bool>("big");
        const char* names[] = {"none", "lzw", "deflate"};
        for (int c = 0; c < 3; ++c) {
            QTest::addRow("%s F", names[c]) << c << true << "F" << 0 << false;
            QTest::addRow("%s random 700x1500", names[c]) << c << true << "random" << 0 << false;
            QTest::addRow("%s flat 64x2100", names[c]) << c << true << "flat" << 0 << false;
            QTest::addRow("%s grey random", names[c]) << c << false << "random" << 0 << false;
            QTest::addRow("%s BigTIFF F", names[c]) << c << true << "F" << 0 << true;
            QTest::addRow("%s BigTIFF random 700x1500", names[c]) << c << true << "random" << 0 << true;
        }
        // LZW strips that end at a code width boundary, and around the table reset.
        for (int n : {254, 766, 1790, 3837, 3838, 3839})
            QTest::addRow("lzw distinct pairs %d", n) << 1 << false << "pairs" << n << false;
    }
    void roundTrip()
    {
        QFETCH(int, compression);
        QFETCH(bool, colour);
        QFETCH(QString, kind);
        QFETCH(int, size);
        QFETCH(bool, big);
        BigImagePtr img = kind == "F"        ? makeF()
                          : kind == "random" ? makeRandom(700, 1500, 3)
                          : kind == "flat"   ? std::make_shared<BigImage>(64, 2100, colOrange)
                                             : distinctPairs(size);
        const QString file = path("round.tif"), copy = path("copy.tif");
        {
            const BigTiffAbove limit(big ? 0 : -1);
            QVERIFY(writeTiff(img, file, colour, "Seamwright", compression, 96, nullptr, QString()));
        }
        QCOMPARE(Tiff(fileBytes(file)).big, big);
        const ToolResult info = runTool("tiffinfo", {"-D", file});
        QVERIFY2(info.started, "tiffinfo missing");
        QCOMPARE(info.exitCode, 0);
        QVERIFY2(info.err.isEmpty(), info.err.constData());
        QVERIFY2(info.out.contains("Resolution: 96, 96 pixels/inch"), info.out.constData());
        QFile::remove(copy);
        const ToolResult cp = runTool("tiffcp", {"-c", "none", file, copy});
        QCOMPARE(cp.exitCode, 0);
        QVERIFY2(cp.err.isEmpty(), cp.err.constData());
        const QByteArray expected = rawPixels(*img, colour);
        const QByteArray decoded = Tiff(fileBytes(copy)).strips();
        QCOMPARE(decoded.size(), expected.size());
        int first = 0;
        while (first < expected.size() && decoded[first] == expected[first])
            ++first;
        QVERIFY2(first == expected.size(), qPrintable(QString("first difference at byte %1").arg(first)));
        if (compression == 2) { // a complete zlib stream, not only what libtiff tolerates
            const QByteArray strip = Tiff(fileBytes(file)).strips();
            QByteArray out(expected.size(), '\0');
            uLongf outLength = uLongf(out.size());
            QCOMPARE(uncompress(reinterpret_cast<Bytef*>(out.data()), &outLength,
                                reinterpret_cast<const Bytef*>(strip.constData()), uLong(strip.size())),
                     Z_OK);
            QVERIFY(out == expected);
        }
    }

    void replacesLongerFile()
    {
        QVERIFY(writeTiff(makeRandom(300, 300, 1), path("again.tif"), true, QString(), 0, 1, nullptr, QString()));
        QVERIFY(writeTiff(makeF(), path("again.tif"), true, QString(), 0, 1, nullptr, QString()));
        QCOMPARE(QFileInfo(path("again.tif")).size(), qint64(248 + 6 * 5 * 3));
    }

    void badInput_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<int>("compression");
        QTest::newRow("null image") << "null" << 0;
        QTest::newRow("width 0") << "0x5" << 0;
        QTest::newRow("height 0") << "5x0" << 1;
        QTest::newRow("compression 3") << "F" << 3;
        QTest::newRow("compression -1") << "F" << -1;
    }
    void badInput()
    {
        QFETCH(QString, kind);
        QFETCH(int, compression);
        BigImagePtr image = kind == "F"     ? makeF()
                            : kind == "0x5" ? std::make_shared<BigImage>(0, 5)
                            : kind == "5x0" ? std::make_shared<BigImage>(5, 0)
                                            : BigImagePtr();
        QFile f(path("keep.tif"));
        QVERIFY(f.open(QIODevice::WriteOnly) && f.write("keep") == 4);
        f.close();
        QVERIFY(!writeTiff(image, path("keep.tif"), true, QString(), compression, 1, nullptr, QString()));
        QCOMPARE(fileBytes(path("keep.tif")), QByteArray("keep"));
    }

    void unopenable()
    {
        const QString name = path("missing/dir/x.tif");
        QVERIFY(!writeTiff(makeF(), name, true, QString(), 0, 1, nullptr, QString()));
        RecordingWatcher watcher;
        QVERIFY(!writeTiff(makeF(), name, true, QString(), 0, 1, &watcher, ":/icon.png"));
        QCOMPARE(watcher.messages(), QStringList{"Could not open filename " + name});
        QCOMPARE(watcher.icons(), QStringList{":/icon.png"});
        QVERIFY(!QFileInfo::exists(name));
    }

    // A file size limit makes the writes fail part way, as a full disk would.
    void writeFails_data()
    {
        QTest::addColumn<int>("compression");
        QTest::addColumn<int>("size");
        QTest::addColumn<int>("limit");
        QTest::newRow("none") << 0 << 200 << 50000;
        QTest::newRow("lzw") << 1 << 200 << 50000;
        QTest::newRow("deflate") << 2 << 200 << 50000;
        QTest::newRow("small file, fails when flushed") << 0 << 10 << 100;
    }
    void writeFails()
    {
        QFETCH(int, compression);
        QFETCH(int, size);
        QFETCH(int, limit);
        rlimit old{};
        QCOMPARE(getrlimit(RLIMIT_FSIZE, &old), 0);
        rlimit small = old;
        small.rlim_cur = rlim_t(limit);
        auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
        QCOMPARE(setrlimit(RLIMIT_FSIZE, &small), 0);
        RecordingWatcher watcher;
        const bool written = writeTiff(makeRandom(size, size, 5), path("full.tif"), true, QString(), compression, 1,
                                       &watcher, QString());
        setrlimit(RLIMIT_FSIZE, &old);
        std::signal(SIGXFSZ, oldHandler);
        QVERIFY(!written);
        QVERIFY(!QFileInfo::exists(path("full.tif")));
        QCOMPARE(watcher.messages(), QStringList{"Could not write " + path("full.tif") + "."});
    }
};

int runTiffTests(int argc, char** argv)
{
    TestTiff test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_tiff.moc"
