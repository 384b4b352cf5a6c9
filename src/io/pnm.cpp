#include "pnm.h"

#include "assertion.h"
#include "safeoutput.h"

#include <QFile>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <limits>
#include <vector>

namespace {

constexpr int64_t kChunkPixels = 65536;
constexpr int kMaxHeaderLine = 999;

const char* const kDataContext = "parse_ppm_data";

QString truncatedText()
{
    return QString(kDataContext) + ": unexpected end of file.";
}

// Sample separators of the ASCII types. Besides blank, newline and the byte 255, the other
// white space that the format allows (tab, carriage return, vertical tab, form feed) also
// separates, so that files written with tabs or CR-LF line ends keep all their samples.
inline bool isSeparator(unsigned char c)
{
    return c == ' ' || c == '\n' || c == 255 || c == '\t' || c == '\r' || c == '\v' || c == '\f';
}

// Sample values follow one rule wherever they are read: the leading decimal number of the
// sample's text, over all its digits, modulo 2^32 (unsigned, so long digit runs wrap instead
// of overflowing); the pixel keeps its low 8 bits. 0 when the text starts with no digit.
inline uint32_t addDigit(uint32_t v, char c) { return v * 10u + uint32_t(c - '0'); }
inline bool isDigit(int c) { return c >= '0' && c <= '9'; }

inline uint8_t leadingNumber(const char* text, size_t length)
{
    uint32_t v = 0;
    for (size_t i = 0; i < length && isDigit(text[i]); ++i)
        v = addDigit(v, text[i]);
    return uint8_t(v & 255);
}

bool parseHeaderInt(const char* token, int* out)
{
    errno = 0;
    char* end = nullptr;
    const long v = std::strtol(token, &end, 10);
    if (end == token || errno == ERANGE || v < INT_MIN || v > INT_MAX)
        return false;
    *out = int(v);
    return true;
}

// Reads `count` ASCII samples into out. Each block read is 4 bytes a sample; samples are
// taken only from within the block (one cut by the block's end is read again with the
// next block), and the stream is left right after the last sample used.
QString readAsciiSamples(std::istream& in, int64_t count, std::vector<char>& block, uint8_t* out)
{
    int64_t got = 0;
    const std::streamsize blockSize = std::streamsize(count * 4);
    block.resize(size_t(blockSize));
    while (got < count) {
        const std::streampos start = in.tellg();
        if (start == std::streampos(-1))
            return truncatedText();
        in.read(block.data(), blockSize);
        const std::streamsize n = in.gcount();
        const bool atEnd = n < blockSize;
        in.clear();
        std::streamsize i = 0;
        std::streamsize used = 0;
        while (got < count) {
            while (i < n && isSeparator(static_cast<unsigned char>(block[size_t(i)])))
                ++i;
            if (i == n) {
                used = n;
                break;
            }
            std::streamsize j = i;
            while (j < n && !isSeparator(static_cast<unsigned char>(block[size_t(j)])))
                ++j;
            if (j == n && !atEnd)
                break; // cut by the block's end: take it with the next block
            out[got++] = leadingNumber(block.data() + i, size_t(j - i));
            i = j;
            used = j;
        }
        in.seekg(start + std::streamoff(used));
        if (got < count && (atEnd || used == 0))
            return truncatedText();
    }
    return QString();
}

// One ASCII sample through get(), by the same rule as the bulk path; false at the end of
// the file with no sample.
bool readValue(std::istream& in, uint32_t* value)
{
    int c = in.get();
    while (c != EOF && isSeparator(static_cast<unsigned char>(c)))
        c = in.get();
    *value = 0;
    if (c == EOF)
        return false;
    bool leading = true;
    uint32_t v = 0;
    for (; c != EOF && !isSeparator(static_cast<unsigned char>(c)); c = in.get()) {
        leading = leading && isDigit(c);
        if (leading)
            v = addDigit(v, char(c));
    }
    *value = v;
    return true;
}

void setProgress(std::atomic<float>* progress, int64_t pos, int64_t total)
{
    if (progress)
        *progress = float(pos) / float(total);
}

// Binary grey or colour samples: bulk chunks while more than one chunk remains, then the
// rest in one piece. Grey bytes are spread to all three channels.
QString readBinary(std::istream& in, int channels, uint8_t* pixels, int64_t total, std::atomic<float>* progress)
{
    std::vector<char> grey(channels == 1 ? size_t(kChunkPixels) : 0);
    int64_t pos = 0;
    while (pos < total) {
        const int64_t count = total - pos > kChunkPixels ? kChunkPixels : total - pos;
        uint8_t* dst = pixels + pos * 3;
        if (channels == 3) {
            in.read(reinterpret_cast<char*>(dst), std::streamsize(count * 3));
            if (in.gcount() != std::streamsize(count * 3))
                return truncatedText();
        } else {
            in.read(grey.data(), std::streamsize(count));
            if (in.gcount() != std::streamsize(count))
                return truncatedText();
            for (int64_t i = 0; i < count; ++i)
                dst[3 * i] = dst[3 * i + 1] = dst[3 * i + 2] = uint8_t(grey[size_t(i)]);
        }
        if (total - pos > kChunkPixels)
            setProgress(progress, pos, total);
        pos += count;
    }
    return QString();
}

// PBM rows start on byte boundaries: (width + 7) / 8 bytes each, most significant bit
// first, the bits past the width ignored. A set bit is black.
QString readBitmap(std::istream& in, uint8_t* pixels, int width, int height, std::atomic<float>* progress)
{
    const int64_t rowBytes = (int64_t(width) + 7) / 8;
    const int64_t rowsPerBlock = std::max<int64_t>(1, kChunkPixels / width);
    std::vector<char> block(size_t(rowBytes * std::min<int64_t>(rowsPerBlock, height)));
    const int64_t total = int64_t(width) * height;
    for (int64_t y0 = 0; y0 < height; y0 += rowsPerBlock) {
        const int64_t rows = std::min<int64_t>(rowsPerBlock, height - y0);
        in.read(block.data(), std::streamsize(rows * rowBytes));
        if (in.gcount() != std::streamsize(rows * rowBytes))
            return truncatedText();
        for (int64_t r = 0; r < rows; ++r) {
            const uint8_t* bits = reinterpret_cast<const uint8_t*>(block.data()) + r * rowBytes;
            uint8_t* dst = pixels + (y0 + r) * int64_t(width) * 3;
            for (int x = 0; x < width; ++x) {
                const uint8_t v = (bits[x >> 3] >> (7 - (x & 7))) & 1 ? 0 : 255;
                dst[3 * x] = dst[3 * x + 1] = dst[3 * x + 2] = v;
            }
        }
        setProgress(progress, y0 * width, total);
    }
    return QString();
}

QString readAscii(std::istream& in, int channels, uint8_t* pixels, int64_t total, std::atomic<float>* progress)
{
    std::vector<char> block;
    std::vector<uint8_t> samples(size_t(kChunkPixels * channels));
    int64_t pos = 0;
    while (total - pos > kChunkPixels) {
        const QString error = readAsciiSamples(in, kChunkPixels * channels, block, samples.data());
        if (!error.isEmpty())
            return error;
        uint8_t* dst = pixels + pos * 3;
        for (int64_t i = 0; i < kChunkPixels; ++i) {
            for (int c = 0; c < 3; ++c)
                dst[3 * i + c] = samples[size_t(i * channels + (channels == 3 ? c : 0))];
        }
        setProgress(progress, pos, total);
        pos += kChunkPixels;
    }
    for (; pos < total; ++pos) {
        uint32_t v[3];
        for (int c = 0; c < channels; ++c) {
            if (!readValue(in, &v[c]))
                return truncatedText();
        }
        for (int c = 0; c < 3; ++c)
            pixels[pos * 3 + c] = uint8_t(v[channels == 3 ? c : 0] & 255);
    }
    return QString();
}

} // namespace

