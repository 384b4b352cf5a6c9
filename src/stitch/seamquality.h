// How well the seam matched: the 5 × 5 left blocks against the band blocks at the cells the
// offset path chose, read from the search's own inputs after the path is traced. One block
// pair per slice, so it costs nothing next to the search that produced the path.
#pragma once

#include "stitchdata.h"

#include <QString>

#include <vector>

namespace StitchEngine {

struct SeamQuality {
    // Σ 2·cov / Σ (varL + varR − noise), means removed per block and channel, at most 1: 1 when
    // the path found the same content, about 0 for unrelated content. Flat blocks weigh
    // little, so plain paper neither helps nor hurts, a gain difference between the scans
    // costs almost nothing, and the scanner noise, taken out of the denominator, does not
    // pull a right seam down.
    float match = 0.0f;
    float detail = 0.0f; // the compared blocks' variance per value without the noise
    float noise = 0.0f;  // the noise variance per value, the mean of both sides
    float missingFraction = 0.0f; // slices outside the rows both images cover
    float pinnedFraction = 0.0f;  // slices held at a marker, not compared
    int32_t compared = 0;         // slices that entered the match
    bool measurable = false;      // enough detail above the noise to judge the match
    bool suspicious = false;      // the markers probably sit on different content
};

// Chosen on pairs cut from photographs and text pages (noise up to σ 8, JPEG, gain, turns of
// up to 3°) with true and with deliberately wrong markers: true markers matched 90 % and
// more, markers 50 px or more off, on unrelated images or on exchanged images 39 % and less.
// One pair read 34 % with true markers: there the search itself had lost the seam (smooth
// colours, the right scan 15 % darker), and the stitch showed it.
constexpr float kPoorMatch = 0.7f;
// Below this many slices or this much detail (per value, and not below the noise) the match
// says nothing: plain paper or sky along the seam.
constexpr int32_t kMinCompared = 10;
constexpr float kMinDetail = 1.5f;
// More missing slices than this: the right image covers too few of the seam's rows.
constexpr float kMostlyMissing = 0.5f;

// field: filled (its `missing` flags are read); offsets: tracePath's, one per slice.
SeamQuality measureSeam(const StripData& left, const StripData& band, const SquareErrorField& field,
                        const std::vector<float2>& offsets);

// The line for the user: "Seam match: 97 %.", or a warning that says what to check.
QString seamQualityText(const SeamQuality& quality);

} // namespace StitchEngine
