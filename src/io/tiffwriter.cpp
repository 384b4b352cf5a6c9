// TIFF writer: classic little-endian TIFF 6.0 with one image directory (sections 2 and 8),
// RGB full colour (section 6) or grey (section 4), 8 bits per sample, in strips; the strips
// are stored raw, LZW coded (section 13) or deflated through zlib (compression 32946).
// Trade-off: the directory and every value it points to are written before the first pixel,
// so raw files go out in one forward pass straight from the image buffer, a strip per write;
// compressed strips learn their sizes only at the end and are patched in place.
#include "tiffwriter.h"

#include "bigimage.h"
#include "safeoutput.h"
#include "statuswatcher.h"

#include <QByteArray>
#include <QDateTime>
#include <QFile>

#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <vector>

namespace ORL_image_data {

// A byte sink over a file that counts what it has written and can read back and patch
// earlier bytes. It refuses to grow past 4 GiB − 1: classic TIFF offsets and byte counts are
// unsigned 32-bit (section 2), and a longer file could only be described with wrapped values.
class Writer {
public:
    static constexpr uint64_t kLimit = 0xFFFFFFFFu;

    explicit Writer(const QString& fileName) : file_(std::make_shared<QFile>(fileName))
    {
        ok_ = file_->open(QIODevice::ReadWrite | QIODevice::Truncate);
    }
    virtual ~Writer() = default;

    // Appends while everything so far went well; a short write clears the ok flag.
    virtual void write(const char* data, uint64_t length)
    {
        if (!ok_ || length == 0)
            return;
        if (length > kLimit - count_) {
            tooLarge_ = true;
            ok_ = false;
            return;
        }
        if (file_->write(data, qint64(length)) != qint64(length)) {
            ok_ = false;
            return;
        }
        count_ += length;
    }

    bool readBack(uint32_t pos, char* out, uint32_t length)
    {
        if (!ok_ || uint64_t(pos) + length > count_)
            return false;
        bool done = file_->seek(pos) && file_->read(out, length) == qint64(length);
        done = file_->seek(qint64(count_)) && done;
        ok_ = done;
        return done;
    }

    void patch(uint32_t pos, const char* data, uint32_t length)
    {
        if (!ok_ || uint64_t(pos) + length > count_) {
            ok_ = false;
            return;
        }
        ok_ = file_->seek(pos) && file_->write(data, length) == qint64(length) && file_->seek(qint64(count_));
    }

    // Flushes and closes; true if every byte reached the file.
    bool close()
    {
        if (file_->isOpen()) {
            ok_ = file_->flush() && ok_;
            file_->close();
            ok_ = file_->error() == QFileDevice::NoError && ok_;
        }
        return ok_;
    }

    bool isOpen() const { return file_->isOpen(); }
    bool ok() const { return ok_; }
    bool tooLarge() const { return tooLarge_; }
    uint64_t count() const { return count_; }

private:
    std::shared_ptr<QFile> file_;
    uint64_t count_ = 0;
    bool ok_ = false;
    bool tooLarge_ = false;
};

} // namespace ORL_image_data

namespace ORL_Tiff {

using ORL_image_data::Writer;

// Field types, section 2.
constexpr uint16_t kAscii = 2;
constexpr uint16_t kShort = 3;
constexpr uint16_t kLong = 4;
constexpr uint16_t kRational = 5;

// Tags, section 8.
constexpr uint16_t kTagStripOffsets = 273;
constexpr uint16_t kTagStripByteCounts = 279;

constexpr uint64_t kRawLimit = 4277974079u;
constexpr uint32_t kMaxRowsPerStrip = 1024;

inline void put16(std::vector<uint8_t>& b, uint32_t v)
{
    b.push_back(uint8_t(v));
    b.push_back(uint8_t(v >> 8));
}

inline void put32(std::vector<uint8_t>& b, uint32_t v)
{
    put16(b, v & 0xFFFF);
    put16(b, v >> 16);
}

inline uint32_t get32(const uint8_t* p) { return p[0] | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24; }

struct orltiff_entry {
    uint16_t tag = 0;
    uint16_t type = 0;
    uint32_t count = 0;
    uint32_t value = 0;         // the inline value, or the byte size of pdata
    std::vector<uint8_t> pdata; // out-of-line bytes, little-endian, even length; empty when inline
};

// The image file directory (section 2): entries sorted by tag, followed by the values that
// do not stand in an entry: SHORT arrays beyond two, LONG arrays beyond one, RATIONALs and
// all text. Every value starts on a word boundary, so each is padded to an even length.
class orltiff_dir {
public:
    void addShorts(uint16_t tag, const std::vector<uint16_t>& values)
    {
        orltiff_entry e{tag, kShort, uint32_t(values.size()), 0, {}};
        if (values.size() <= 2) {
            // Inline values are left-justified in the value bytes: the first SHORT comes first.
            e.value = values[0] | (values.size() == 2 ? uint32_t(values[1]) << 16 : 0);
        } else {
            for (uint16_t v : values)
                put16(e.pdata, v);
        }
        add(std::move(e));
    }

