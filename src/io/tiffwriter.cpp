// TIFF writer: classic little-endian TIFF 6.0 with one image directory (sections 2 and 8),
// RGB full colour (section 6) or grey (section 4), 8 bits per sample, in strips; the strips
// are stored raw, LZW coded (section 13) or deflated through zlib (compression 32946). Files
// that could pass 4 GiB are written as BigTIFF, the same directory with 64-bit offsets.
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
// earlier bytes. It refuses to grow past the limit that it is given: a classic TIFF file
// must stay below 4 GiB, since a longer one could only be described with wrapped offsets.
class Writer {
public:
    Writer(const QString& fileName, uint64_t limit) : file_(std::make_shared<QFile>(fileName)), limit_(limit)
    {
        ok_ = file_->open(QIODevice::ReadWrite | QIODevice::Truncate);
    }
    virtual ~Writer() = default;

    // Appends while everything so far went well; a short write clears the ok flag.
    virtual void write(const char* data, uint64_t length)
    {
        if (!ok_ || length == 0)
            return;
        if (length > limit_ - count_ || file_->write(data, qint64(length)) != qint64(length)) {
            ok_ = false;
            return;
        }
        count_ += length;
    }

    bool readBack(uint64_t pos, char* out, uint64_t length)
    {
        if (!ok_ || pos + length > count_)
            return false;
        bool done = file_->seek(qint64(pos)) && file_->read(out, qint64(length)) == qint64(length);
        done = file_->seek(qint64(count_)) && done;
        ok_ = done;
        return done;
    }

    void patch(uint64_t pos, const char* data, uint64_t length)
    {
        if (!ok_ || pos + length > count_) {
            ok_ = false;
            return;
        }
        ok_ = file_->seek(qint64(pos)) && file_->write(data, qint64(length)) == qint64(length)
              && file_->seek(qint64(count_));
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
    uint64_t count() const { return count_; }

private:
    std::shared_ptr<QFile> file_;
    uint64_t limit_;
    uint64_t count_ = 0;
    bool ok_ = false;
};

} // namespace ORL_image_data

namespace ORL_Tiff {

using ORL_image_data::Writer;

// Field types, section 2, and BigTIFF's unsigned 64-bit integer.
constexpr uint16_t kAscii = 2;
constexpr uint16_t kShort = 3;
constexpr uint16_t kLong = 4;
constexpr uint16_t kRational = 5;
constexpr uint16_t kLong8 = 16;

// Tags, section 8.
constexpr uint16_t kTagStripOffsets = 273;
constexpr uint16_t kTagStripByteCounts = 279;

constexpr uint32_t kMaxRowsPerStrip = 1024;

// The largest classic file: every offset and byte count in it fits 32 bits.
constexpr uint64_t kClassicLimit = 0xFFFFFFFFu;

inline void putLE(std::vector<uint8_t>& b, uint64_t v, unsigned bytes)
{
    for (unsigned i = 0; i < bytes; ++i)
        b.push_back(uint8_t(v >> (8 * i)));
}

inline void put16(std::vector<uint8_t>& b, uint32_t v) { putLE(b, v, 2); }
inline void put32(std::vector<uint8_t>& b, uint32_t v) { putLE(b, v, 4); }

inline uint64_t getLE(const uint8_t* p, unsigned bytes)
{
    uint64_t v = 0;
    for (unsigned i = bytes; i-- > 0;)
        v = v << 8 | p[i];
    return v;
}

// Classic TIFF (section 2) and BigTIFF differ only in the widths of the fields that count or
// point: BigTIFF has a 16-byte header (43, offset size 8, a 64-bit directory offset), a
// 64-bit entry count, entries of 20 bytes with 64-bit counts, and values of up to 8 bytes
// inside the entry. Everything else, tags and types included, is the same.
struct Format {
    bool big = false;

    unsigned headerBytes() const { return big ? 16 : 8; }
    unsigned countBytes() const { return big ? 8 : 2; }
    unsigned offsetBytes() const { return big ? 8 : 4; } // also the room for an inline value
    unsigned entryBytes() const { return 4 + 2 * offsetBytes(); }
    uint16_t offsetType() const { return big ? kLong8 : kLong; }
    uint64_t fileLimit() const { return big ? UINT64_MAX : kClassicLimit; }
};

struct orltiff_entry {
    uint16_t tag = 0;
    uint16_t type = 0;
    uint64_t count = 0;
    std::vector<uint8_t> bytes; // the value, little-endian, not padded
};

// The image file directory (section 2): entries sorted by tag, followed by the values that
// do not fit in an entry (4 bytes in classic files, 8 in BigTIFF). Every value starts on a
// word boundary, so each is padded to an even length.
class orltiff_dir {
public:
    explicit orltiff_dir(Format format) : format_(format) {}

