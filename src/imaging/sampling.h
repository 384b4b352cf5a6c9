// Bicubic point sampling and scaled rendering. Every fractional read of an image goes
// through sampleCubic; its float arithmetic is fixed (integer a, b, c per row, then a
// fixed evaluation order), so that every machine produces the same bytes.
#pragma once

#include "bigimage.h"

// The bicubic sample at float image position (x, y); pixel (i, j) sits exactly at (i, j).
// Reads outside the image use its background, tap by tap.
RgbPixel sampleCubic(const BigImage& source, float x, float y);
inline RgbPixel sampleCubic(const BigImagePtr& source, float x, float y) { return sampleCubic(*source, x, y); }

// The sample at (x, y) of a larger image of which only `part` is held, placed with its
// pixel (0, 0) at (partX, partY): the taps are found from (x, y) exactly as sampleCubic finds
// them, then read from the part (its background outside). Equals sampleCubic on the larger
// image wherever every tap that lies in the larger image also lies in the part.
RgbPixel sampleCubicShifted(const BigImage& part, int32_t partX, int32_t partY, float x, float y);

// count samples along a line: the first at (x, y), each next one at the previous position
// plus (dx, dy), summed in float. Gives exactly the bytes of sampleCubic at each position.
void sampleCubicRow(const BigImage& source, float x, float y, float dx, float dy, int32_t count, RgbPixel* out);

// count samples along a line at start + n·step for n = first .. first + count − 1, each
// position from its own float product and sum. Unlike the running sum, the positions do not
// drift on long lines (a running sum over 16000 columns can be several pixels off).
void sampleCubicLine(const BigImage& source, float2 start, float2 step, int32_t first, int32_t count, RgbPixel* out);

// A new width × height image whose pixel (j, i) samples the source at origin + (j, i)·step,
// both positions accumulated in float. Null for a null source.
BigImagePtr renderScaled(const BigImagePtr& source, float2 origin, int32_t width, int32_t height, float step,
                         Interpolation mode);