    void addLongs(uint16_t tag, const std::vector<uint32_t>& values)
    {
        orltiff_entry e{tag, kLong, uint32_t(values.size()), 0, {}};
        if (values.size() == 1) {
            e.value = values[0];
        } else {
            for (uint32_t v : values)
                put32(e.pdata, v);
        }
        add(std::move(e));
    }

    void addRational(uint16_t tag, uint32_t numerator, uint32_t denominator)
    {
        orltiff_entry e{tag, kRational, 1, 0, {}};
        put32(e.pdata, numerator);
        put32(e.pdata, denominator);
        add(std::move(e));
    }

    // ASCII: the bytes and a terminating NUL, counted together (section 2). Like every other
    // value, text of up to four bytes stands in the entry itself, left-justified; readers
    // take such a value from there and would read an offset as text.
    void addAscii(uint16_t tag, const QByteArray& text)
    {
        orltiff_entry e{tag, kAscii, uint32_t(text.size() + 1), 0, {}};
        if (text.size() + 1 <= 4) {
            for (int i = 0; i < text.size(); ++i)
                e.value |= uint32_t(uint8_t(text[i])) << (8 * i);
        } else {
            e.pdata.assign(text.begin(), text.end());
            e.pdata.push_back(0);
        }
        add(std::move(e));
    }

    void sortByTag()
    {
        std::stable_sort(entries_.begin(), entries_.end(),
                         [](const orltiff_entry& a, const orltiff_entry& b) { return a.tag < b.tag; });
    }

    uint32_t directoryBytes() const { return 2 + 12 * uint32_t(entries_.size()) + 4; }
    uint32_t outOfLineBytes() const { return outOfLine_; }

    // The directory placed at dirOffset, with the out-of-line values right behind it in entry
    // order, and a next-directory offset of 0: this file holds one image.
    std::vector<uint8_t> serialise(uint32_t dirOffset) const
    {
        std::vector<uint8_t> b;
        b.reserve(directoryBytes() + outOfLine_);
        put16(b, uint32_t(entries_.size()));
        uint32_t valuePos = dirOffset + directoryBytes();
        for (const orltiff_entry& e : entries_) {
            put16(b, e.tag);
            put16(b, e.type);
            put32(b, e.count);
            put32(b, e.pdata.empty() ? e.value : valuePos);
            valuePos += uint32_t(e.pdata.size());
        }
        put32(b, 0);
        for (const orltiff_entry& e : entries_)
            b.insert(b.end(), e.pdata.begin(), e.pdata.end());
        return b;
    }

private:
    // Adding a tag again replaces its entry in place.
    void add(orltiff_entry e)
    {
        if (e.pdata.size() % 2 != 0)
            e.pdata.push_back(0);
        if (!e.pdata.empty())
            e.value = uint32_t(e.pdata.size());
        for (orltiff_entry& old : entries_) {
            if (old.tag == e.tag) {
                outOfLine_ += uint32_t(e.pdata.size()) - uint32_t(old.pdata.size());
                old = std::move(e);
                return;
            }
        }
        outOfLine_ += uint32_t(e.pdata.size());
        entries_.push_back(std::move(e));
    }

