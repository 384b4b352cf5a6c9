// The portable anymap family: a line-based header reader for P1 to P7, a pixel reader for
// P2 to P6 (bulk chunks of 65,536 pixels, 8-bit samples whatever the maximum value says),
// and a P6 writer that streams 1 MiB blocks straight from the pixel buffer.
#pragma once

#include <QString>

#include <atomic>
#include <cstdint>
#include <istream>

// Reads the header: magic, width, height and (except for the bitmaps P1 and P4) the
// maximum value. All three outputs are -1 first. True when the header is complete; the
// stream then stands right after the line that completed it.
bool parse_ppm_header(std::istream& in, int* width, int* height, int* type);

// Reads width × height pixels of the given type into an R, G, B buffer. Returns an empty
// text on success, else the error. Sets *progress (when given) as it goes and 1 at the end;
// another thread may read it meanwhile.
QString parse_ppm_data(std::istream& in, int type, uint8_t* pixels, int width, int height,
                       std::atomic<float>* progress);

// One ASCII sample: skips separators, reads up to the next one, returns its leading
// decimal number (0 for none).
int read_ppm_value(std::istream& in);

// How many bytes the pixel data of this header needs at the least (the exact size for the
// binary types, one character a sample and a separator between for the ASCII types);
// -1 for types without a reader.
int64_t ppm_minimum_data_bytes(int type, int width, int height);

// Writes a P6 file. True only when the whole file was written and closed; a failed write
// leaves the target as it was (see SafeOutput).
bool write_ppm(const uint8_t* pixels, int width, int height, const QString& fileName);
