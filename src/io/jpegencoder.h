// JpegEncoder: baseline sequential JFIF (ITU-T T.81) with 4:2:0 chroma, the example tables
// of Annex K and an AAN forward DCT in 16-bit fixed point. It streams bands of 16 rows, so
// images of any size up to 65535 pixels per side are written with a few kilobytes of state.
#pragma once

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <memory>

class BigImage;

// The most comment bytes a JPEG file holds: a segment's 16-bit length counts itself too.
constexpr int kMaxJpegComment = 65533;
// The longest side a JPEG file holds: its frame header stores each side in 16 bits.
constexpr int kMaxJpegSide = 65535;

struct JpegParams {
    int32_t width = 0;
    int32_t height = 0;
    int32_t quality = 100; // 1 to 100
    QByteArray comment;    // APP12 text; empty: no segment
    int32_t density = 1;   // pixels per inch in the JFIF header, at least 1
    const uint8_t* pixels = nullptr; // R, G, B rows of width × 3 bytes, no gaps
};

class JpegEncoder {
public:
    // Opens the output file (fopen "wb") and builds every table. Parameters that cannot
    // make a JPEG file (a side of 0, below 0 or above 65535, no pixels) leave the file
    // untouched and the encoder closed.
    JpegEncoder(const JpegParams& params, const QString& fileName);
    // An encoder that never wrote its file removes the empty file it created.
    ~JpegEncoder();
    JpegEncoder(const JpegEncoder&) = delete;
    JpegEncoder& operator=(const JpegEncoder&) = delete;

    // Whether the output file is open and waiting for encode().
    bool isOpen() const;
    // Writes the whole file and closes it. True only when every byte reached the file and
    // it closed cleanly; otherwise the partial file is removed.
    bool encode();

private:
    struct State;
    std::unique_ptr<State> stat_;
};

// Convenience for the save path: the whole image with the given quality, comment and density.
bool writeJpeg(const BigImage& image, const QString& fileName, int quality, const QByteArray& comment,
               int densityDpi);
