// The main window's "Markers" menu: the marker search and the refinement of the right
// markers, run on the pool like every other long work of the window. The engine speaks in
// pixels of the images as they are; the views hold fractions of them.
#include "stitching.h"

#include "alignment.h"
#include "markerview.h"
#include "statuswatcher.h"
#include "ui_stitching.h"
#include "watchedwait.h"

#include <QtConcurrent>

#include <algorithm>
#include <cmath>

namespace {

int percent(double confidence)
{
    return confidence > 0.0 ? int(std::lround(std::min(confidence, 1.0) * 100.0)) : 0;
}

QString turnedText(Align::Turn turn)
{
    switch (turn) {
    case Align::Turn::Clockwise:
        return QObject::tr("The right image was turned clockwise to match the left one.");
    case Align::Turn::CounterClockwise:
        return QObject::tr("The right image was turned counter-clockwise to match the left one.");
    case Align::Turn::HalfTurn:
        return QObject::tr("The right image was turned upside down to match the left one.");
    case Align::Turn::None: break;
    }
    return QString();
}

// The engine always says why it refused; a refusal without words still gets some.
QString refusalText(const Align::MarkerResult& result)
{
    return result.message.isEmpty() ? QObject::tr("No markers were found.") : result.message;
}

// The markers in pixels as the stitch takes them (rounded to whole pixels), so that the
// right markers are refined against the very left positions that the stitch will use.
Align::MarkerPixels stitchPixels(const StitchEngine::MarkerFractions& markers, const BigImage& left,
                                 const BigImage& right)
{
    // The matching width plays no part in the positions.
    const StitchEngine::StitchGeometry g =
        StitchEngine::stitchGeometry(markers, 50, left.width(), left.height(), right.width(), right.height());
    Align::MarkerPixels p;
    p.leftX = g.xL;
    p.leftRedY = g.yL;
    p.leftBlueY = g.yLb;
    p.rightRedX = g.xR;
    p.rightRedY = g.yR;
    p.rightBlueX = g.xRb;
    p.rightBlueY = g.yRb;
    return p;
}

} // namespace

StitchEngine::MarkerFractions Stitching::currentMarkers() const
{
    const PaintLine* left = ui->lbImageLeft;
    const PaintArea* right = ui->lbImageRight;
    StitchEngine::MarkerFractions m;
    m.leftX = left->markerX;
    m.leftRedY = left->markerRedY;
    m.leftBlueY = left->markerBlueY;
    m.rightRedX = right->redPos.x;
    m.rightRedY = right->redPos.y;
    m.rightBlueX = right->bluePos.x;
    m.rightBlueY = right->bluePos.y;
    return m;
}

void Stitching::runMarkerWork(const QString& name, const QString& text, MarkerWork work,
                              const std::function<void(const Align::MarkerResult&)>& apply)
{
    beginWork();
    disableInterface();
    // Own references: the engine reads them while the views may be rendering them.
    const BigImagePtr left = ui->lbImageLeft->image();
    const BigImagePtr right = ui->lbImageRight->image();
    if (left && right) {
        ProgressInfo progress(0.0f, text);
        Align::MarkerResult result;
        const QFuture<void> future =
            QtConcurrent::run([&result, &work, &left, &right, &progress] { result = work(left, right, &progress); });
        watchedWait(future, watcher, name, false, &progress);
        // A window about to close changes nothing more and says nothing more.
        if (!closeRequested) {
            if (result.found)
                apply(result);
            else
                watcher->postMessage(refusalText(result));
        }
    }
    evaluateInterface();
    endWork();
}

void Stitching::setRightMarkers(const Align::MarkerPixels& markers)
{
    PaintArea* view = ui->lbImageRight;
    const double w = view->image()->width();
    const double h = view->image()->height();
    view->redPos = float2{float(markers.rightRedX / w), float(markers.rightRedY / h)};
    view->bluePos = float2{float(markers.rightBlueX / w), float(markers.rightBlueY / h)};
    view->requestRedraw();
}

void Stitching::applyFoundMarkers(const Align::MarkerResult& found)
{
    // The markers are positions in the turned right image, so the turn comes first; it goes
    // the way of the turn buttons, which the views and zoom windows follow.
    PaintArea* right = ui->lbImageRight;
    switch (found.turn) {
    case Align::Turn::Clockwise: right->turnImage(true, watcher); break;
    case Align::Turn::CounterClockwise: right->turnImage(false, watcher); break;
    case Align::Turn::HalfTurn:
        right->turnImage(true, watcher);
        right->turnImage(true, watcher);
        break;
    case Align::Turn::None: break;
    }
    // Both left markers sit on the seam column.
    PaintLine* left = ui->lbImageLeft;
    const double w = left->image()->width();
    const double h = left->image()->height();
    left->markerX = float(found.markers.leftX / w);
    left->markerRedY = float(found.markers.leftRedY / h);
    left->markerBlueY = float(found.markers.leftBlueY / h);
    left->requestRedraw();
    setRightMarkers(found.markers);

    QString text = tr("Markers found (confidence %1 %).").arg(percent(found.confidence));
    if (found.turn != Align::Turn::None)
        text += '\n' + turnedText(found.turn);
    // The turns wait for their work, and the window may have been asked to close meanwhile.
    if (!closeRequested)
        watcher->postMessage(text);
}

void Stitching::on_actionFindMarkers_triggered()
{
    runMarkerWork(QStringLiteral("findMarkers"), QStringLiteral("Finding Markers…"), markerFinder,
                  [this](const Align::MarkerResult& found) { applyFoundMarkers(found); });
}

void Stitching::on_actionRefineRightMarkers_triggered()
{
    // Taken here, on the thread that owns the markers.
    const StitchEngine::MarkerFractions markers = currentMarkers();
    const auto refine = markerRefiner;
    const auto work = [markers, refine](const BigImagePtr& left, const BigImagePtr& right, ProgressInfo* progress) {
        return refine(left, right, stitchPixels(markers, *left, *right), progress);
    };
    runMarkerWork(QStringLiteral("refineMarkers"), QStringLiteral("Refining Markers…"), work,
                  [this](const Align::MarkerResult& refined) {
                      setRightMarkers(refined.markers);
                      watcher->postMessage(
                          tr("Right markers refined (confidence %1 %).").arg(percent(refined.confidence)));
                  });
}