    std::vector<orltiff_entry> entries_;
    uint32_t outOfLine_ = 0;
};

// LZW as in section 13: a fresh table and a Clear code per strip, codes of 9 to 12 bits
// packed most significant bit first. The string table is a hash of (prefix code, next byte)
// with open addressing; 8209 is a prime about twice the 3837 strings a table can hold, so
// probe chains stay short and double hashing reaches every slot.
struct tiff_data_lzw {
    static constexpr int kHashSize = 8209;
    static constexpr uint32_t kClear = 256;
    static constexpr uint32_t kEndOfInformation = 257;
    static constexpr uint32_t kFirstCode = 258;
    static constexpr uint32_t kLastCode = 4094;

    std::vector<int32_t> keys = std::vector<int32_t>(kHashSize, -1);
    std::vector<uint16_t> codes = std::vector<uint16_t>(kHashSize, 0);
    int32_t prefix = -1;
    uint32_t nextCode = kFirstCode;
    int width = 9;
    uint32_t bits = 0;
    int bitCount = 0;
    std::vector<uint8_t> out; // coded bytes not yet written

    static bool widthGrowsAfter(uint32_t code) { return code == 511 || code == 1023 || code == 2047; }

    void resetTable()
    {
        std::fill(keys.begin(), keys.end(), -1);
        nextCode = kFirstCode;
        width = 9;
    }

    void put(uint32_t code)
    {
        bits = (bits << width) | code;
        bitCount += width;
        while (bitCount >= 8) {
            bitCount -= 8;
            out.push_back(uint8_t(bits >> bitCount));
        }
        bits &= (1u << bitCount) - 1;
    }

    void startStrip()
    {
        resetTable();
        prefix = -1;
        bits = 0;
        bitCount = 0;
        put(kClear);
    }

    void encode(const uint8_t* p, uint64_t n)
    {
        uint64_t i = 0;
        if (prefix < 0 && n > 0)
            prefix = p[i++];
        for (; i < n; ++i) {
            const uint32_t c = p[i];
            const int32_t key = int32_t(uint32_t(prefix) << 8 | c);
            int h = int(c << 5 ^ uint32_t(prefix)); // below 8192, inside the table
            const int step = h == 0 ? 1 : kHashSize - h;
            while (keys[h] >= 0 && keys[h] != key) {
                h -= step;
                if (h < 0)
                    h += kHashSize;
            }
            if (keys[h] == key) {
                prefix = codes[h];
                continue;
            }
            put(uint32_t(prefix));
            keys[h] = key;
            codes[h] = uint16_t(nextCode);
            const uint32_t assigned = nextCode++;
            // The table is full at 4094: start afresh. The reader assigns one code behind
            // the writer and so switches width one code earlier, which is what section 13's
            // "switch after 511, 1023, 2047" amounts to on its side.
            if (assigned == kLastCode) {
                put(kClear);
                resetTable();
            } else if (widthGrowsAfter(assigned)) {
                ++width;
            }
            prefix = int32_t(c);
        }
    }

    void finishStrip()
    {
        if (prefix >= 0) {
            put(uint32_t(prefix));
            // A reader adds a table entry for this last code as for any other, so it reads
            // EndOfInformation as if nextCode had been assigned here: wider after 511 etc.
            if (widthGrowsAfter(nextCode))
                ++width;
            prefix = -1;
        }
        put(kEndOfInformation);
        if (bitCount > 0)
            out.push_back(uint8_t(bits << (8 - bitCount)));
        bits = 0;
        bitCount = 0;
    }
};

// Deflate through zlib at level 1 with its default window: one stream for the whole image
// (one strip). Each row ends with a sync flush so that its bytes can be written at once;
// the stream is finished after the last row, so that it is a complete zlib stream.
struct tiff_data_deflate {
    static constexpr size_t kOutSize = 4194304;

    z_stream z_str{};
    bool initialised = false;
    std::vector<char> out;

    tiff_data_deflate() = default;
    tiff_data_deflate(const tiff_data_deflate&) = delete;
    tiff_data_deflate& operator=(const tiff_data_deflate&) = delete;
    ~tiff_data_deflate()
    {
        if (initialised)
            deflateEnd(&z_str);
    }

