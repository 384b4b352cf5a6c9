// The offset path: one cell per slice through the accumulated field, traced from the top and
// from the bottom (each step at most two cells from the last), merged run by run, and turned
// into per-slice shifts of the rotated right image in input pixels.
#pragma once

#include "stitchdata.h"

#include <vector>

namespace StitchEngine {

// The cell of slice k with the smallest value weighted by max(distance to p, 1); ties go to
// the first cell in row-major order, p itself when no cell is below the largest float.
Cell bestCell(Cell p, int32_t k, const SquareErrorField& field);

// Resizes offsets to sliceCount and fills them.
void tracePath(const SquareErrorField& field, std::vector<float2>& offsets);

// Between points where the traces agree (within two cells), takes the trace with the smaller
// sum over the run (the forward one on a tie), and writes the offsets of the chosen cells.
void mergePaths(const SquareErrorField& field, std::vector<float2>& offsets, const std::vector<Cell>& forward,
                const std::vector<Cell>& backward);

} // namespace StitchEngine
