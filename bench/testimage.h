// A synthetic scan for benchmarks: smooth shading, contour lines, a grid and blocks of
// fine "print", so that every operation meets edges, gradients and flat areas as in a
// real map or drawing (neither flat nor random noise). The same size gives the same bytes.
#pragma once

#include "bigimage.h"

BigImagePtr makeTestScan(int32_t width, int32_t height);