    bool begin()
    {
        out.resize(kOutSize);
        initialised = deflateInit(&z_str, 1) == Z_OK;
        return initialised;
    }

    // Feeds length bytes and writes what comes out; flush is Z_SYNC_FLUSH or Z_FINISH.
    bool compress(const uint8_t* data, uint64_t length, int flush, Writer& writer)
    {
        do {
            // avail_in is 32-bit; rows beyond 1 GiB go in pieces.
            const uInt piece = uInt(std::min<uint64_t>(length, uint64_t(1) << 30));
            z_str.next_in = const_cast<Bytef*>(data);
            z_str.avail_in = piece;
            data += piece;
            length -= piece;
            const int mode = length == 0 ? flush : Z_NO_FLUSH;
            for (;;) {
                z_str.next_out = reinterpret_cast<Bytef*>(out.data());
                z_str.avail_out = uInt(out.size());
                const int result = deflate(&z_str, mode);
                if (result == Z_STREAM_ERROR)
                    return false;
                writer.write(out.data(), out.size() - z_str.avail_out);
                if (!writer.ok())
                    return false;
                if (mode == Z_FINISH ? result == Z_STREAM_END : z_str.avail_out != 0)
                    break;
            }
            if (z_str.avail_in != 0)
                return false;
        } while (length > 0);
        return true;
    }
};

// Rows, strips and sizes of one file.
struct Layout {
    uint64_t rowBytes = 0;
    uint32_t width = 0;
    uint32_t height = 0; // rows written
    uint32_t rowsPerStrip = 0;
    uint32_t strips = 0;
};

Layout planStrips(const BigImage& image, bool colour, int compression)
{
    Layout l;
    l.width = uint32_t(image.width());
    l.rowBytes = uint64_t(l.width) * (colour ? 3 : 1);
    l.height = uint32_t(image.height());
    // Raw strips: keep every offset 32-bit by leaving out the rows that do not fit.
    if (compression == 0 && l.rowBytes * l.height > kRawLimit)
        l.height = uint32_t(kRawLimit / l.rowBytes);
    if (l.height == 0)
        return l;
    l.rowsPerStrip = compression == 2 ? l.height : std::min(l.height, kMaxRowsPerStrip);
    l.strips = (l.height + l.rowsPerStrip - 1) / l.rowsPerStrip;
    return l;
}

QByteArray dateTimeText()
{
    const QDateTime now = QDateTime::currentDateTime();
    const QDate d = now.date();
    const QTime t = now.time();
    return QString::asprintf("%04i:%02i:%02i %02i:%02i:%02i", d.year(), d.month(), d.day(), t.hour(), t.minute(),
                             t.second())
        .toLatin1();
}

// Everything that one call writes: the layout, the directory, the coders and the strip
// bookkeeping. The directory is complete before the file is opened.
class TiffFile {
public:
    TiffFile(const BigImage& image, bool colour, int compression, const Layout& layout)
        : image_(image), colour_(colour), compression_(compression), layout_(layout),
          stripOffsets_(layout.strips, 0), stripByteCounts_(layout.strips, 0)
    {
    }

