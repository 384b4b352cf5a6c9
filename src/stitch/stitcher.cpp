// The stitch pipeline. The square-error field (sliceCount × G × 80 floats) is the largest
// intermediate; it is freed as soon as the path is traced, before the result is allocated,
// so that the peak stays near the two inputs plus the result.
#include "stitcher.h"

#include "alignment.h"
#include "assertion.h"
#include "composition.h"
#include "errorfield.h"
#include "largememory.h"
#include "offsetpath.h"
#include "progressinfo.h"

#include <QElapsedTimer>

#include <new>

namespace StitchEngine {

namespace {
double lap(QElapsedTimer& clock)
{
    const double s = double(clock.nsecsElapsed()) * 1e-9;
    clock.restart();
    return s;
}
} // namespace

namespace {

StitchOutcome stitch(const BigImagePtr& left, const BigImagePtr& right, const StitchGeometry& g, bool inPlace,
                     ProgressInfo* progress, StitchTimings* timings)
{
    SW_ASSERT(left && right);
    StitchOutcome outcome;
    StitchTimings t;
    QElapsedTimer clock;
    clock.start();
    try {
        std::vector<float2> offsets;
        {
            SquareErrorField field;
            field.sliceHeight = 80;
            field.rowStep = 2;
            field.scale = 2;
            StripData leftStrip;
            StripData rightBand;
            prepareLeftStrip(left, g.xL, g.yL, g.yLb, leftStrip, progress);
            prepareRightBand(rightBand, field.scale, g.angle, g.corridor, g.xR, g.yR, g.xRb, g.yRb, progress, right);
            t.band = lap(clock);
            // computeErrorField's two halves, timed apart.
            fillErrorField(leftStrip, rightBand, field, progress);
            t.errorField = lap(clock);
            ProgressInfo local;
            correlateData(field, progress ? *progress : local);
            t.accumulation = lap(clock);
            tracePath(field, offsets);
            outcome.quality = measureSeam(leftStrip, rightBand, field, offsets);
            t.path = lap(clock);
        }
        if (!inPlace)
            outcome.image =
                composeResult(offsets, 2, g.angle, g.xL, g.yL, g.xR, g.yR, left, right, progress, &t.rotation);
        else if (composeInPlace(offsets, 2, g.angle, g.xL, g.yL, g.xR, g.yR, left, right, progress, &t.rotation))
            outcome.image = left;
        t.composition = lap(clock) - t.rotation;
        if (!outcome.image)
            outcome.error = QStringLiteral("The stitched image would be empty. Place the markers on the same "
                                           "content in both images.");
    } catch (const std::bad_alloc&) {
        outcome.image.reset();
        outcome.error = LargeMemory::failureText(QStringLiteral("out of memory. exit."));
    }
    outcome.stitchStart = g.xL;
    outcome.stitchEnd = g.xL + kZoneWidth;
    if (timings)
        *timings = t;
    return outcome;
}

} // namespace

StitchOutcome stitchImages(const BigImagePtr& left, const BigImagePtr& right, const StitchGeometry& g,
                           ProgressInfo* progress, StitchTimings* timings)
{
    return stitch(left, right, g, false, progress, timings);
}

StitchOutcome stitchOnto(const BigImagePtr& left, const BigImagePtr& right, const StitchGeometry& g,
                         ProgressInfo* progress, StitchTimings* timings)
{
    return stitch(left, right, g, true, progress, timings);
}

} // namespace StitchEngine
