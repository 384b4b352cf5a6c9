// The stitch job. Every seam is the plain stitch of two images: the result so far on the
// left (its pixels are never resampled again) and the next piece on the right; stitchOnto
// grows the result in place. A grid's row is joined first, then turned and joined below the
// rows above, so that only one row is ever held besides the result.
#include "stitchjob.h"

#include "alignment.h"
#include "consolewatcher.h"
#include "loading.h"
#include "parallel.h"
#include "steps.h"
#include "stitcher.h"
#include "watchedwait.h"

#include <QtConcurrent>

#include <cstdio>
#include <cstring>
#include <functional>

using namespace CliSteps;

int StitchJob::seamCount() const
{
    const int perRow = columns > 0 ? columns : int(inputs.size());
    return rows * (perRow - 1) + rows - 1;
}

namespace {

constexpr int kClockwise = 1;
constexpr int kCounterClockwise = 3;

// An input, or a joined row; the name is what messages call it.
struct Piece {
    BigImagePtr image;
    QString name;
};

// The last `count` columns of the image: what the finder needs of a long joined result, so
// that it sees the pair it would see for the two scans alone.
BigImagePtr lastColumns(const BigImage& image, int32_t count)
{
    const BigImagePtr part = BigImage::makeUnfilled(count, image.height(), image.background());
    const int32_t first = image.width() - count;
    parallelFor(image.height(), [&](int64_t y) {
        std::memcpy(part->row(int32_t(y)), image.row(int32_t(y)) + first, size_t(count) * sizeof(RgbPixel));
    });
    return part;
}

class StitchRun {
public:
    explicit StitchRun(const StitchJob& job) : job_(job), seamCount_(job.seamCount()) {}
    int run();

private:
    bool join(int count, const std::function<Piece(int)>& piece, Piece& joined);
    Piece input(int index, int quarters);
    Piece row(int r);
    bool seam(Piece& joined, int32_t lastWidth, const QString& lastName, Piece& right);
    bool findMarkers(const Piece& joined, int32_t lastWidth, Piece& right, const CliArgs::SeamMarkers& plan,
                     Align::MarkerPixels& m);