    // Builds the directory; false if the file would need offsets beyond 32 bits.
    bool buildDirectory(const QString& description, int resolution)
    {
        const Layout& l = layout_;
        static const uint16_t compressionCodes[] = {1, 5, 32946};
        const uint32_t res = uint32_t(std::max(resolution, 1));
        // Raw strips have known sizes; compressed ones are patched after writing.
        if (compression_ == 0) {
            for (uint32_t s = 0; s < l.strips; ++s) {
                const uint32_t rows = std::min(l.rowsPerStrip, l.height - s * l.rowsPerStrip);
                stripByteCounts_[s] = uint32_t(l.rowBytes * rows);
            }
        }
        directory.addLongs(254, {0});
        directory.addLongs(256, {l.width});
        directory.addLongs(257, {l.height});
        directory.addShorts(258, colour_ ? std::vector<uint16_t>{8, 8, 8} : std::vector<uint16_t>{8});
        directory.addShorts(259, {compressionCodes[compression_]});
        directory.addShorts(262, {uint16_t(colour_ ? 2 : 1)});
        directory.addLongs(kTagStripOffsets, stripOffsets_);
        directory.addShorts(274, {1});
        directory.addShorts(277, {uint16_t(colour_ ? 3 : 1)});
        directory.addLongs(278, {l.rowsPerStrip});
        directory.addLongs(kTagStripByteCounts, stripByteCounts_);
        directory.addRational(282, res, 1);
        directory.addRational(283, res, 1);
        directory.addShorts(284, {1});
        directory.addShorts(296, {2});
        if (!description.isEmpty())
            directory.addAscii(305, description.toUtf8());
        directory.addAscii(306, dateTimeText());
        directory.sortByTag();

        // Strips follow the out-of-line values back to back; the StripOffsets array is
        // already part of those values, with its final size.
        const uint64_t first = 8 + uint64_t(directory.directoryBytes()) + directory.outOfLineBytes();
        if (compression_ == 0 && first + l.rowBytes * l.height > Writer::kLimit)
            return false;
        for (uint32_t s = 0; s < l.strips; ++s) {
            if (compression_ == 0 || s == 0)
                stripOffsets_[s] = uint32_t(first + uint64_t(s) * l.rowsPerStrip * l.rowBytes);
        }
        directory.addLongs(kTagStripOffsets, stripOffsets_);
        firstStrip_ = uint32_t(first);
        return true;
    }

    bool write(Writer& w)
    {
        // Header (section 2): byte order "II", 42, the directory right behind at offset 8.
        std::vector<uint8_t> head{'I', 'I'};
        put16(head, 42);
        put32(head, 8);
        const std::vector<uint8_t> dir = directory.serialise(8);
        head.insert(head.end(), dir.begin(), dir.end());
        w.write(reinterpret_cast<const char*>(head.data()), head.size());
        if (!w.ok() || w.count() != firstStrip_)
            return false;
        if (compression_ == 2 && !deflate.begin())
            return false;

        for (stripCounter_ = 0; stripCounter_ < layout_.strips; ++stripCounter_) {
            stripStart_ = w.count();
            if (compression_ == 0 && stripStart_ != stripOffsets_[stripCounter_])
                return false; // the directory promised another place
            const uint32_t y0 = stripCounter_ * layout_.rowsPerStrip;
            const uint32_t y1 = std::min(layout_.height, y0 + layout_.rowsPerStrip);
            if (!(compression_ == 0 ? writeRawStrip(w, y0, y1) : writeCodedStrip(w, y0, y1)))
                return false;
            stripOffsets_[stripCounter_] = uint32_t(stripStart_);
            stripByteCounts_[stripCounter_] = uint32_t(w.count() - stripStart_);
        }
        if (compression_ != 0)
            return patchArray(w, kTagStripOffsets, stripOffsets_) && patchArray(w, kTagStripByteCounts, stripByteCounts_);
        return w.ok();
    }

    orltiff_dir directory;
    tiff_data_lzw lzw;
    tiff_data_deflate deflate;

private:
    const uint8_t* colourRow(uint32_t y) const { return reinterpret_cast<const uint8_t*>(image_.row(int32_t(y))); }

    const uint8_t* greyRow(uint32_t y, uint8_t* out) const
    {
        const RgbPixel* p = image_.row(int32_t(y));
        for (uint32_t x = 0; x < layout_.width; ++x)
            out[x] = greyLevel(p[x]);
        return out;
    }

    // Rows are contiguous in the image, so a colour strip is a single write from its buffer.
    bool writeRawStrip(Writer& w, uint32_t y0, uint32_t y1)
    {
        const uint64_t bytes = layout_.rowBytes * (y1 - y0);
        if (colour_) {
            w.write(reinterpret_cast<const char*>(colourRow(y0)), bytes);
        } else {
            std::vector<uint8_t> grey(bytes);
            for (uint32_t y = y0; y < y1; ++y)
                greyRow(y, grey.data() + uint64_t(y - y0) * layout_.rowBytes);
            w.write(reinterpret_cast<const char*>(grey.data()), bytes);
        }
        return w.ok();
    }