    void addShorts(uint16_t tag, const std::vector<uint16_t>& values)
    {
        orltiff_entry e{tag, kShort, values.size(), {}};
        for (uint16_t v : values)
            put16(e.bytes, v);
        add(std::move(e));
    }

    void addLongs(uint16_t tag, const std::vector<uint32_t>& values)
    {
        orltiff_entry e{tag, kLong, values.size(), {}};
        for (uint32_t v : values)
            put32(e.bytes, v);
        add(std::move(e));
    }

    // File positions and sizes: LONG in classic files, LONG8 in BigTIFF.
    void addOffsets(uint16_t tag, const std::vector<uint64_t>& values)
    {
        orltiff_entry e{tag, format_.offsetType(), values.size(), {}};
        for (uint64_t v : values)
            putLE(e.bytes, v, format_.offsetBytes());
        add(std::move(e));
    }

    void addRational(uint16_t tag, uint32_t numerator, uint32_t denominator)
    {
        orltiff_entry e{tag, kRational, 1, {}};
        put32(e.bytes, numerator);
        put32(e.bytes, denominator);
        add(std::move(e));
    }

    // ASCII: the bytes and a terminating NUL, counted together (section 2). Like every other
    // value, short text stands in the entry itself, left-justified; readers take such a
    // value from there and would read an offset as text.
    void addAscii(uint16_t tag, const QByteArray& text)
    {
        orltiff_entry e{tag, kAscii, uint64_t(text.size()) + 1, {}};
        e.bytes.assign(text.begin(), text.end());
        e.bytes.push_back(0);
        add(std::move(e));
    }

    void sortByTag()
    {
        std::stable_sort(entries_.begin(), entries_.end(),
                         [](const orltiff_entry& a, const orltiff_entry& b) { return a.tag < b.tag; });
    }

    uint64_t directoryBytes() const
    {
        return format_.countBytes() + uint64_t(format_.entryBytes()) * entries_.size() + format_.offsetBytes();
    }

    uint64_t outOfLineBytes() const
    {
        uint64_t total = 0;
        for (const orltiff_entry& e : entries_)
            total += outOfLineSize(e);
        return total;
    }

    // The directory placed at dirOffset, with the out-of-line values right behind it in entry
    // order, and a next-directory offset of 0: this file holds one image.
    std::vector<uint8_t> serialise(uint64_t dirOffset) const
    {
        const unsigned field = format_.offsetBytes();
        std::vector<uint8_t> b;
        b.reserve(directoryBytes() + outOfLineBytes());
        putLE(b, entries_.size(), format_.countBytes());
        uint64_t valuePos = dirOffset + directoryBytes();
        for (const orltiff_entry& e : entries_) {
            put16(b, e.tag);
            put16(b, e.type);
            putLE(b, e.count, field);
            if (outOfLineSize(e) == 0) {
                b.insert(b.end(), e.bytes.begin(), e.bytes.end());
                b.resize(b.size() + field - e.bytes.size(), 0);
            } else {
                putLE(b, valuePos, field);
                valuePos += outOfLineSize(e);
            }
        }
        putLE(b, 0, field);
        for (const orltiff_entry& e : entries_) {
            if (outOfLineSize(e) != 0) {
                b.insert(b.end(), e.bytes.begin(), e.bytes.end());
                b.resize(b.size() + outOfLineSize(e) - e.bytes.size(), 0);
            }
        }
        return b;
    }

private:
    uint64_t outOfLineSize(const orltiff_entry& e) const
    {
        const uint64_t n = e.bytes.size();
        return n <= format_.offsetBytes() ? 0 : n + n % 2;
    }

    // Adding a tag again replaces its entry in place.
    void add(orltiff_entry e)
    {
        for (orltiff_entry& old : entries_) {
            if (old.tag == e.tag) {
                old = std::move(e);
                return;
            }
        }
        entries_.push_back(std::move(e));
    }

