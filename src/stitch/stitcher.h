// The whole stitch from two images and the marker geometry to the stitched image, as the
// window, the command line and the benchmark run it.
#pragma once

#include "seamquality.h"
#include "stitchdata.h"

#include <QString>

class ProgressInfo;

namespace StitchEngine {

// Seconds spent in each phase of one stitch.
struct StitchTimings {
    double band = 0;         // left strip and rotated, upsampled right band
    double errorField = 0;   // the parallel square-error map
    double accumulation = 0; // correlateData
    double path = 0;         // tracePath and the seam's match figure
    double rotation = 0;     // the rotated part that the transition zone reads
    double composition = 0;  // the result rows
};

struct StitchOutcome {
    BigImagePtr image;        // null when the stitch failed
    int32_t stitchStart = 0;  // first column of the transition zone
    int32_t stitchEnd = 0;    // the column after it
    QString error;            // what went wrong, for the user, when image is null
    SeamQuality quality;      // how well the seam matched, when image is set
};

// Runs every step on the calling thread plus the pool threads free at each moment. Never
// throws: an allocation failure comes back as the error "out of memory. exit.".
StitchOutcome stitchImages(const BigImagePtr& left, const BigImagePtr& right, const StitchGeometry& geometry,
                           ProgressInfo* progress, StitchTimings* timings = nullptr);

// The same stitch composed in the left image's own block: on success outcome.image is
// `left` itself, now the result, so that a chain of stitches holds one growing image instead
// of the last result and the next. On failure `left` is unchanged. Nobody else may read
// `left` while this runs.
StitchOutcome stitchOnto(const BigImagePtr& left, const BigImagePtr& right, const StitchGeometry& geometry,
                         ProgressInfo* progress, StitchTimings* timings = nullptr);

} // namespace StitchEngine
