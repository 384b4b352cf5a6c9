// The result view: dragging moves the scroll bars (the image follows the mouse), and the
// render draws the zone lines into the view image after the bicubic resample.
#include "labelresult.h"

#include <QMouseEvent>

#include <algorithm>
#include <cmath>

namespace {

// A scroll bar value from a relative position. The bar keeps the value within its own
// range; this only keeps the conversion defined for drags far beyond it.
int barValue(int maximum, float relative)
{
    const float value = float(maximum) * relative;
    if (!(value > -2.0e9f))
        return -2000000000;
    return value < 2.0e9f ? int(value) : 2000000000;
}

float relativePosition(const QAbstractSlider* bar)
{
    return bar && bar->maximum() > 0 ? float(bar->value()) / float(bar->maximum()) : 0.0f;
}

} // namespace

LabelResult::LabelResult(QWidget* parent) : BigImageLabel(parent) {}

// A render still running calls this object's render: it must end first.
LabelResult::~LabelResult()
{
    setRenderingHeld(true);
    waitForRender();
}

void LabelResult::setShowStitch(bool on)
{
    result_.showStitch = on;
    orderRescale();
}

void LabelResult::setStitchZone(int32_t stitchStart, int32_t stitchEnd, bool across)
{
    result_.stitchStart = stitchStart;
    result_.stitchEnd = stitchEnd;
    result_.zoneAcross = across;
    orderRescale();
}

// A band [a, b) of columns turned clockwise ((x, y) to (H − 1 − y, x)) is the band [a, b)
// of rows; a band of rows becomes the columns [H − b, H − a). Counter-clockwise ((x, y) to
// (y, W − 1 − x)) mirrors the columns instead. W × H: the size before the turn.
void LabelResult::turnResult(bool clockwise, StatusWatcher* watcher)
{
    const BigImagePtr img = image();
    if (!img)
        return;
    const int32_t extent = clockwise ? img->height() : img->width();
    turnImage(clockwise, watcher);
    const bool mirrored = clockwise == result_.zoneAcross;
    const int32_t start = mirrored ? extent - result_.stitchEnd : result_.stitchStart;
    const int32_t end = mirrored ? extent - result_.stitchStart : result_.stitchEnd;
    setStitchZone(start, end, !result_.zoneAcross);
}

void LabelResult::mousePressEvent(QMouseEvent* event)
{
    if (event->button() != Qt::LeftButton) {
        BigImageLabel::mousePressEvent(event);
        return;
    }
    result_.pressX = qRound(event->localPos().x());
    result_.pressY = qRound(event->localPos().y());
    result_.pressScrollH = relativePosition(hScrollBar);
    result_.pressScrollV = relativePosition(vScrollBar);
}

// Moves the scroll bars so that the image point under the last left-button press follows
// the mouse: a drag of d widget pixels is d · scale image pixels, a fraction of the width
// (height). The bars' valueChanged requests the repaint.
void LabelResult::mouseMoveEvent(QMouseEvent* event)
{
    const BigImagePtr img = image();
    if (!img || img->width() <= 0 || img->height() <= 0)
        return;
    const float scale = currentGeometry().scale;
    const int32_t x = qRound(event->localPos().x());
    const int32_t y = qRound(event->localPos().y());
    if (hScrollBar) {
        const float moved = float(x - result_.pressX) * scale / float(img->width());
        hScrollBar->setValue(barValue(hScrollBar->maximum(), result_.pressScrollH - moved));
    }
    if (vScrollBar) {
        const float moved = float(y - result_.pressY) * scale / float(img->height());
        vScrollBar->setValue(barValue(vScrollBar->maximum(), result_.pressScrollV - moved));
    }
}

void LabelResult::takeSnapshot()
{
    BigImageLabel::takeSnapshot();
    thrResult_ = result_;
}

// Worker thread, snapshot only: the visible part resampled bicubically, then the zone lines.
void LabelResult::render()
{
    if (!thrData_.image)
        return;
    rescaleSnapshot();
    BigImage* view = thrData_.scaledImage_.get();
    if (!view || !thrResult_.showStitch)
        return;
    // View column j shows image column originX + j·scale; a zone edge goes to the nearest
    // such column (row, for a zone across). The origin stays fractional: rounding it first
    // would put the lines up to half an image pixel off, several view columns when the view
    // magnifies.
    const ViewGeometry g = viewGeometry(thrData_);
    const bool across = thrResult_.zoneAcross;
    const double origin = across ? g.originY : g.originX;
    const int32_t lines = across ? view->height() : view->width();
    for (const int32_t edge : {thrResult_.stitchStart, thrResult_.stitchEnd}) {
        const double line = std::floor((double(edge) - origin) / double(g.scale) + 0.5);
        if (!(line >= 0.0 && line < double(lines)))
            continue;
        const int32_t c = int32_t(line);
        if (across)
            std::fill(view->row(c), view->row(c) + view->width(), zoneColour);
        else
            for (int32_t i = 0; i < view->height(); ++i)
                view->row(i)[c] = zoneColour;
    }
}