    Format format_;
    std::vector<orltiff_entry> entries_;
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
    uint32_t height = 0;
    uint32_t rowsPerStrip = 0;
    uint32_t strips = 0;
};

Layout planStrips(const BigImage& image, bool colour, int compression)
{
    Layout l;
    l.width = uint32_t(image.width());
    l.rowBytes = uint64_t(l.width) * (colour ? 3 : 1);
    l.height = uint32_t(image.height());
    l.rowsPerStrip = compression == 2 ? l.height : std::min(l.height, kMaxRowsPerStrip);
    l.strips = (l.height + l.rowsPerStrip - 1) / l.rowsPerStrip;
    return l;
}

// The most bytes the strips can take: raw strips exactly, coded ones at their worst, so that
// a classic file is chosen only when no content can push it past its 32-bit offsets. LZW
// spends at most 12 bits on a byte (each code stands for one byte at least), plus Clear
// codes and a few bits at each strip's end; zlib's deflate never does worse than fixed codes
// (at most 9 bits a byte) or stored blocks, plus a sync flush per row. Twice the raw size and
// 64 bytes per row and strip leave room for all of it.
uint64_t largestStripBytes(const Layout& l, int compression)
{
    const uint64_t raw = l.rowBytes * l.height;
    return compression == 0 ? raw : 2 * raw + 64 * (uint64_t(l.height) + l.strips) + 1024;
}

// Classic TIFF while the whole file fits 4 GiB − 1 bytes, BigTIFF above. The environment
// variable SEAMWRIGHT_BIGTIFF_ABOVE (bytes) lowers that size, so that small images can be
// written as BigTIFF, to check those files.
uint64_t classicFileLimit()
{
    bool ok = false;
    const qulonglong above = qEnvironmentVariable("SEAMWRIGHT_BIGTIFF_ABOVE").toULongLong(&ok);
    return ok ? std::min<uint64_t>(above, kClassicLimit) : kClassicLimit;
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
    TiffFile(const BigImage& image, bool colour, int compression, const Layout& layout, Format format)
        : directory(format), image_(image), colour_(colour), compression_(compression), layout_(layout),
          format_(format), stripOffsets_(layout.strips, 0), stripByteCounts_(layout.strips, 0)
    {
    }

    void buildDirectory(const QString& description, int resolution, const QByteArray& dateTime)
    {
        const Layout& l = layout_;
        static const uint16_t compressionCodes[] = {1, 5, 32946};
        const uint32_t res = uint32_t(std::max(resolution, 1));
        // Raw strips have known sizes; compressed ones are patched after writing.
        if (compression_ == 0) {
            for (uint32_t s = 0; s < l.strips; ++s) {
                const uint32_t rows = std::min(l.rowsPerStrip, l.height - s * l.rowsPerStrip);
                stripByteCounts_[s] = l.rowBytes * rows;
            }
        }
        directory.addLongs(254, {0});
        directory.addLongs(256, {l.width});
        directory.addLongs(257, {l.height});
        directory.addShorts(258, colour_ ? std::vector<uint16_t>{8, 8, 8} : std::vector<uint16_t>{8});
        directory.addShorts(259, {compressionCodes[compression_]});
        directory.addShorts(262, {uint16_t(colour_ ? 2 : 1)});
        directory.addOffsets(kTagStripOffsets, stripOffsets_);
        directory.addShorts(274, {1});
        directory.addShorts(277, {uint16_t(colour_ ? 3 : 1)});
        directory.addLongs(278, {l.rowsPerStrip});
        directory.addOffsets(kTagStripByteCounts, stripByteCounts_);
        directory.addRational(282, res, 1);
        directory.addRational(283, res, 1);
        directory.addShorts(284, {1});
        directory.addShorts(296, {2});
        if (!description.isEmpty())
            directory.addAscii(305, description.toUtf8());
        directory.addAscii(306, dateTime);
        directory.sortByTag();

        // Strips follow the out-of-line values back to back; the StripOffsets array is
        // already part of those values, with its final size.
        firstStrip_ = format_.headerBytes() + directory.directoryBytes() + directory.outOfLineBytes();
        for (uint32_t s = 0; s < l.strips; ++s) {
            if (compression_ == 0 || s == 0)
                stripOffsets_[s] = firstStrip_ + uint64_t(s) * l.rowsPerStrip * l.rowBytes;
        }
        directory.addOffsets(kTagStripOffsets, stripOffsets_);
    }

    // The size of the file at its largest (the exact size for raw strips).
    uint64_t largestFileBytes() const { return firstStrip_ + largestStripBytes(layout_, compression_); }
    const Format& format() const { return format_; }

    bool write(Writer& w)
    {
        // Header (section 2): byte order "II", 42, the directory right behind at offset 8;
        // BigTIFF: 43, the offset size 8, a reserved 0, the directory at offset 16.
        std::vector<uint8_t> head{'I', 'I'};
        if (format_.big) {
            put16(head, 43);
            put16(head, 8);
            put16(head, 0);
            putLE(head, 16, 8);
        } else {
            put16(head, 42);
            put32(head, 8);
        }
        const std::vector<uint8_t> dir = directory.serialise(format_.headerBytes());
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
            stripOffsets_[stripCounter_] = stripStart_;
            stripByteCounts_[stripCounter_] = w.count() - stripStart_;
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

    // Rewrites an offsets array of the directory already in the file: the entry is found by
    // reading the directory back, the values sit inline or at the entry's offset.
    bool patchArray(Writer& w, uint16_t tag, const std::vector<uint64_t>& values)
    {
        const Format& f = format_;
        const uint64_t dirPos = f.headerBytes();
        uint8_t buffer[20];
        if (!w.readBack(dirPos, reinterpret_cast<char*>(buffer), f.countBytes()))
            return false;
        const uint64_t entries = getLE(buffer, f.countBytes());
        for (uint64_t i = 0; i < entries; ++i) {
            const uint64_t entryPos = dirPos + f.countBytes() + f.entryBytes() * i;
            if (!w.readBack(entryPos, reinterpret_cast<char*>(buffer), f.entryBytes()))
                return false;
            if (getLE(buffer, 2) != tag)
                continue;
            const uint64_t count = getLE(buffer + 4, f.offsetBytes());
            if (getLE(buffer + 2, 2) != f.offsetType() || count != values.size())
                return false;
            std::vector<uint8_t> bytes;
            for (uint64_t v : values)
                putLE(bytes, v, f.offsetBytes());
            const uint64_t valueField = entryPos + 4 + f.offsetBytes();
            w.patch(count == 1 ? valueField : getLE(buffer + 4 + f.offsetBytes(), f.offsetBytes()),
                    reinterpret_cast<const char*>(bytes.data()), bytes.size());
            return w.ok();
        }
        return false;
    }

    const BigImage& image_;
    bool colour_;
    int compression_;
    Layout layout_;
    Format format_;
    std::vector<uint64_t> stripOffsets_;
    std::vector<uint64_t> stripByteCounts_;
    uint64_t firstStrip_ = 0;
    uint32_t stripCounter_ = 0;
    uint32_t rowCounter_ = 0;
    uint64_t stripStart_ = 0;
};

} // namespace ORL_Tiff

bool writeTiff(std::shared_ptr<BigImage> image, QString fileName, bool colour, QString description,
               int compression, int resolution, StatusWatcher* watcher, QString icon)
{
    using namespace ORL_Tiff;
    if (!image || image->width() <= 0 || image->height() <= 0 || !image->data() || compression < 0 ||
        compression > 2)
        return false;
    auto post = [&](const QString& text) {
        if (watcher)
            watcher->postMessage(text, icon);
    };

    // Classic or BigTIFF is settled before the first byte, from the largest size the file
    // can reach: the directory comes first and cannot change its layout afterwards.
    const Layout layout = planStrips(*image, colour, compression);
    const QByteArray dateTime = dateTimeText();
    auto tiff = std::make_unique<TiffFile>(*image, colour, compression, layout, Format{false});
    tiff->buildDirectory(description, resolution, dateTime);
    if (tiff->largestFileBytes() > classicFileLimit()) {
        tiff = std::make_unique<TiffFile>(*image, colour, compression, layout, Format{true});
        tiff->buildDirectory(description, resolution, dateTime);
    }

    SafeOutput target(fileName);
    auto writer = std::make_shared<ORL_image_data::Writer>(target.ok() ? target.path() : QString(),
                                                           tiff->format().fileLimit());
    if (!target.ok() || !writer->isOpen()) {
        post("Could not open filename " + fileName);
        return false;
    }
    bool written = tiff->write(*writer);
    written = writer->close() && written && target.commit();
    if (!written)
        post("Could not write " + fileName + ".");
    return written;
}