    const StitchJob& job_;
    const int seamCount_;
    ConsoleWatcher watcher_{stderr};
    int seamsDone_ = 0;
    bool damaged_ = false;
    DotsPerMetre dpi_; // the first input's: the result carries it
    QString seamName_; // "The seam between A and B: " while a seam of several runs
};

int StitchRun::run()
{
    Piece result;
    const bool grid = job_.columns > 0;
    const bool ok = grid ? join(job_.rows, [this](int r) { return row(r); }, result)
                         : join(int(job_.inputs.size()),
                                [this](int k) {
                                    return input(k, (job_.vertical ? kCounterClockwise : 0)
                                                        + (k == 0 ? job_.turnFirst : 0));
                                },
                                result);
    if (!ok)
        return 1;
    if (grid || job_.vertical)
        turn(result.image, kClockwise);
    return finish(writeImage(result.image, job_.output, dpi_, QString(), &watcher_), damaged_, job_.output);
}

// Pieces 0 .. count − 1 joined left to right; each piece is made only when its seam comes.
bool StitchRun::join(int count, const std::function<Piece(int)>& piece, Piece& joined)
{
    joined = piece(0);
    if (!joined.image)
        return false;
    QString lastName = joined.name;
    int32_t lastWidth = 0; // 0: the joined image is one piece still
    for (int k = 1; k < count; ++k) {
        Piece right = piece(k);
        if (!right.image || !seam(joined, lastWidth, lastName, right))
            return false;
        lastName = right.name;
        lastWidth = right.image->width();
    }
    return true;
}

Piece StitchRun::input(int index, int quarters)
{
    DotsPerMetre dpi;
    BigImageLoadData load;
    load.watcher = &watcher_;
    load.dpi = &dpi;
    Piece piece{BigImageIO::loadImageFile(job_.inputs[index], load), job_.inputs[index]};
    if (!piece.image)
        return piece;
    damaged_ = damaged_ || load.damaged;
    if (index == 0)
        dpi_ = dpi;
    turn(piece.image, quarters);
    return piece;
}

// Row r joined left to right, then turned so that it meets the rows above along a column.
Piece StitchRun::row(int r)
{
    const int first = r * job_.columns;
    Piece joined;
    if (!join(job_.columns, [this, first](int c) { return input(first + c, 0); }, joined))
        return Piece();
    turn(joined.image, kCounterClockwise);
    if (job_.columns > 1)
        joined.name = QStringLiteral("row %1 (%2 … %3)")
                          .arg(r + 1)
                          .arg(job_.inputs[first], job_.inputs[first + job_.columns - 1]);
    return joined;
}

bool StitchRun::seam(Piece& joined, int32_t lastWidth, const QString& lastName, Piece& right)
{
    const int index = seamsDone_++;
    seamName_.clear();
    if (seamCount_ > 1) {
        seamName_ = "The seam between " + lastName + " and " + right.name + ": ";
        watcher_.postMessage(QStringLiteral("Seam %1 of %2: %3 and %4.")
                                 .arg(index + 1)
                                 .arg(seamCount_)
                                 .arg(lastName, right.name));
    }
    const CliArgs::SeamMarkers plan = size_t(index) < job_.seams.size() ? job_.seams[size_t(index)]
                                                                        : CliArgs::SeamMarkers();
    turn(right.image, plan.turnRight);
    Align::MarkerPixels m;
    if (!findMarkers(joined, lastWidth, right, plan, m))
        return false;

    const BigImagePtr& left = joined.image;
    // The same fractions that the marker views would hold for these pixels.
    StitchEngine::MarkerFractions f;
    f.leftX = float(m.leftX) / float(left->width());
    f.leftRedY = float(m.leftRedY) / float(left->height());
    f.leftBlueY = float(m.leftBlueY) / float(left->height());
    f.rightRedX = float(m.rightRedX) / float(right.image->width());
    f.rightRedY = float(m.rightRedY) / float(right.image->height());
    f.rightBlueX = float(m.rightBlueX) / float(right.image->width());
    f.rightBlueY = float(m.rightBlueY) / float(right.image->height());
    const StitchEngine::StitchGeometry g = StitchEngine::stitchGeometry(
        f, job_.width, left->width(), left->height(), right.image->width(), right.image->height());

    ProgressInfo progress(0.0f, QStringLiteral("Initializing…"));
    StitchEngine::StitchOutcome outcome;
    const QFuture<void> future = QtConcurrent::run(
        [&] { outcome = StitchEngine::stitchOnto(left, right.image, g, &progress); });
    watchedWait(future, &watcher_, QStringLiteral("stitch"), false, &progress);
    if (!outcome.image) {
        fail(seamName_ + outcome.error);
        return false;
    }
    // A poor match is a warning about the markers, not a failure.
    watcher_.postMessage(StitchEngine::seamQualityText(outcome.quality));
    return true;
}

// The seam's markers as given, or found (then printed, and the right piece turned as the
// finder says). False, with the refusal told, when the finder refused.
bool StitchRun::findMarkers(const Piece& joined, int32_t lastWidth, Piece& right, const CliArgs::SeamMarkers& plan,
                            Align::MarkerPixels& m)
{
    const bool given = !plan.left.empty();
    if (given)
        m = {plan.left[0], plan.left[1], plan.left[2], plan.right[0], plan.right[1], plan.right[2], plan.right[3]};
    if (given && !job_.refine)
        return true;
    // A search reads the joined image's last piece only, so that it works at the scale of the
    // two scans; a refinement reads small windows round the markers anyway.
    const int32_t offset = !given && lastWidth > 0 ? std::max(0, joined.image->width() - lastWidth) : 0;
    Align::MarkerResult found;
    {
        const BigImagePtr left = offset > 0 ? lastColumns(*joined.image, lastWidth) : joined.image;
        found = runFinder(left, right.image, &watcher_, given ? &m : nullptr);
    }
    if (!found.found) {
        fail(seamName_ + found.message);
        return false;
    }
    const int turned = CliArgs::quarters(Align::turnName(found.turn));
    turn(right.image, turned);
    m = found.markers;
    m.leftX += offset;
    std::printf("%s\n", markerOptions(m, plan.turnRight + turned).toLocal8Bit().constData());
    std::fflush(stdout);
    return true;
}

} // namespace

int runStitchJob(const StitchJob& job)
{
    return StitchRun(job).run();
}