bool parse_ppm_header(std::istream& in, int* width, int* height, int* type)
{
    *width = *height = *type = -1;
    int stage = 0;
    int needed = 4;
    char line[1024];
    while (stage < needed) {
        in.getline(line, sizeof line);
        if (in.fail())
            return false; // end of file, or a line longer than the buffer
        const size_t length = std::strlen(line);
        if (length == 0 || length > size_t(kMaxHeaderLine))
            return false;
        if (std::strchr(line, '#'))
            continue;
        char* save = nullptr;
        for (char* token = strtok_r(line, " \t\r\n\v\f", &save); token && stage < needed;
             token = strtok_r(nullptr, " \t\r\n\v\f", &save)) {
            switch (stage) {
            case 0: {
                static const char* const magics[] = {"P6", "P5", "P4", "P3", "P2", "P1", "P7"};
                static const int types[] = {6, 5, 4, 3, 2, 1, 7};
                for (int m = 0; m < 7 && *type < 0; ++m) {
                    if (std::strstr(token, magics[m]))
                        *type = types[m];
                }
                if (*type < 0)
                    return false;
                if (*type == 1 || *type == 4)
                    needed = 3;
                break;
            }
            case 1:
                if (!parseHeaderInt(token, width))
                    return false;
                break;
            case 2:
                if (!parseHeaderInt(token, height))
                    return false;
                break;
            default:
                break; // the maximum value: present, not used
            }
            ++stage;
        }
    }
    // A size of zero or below cannot be an image.
    return *width > 0 && *height > 0;
}