    bool writeCodedStrip(Writer& w, uint32_t y0, uint32_t y1)
    {
        std::vector<uint8_t> grey(colour_ ? 0 : layout_.rowBytes);
        if (compression_ == 1)
            lzw.startStrip();
        for (rowCounter_ = y0; rowCounter_ < y1; ++rowCounter_) {
            const uint8_t* row = colour_ ? colourRow(rowCounter_) : greyRow(rowCounter_, grey.data());
            if (compression_ == 1) {
                lzw.encode(row, layout_.rowBytes);
                flushLzw(w);
            } else if (!deflate.compress(row, layout_.rowBytes, Z_SYNC_FLUSH, w)) {
                return false;
            }
            if (!w.ok())
                return false;
        }
        if (compression_ == 1) {
            lzw.finishStrip();
            flushLzw(w);
        } else if (!deflate.compress(nullptr, 0, Z_FINISH, w)) {
            return false;
        }
        return w.ok();
    }

    void flushLzw(Writer& w)
    {
        w.write(reinterpret_cast<const char*>(lzw.out.data()), lzw.out.size());
        lzw.out.clear();
    }

    // Rewrites a LONG array of the directory already in the file: the entry is found by
    // reading the directory back, the values sit inline or at the entry's offset.
    bool patchArray(Writer& w, uint16_t tag, const std::vector<uint32_t>& values)
    {
        uint8_t countBytes[2];
        if (!w.readBack(8, reinterpret_cast<char*>(countBytes), 2))
            return false;
        const uint32_t entries = countBytes[0] | uint32_t(countBytes[1]) << 8;
        for (uint32_t i = 0; i < entries; ++i) {
            uint8_t e[12];
            const uint32_t entryPos = 10 + 12 * i;
            if (!w.readBack(entryPos, reinterpret_cast<char*>(e), 12))
                return false;
            if ((e[0] | e[1] << 8) != tag)
                continue;
            const uint32_t count = get32(e + 4);
            if ((e[2] | e[3] << 8) != kLong || count != values.size())
                return false;
            std::vector<uint8_t> bytes;
            for (uint32_t v : values)
                put32(bytes, v);
            w.patch(count == 1 ? entryPos + 8 : get32(e + 8), reinterpret_cast<const char*>(bytes.data()),
                    uint32_t(bytes.size()));
            return w.ok();
        }
        return false;
    }

    const BigImage& image_;
    bool colour_;
    int compression_;
    Layout layout_;
    std::vector<uint32_t> stripOffsets_;
    std::vector<uint32_t> stripByteCounts_;
    uint32_t firstStrip_ = 0;
    uint32_t stripCounter_ = 0;
    uint32_t rowCounter_ = 0;
    uint64_t stripStart_ = 0;
};

} // namespace ORL_Tiff

bool writeTiff(std::shared_ptr<BigImage> image, QString fileName, bool colour, QString description,
               int compression, int resolution, StatusWatcher* watcher, QString icon)
{
    if (!image || image->width() <= 0 || image->height() <= 0 || !image->data() || compression < 0 ||
        compression > 2)
        return false;
    const QString tooLargeText = "Could not write " + fileName + ": a TIFF file cannot exceed 4 GB.";
    auto post = [&](const QString& text) {
        if (watcher)
            watcher->postMessage(text, icon);
    };

    const ORL_Tiff::Layout layout = ORL_Tiff::planStrips(*image, colour, compression);
    if (layout.height == 0) {
        post(tooLargeText);
        return false;
    }
    ORL_Tiff::TiffFile tiff(*image, colour, compression, layout);
    if (!tiff.buildDirectory(description, resolution)) {
        post(tooLargeText);
        return false;
    }

    SafeOutput target(fileName);
    auto writer = std::make_shared<ORL_image_data::Writer>(target.ok() ? target.path() : QString());
    if (!target.ok() || !writer->isOpen()) {
        post("Could not open filename " + fileName);
        return false;
    }
    bool written = tiff.write(*writer);
    written = writer->close() && written && target.commit();
    if (!written)
        post(writer->tooLarge() ? tooLargeText : "Could not write " + fileName + ".");
    return written;
}