QString parse_ppm_data(std::istream& in, int type, uint8_t* pixels, int width, int height, std::atomic<float>* progress)
{
    if (type < 2 || type > 6)
        return QString(kDataContext) + ": ppm index " + QString::number(type) + " NYI";
    const int64_t total = int64_t(width) * int64_t(height);
    // No stream holds 2^61 pixels; refusing them keeps every byte offset below in range.
    if (width < 0 || height < 0 || total > std::numeric_limits<int64_t>::max() / 8)
        return truncatedText();
    SW_ASSERT(pixels != nullptr || total == 0);
    QString error;
    if (total > 0) {
        switch (type) {
        case 6:
            error = readBinary(in, 3, pixels, total, progress);
            break;
        case 5:
            error = readBinary(in, 1, pixels, total, progress);
            break;
        case 4:
            error = readBitmap(in, pixels, width, height, progress);
            break;
        case 3:
            error = readAscii(in, 3, pixels, total, progress);
            break;
        default:
            error = readAscii(in, 1, pixels, total, progress);
            break;
        }
    }
    if (progress)
        *progress = 1.0f;
    return error;
}

int read_ppm_value(std::istream& in)
{
    uint32_t v = 0;
    readValue(in, &v);
    return int(v & 0x7fffffffu); // low bits as the data path stores them
}

int64_t ppm_minimum_data_bytes(int type, int width, int height)
{
    if (width <= 0 || height <= 0)
        return type >= 2 && type <= 6 ? 0 : -1;
    // Every product below fits: width and height are below 2^31, so n < 2^62, and the
    // factors are checked against what is left before they are applied.
    const int64_t n = int64_t(width) * int64_t(height);
    constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
    switch (type) {
    case 6:
        return n > kMax / 3 ? kMax : n * 3;
    case 5:
        return n;
    case 4:
        return (int64_t(width) + 7) / 8 * height;
    case 3:
        return n > kMax / 6 ? kMax : n * 6 - 1;
    case 2:
        return n * 2 - 1;
    default:
        return -1;
    }
}

bool write_ppm(const uint8_t* pixels, int width, int height, const QString& fileName)
{
    SafeOutput target(fileName);
    if (!target.ok())
        return false;
    std::ofstream out(QFile::encodeName(target.path()).constData(), std::ios::binary | std::ios::trunc);
    if (!out.is_open())
        return false;
    out << "P6\n" << width << " " << height << "\n# created by Brightfold\n255\n";
    const int64_t total = int64_t(width) * int64_t(height) * 3;
    constexpr int64_t kBlock = 1 << 20;
    for (int64_t pos = 0; pos < total && out.good(); pos += kBlock)
        out.write(reinterpret_cast<const char*>(pixels) + pos, std::streamsize(std::min(kBlock, total - pos)));
    out.close();
    return !out.fail() && target.commit();
}
