#include "markerview.h"

#include <QDragEnterEvent>
#include <QDropEvent>
#include <QMimeData>
#include <QMouseEvent>
#include <QUrl>

#include <cmath>

namespace {

constexpr int32_t kSquare = 10;

// Screen positions as ints, held to a range that every line routine handles: a marker far
// beside the view must not overflow a conversion.
int32_t screenInt(float v)
{
    if (!(v > -1e9f))
        return -1000000000;
    if (v > 1e9f)
        return 1000000000;
    return int32_t(v);
}

// A marker at fractions (px, py) of an image of W × H on the screen of geometry g.
float2 toScreen(float2 fraction, const BigImage& image, const ViewGeometry& g)
{
    return float2{(float(image.width()) * fraction.x - g.originX) / g.scale,
                  (float(image.height()) * fraction.y - g.originY) / g.scale};
}

} // namespace

MarkerView::MarkerView(QWidget* parent) : DrawImageLabel(parent) {}

void MarkerView::setZoomWindows(ZoomImage* red, ZoomImage* blue)
{
    redZoomLabel_ = red;
    blueZoomLabel_ = blue;
}

bool MarkerView::clickFraction(const QPoint& pos, float2* fraction) const
{
    if (!state_.image || !state_.scaledImage_ || state_.image->width() <= 0 || state_.image->height() <= 0)
        return false;
    const ViewGeometry g = currentGeometry();
    fraction->x = (float(pos.x()) * g.scale + g.originX) / float(state_.image->width());
    fraction->y = (float(pos.y()) * g.scale + g.originY) / float(state_.image->height());
    return true;
}

void MarkerView::mousePressEvent(QMouseEvent* event)
{
    float2 fraction;
    if (clickFraction(event->pos(), &fraction) && placeMarker(event->button(), fraction))
        requestRedraw();
    QWidget::mousePressEvent(event);
}

void MarkerView::mouseMoveEvent(QMouseEvent* event)
{
    // A move carries no button (event->button() is NoButton even while one is held), so
    // moving the mouse never moves a marker.
    float2 fraction;
    if (clickFraction(event->pos(), &fraction) && placeMarker(event->button(), fraction))
        requestRedraw();
}

QString MarkerView::droppedFile(const QMimeData* data)
{
    if (!data || !data->hasUrls() || data->urls().size() != 1 || !data->urls().first().isLocalFile())
        return QString();
    return data->urls().first().toLocalFile();
}

// Only drops that the view accepts at all reach here: the window takes them away while it
// works (setAcceptDrops).
void MarkerView::dragEnterEvent(QDragEnterEvent* event)
{
    if (!droppedFile(event->mimeData()).isEmpty())
        event->acceptProposedAction();
}

void MarkerView::dropEvent(QDropEvent* event)
{
    const QString fileName = droppedFile(event->mimeData());
    if (fileName.isEmpty())
        return;
    event->acceptProposedAction();
    emit fileDropped(fileName);
}

void MarkerView::prepareDraw()
{
    redZoomSize_ = redZoomLabel_ ? redZoomLabel_->size() : QSize();
    blueZoomSize_ = blueZoomLabel_ ? blueZoomLabel_->size() : QSize();
    thrZoomFactor_ = zoomFactor;
}

// ---- PaintLine ----

PaintLine::PaintLine(QWidget* parent) : MarkerView(parent) {}

// A render still running calls this object's drawOverlay: it must end first.
PaintLine::~PaintLine()
{
    setRenderingHeld(true);
    waitForRender();
}

void PaintLine::resetMarkers()
{
    markerX = kStartX;
    markerRedY = kStartRedY;
    markerBlueY = kStartBlueY;
}

bool PaintLine::placeMarker(Qt::MouseButton button, float2 fraction)
{
    if (button == Qt::LeftButton) {
        markerX = fraction.x;
        markerRedY = fraction.y;
        return true;
    }
    if (button == Qt::RightButton) {
        markerBlueY = fraction.y;
        return true;
    }
    return false;
}

void PaintLine::prepareDraw()
{
    MarkerView::prepareDraw();
    thrX_ = markerX;
    thrRedY_ = markerRedY;
    thrBlueY_ = markerBlueY;
}

void PaintLine::drawOverlay()
{
    BigImage& dirty = *thrDrawData_.dirtyImage_;
    const BigImage& image = *thrData_.image;
    const ViewGeometry g = viewGeometry(thrData_);
    LineStyle dashed(colBlack, LineStyle::StyleDashed, colWhite, LineStyle::Opaque, 0, 1.0f);
    for (bool red : {true, false}) {
        const float2 p = toScreen(float2{thrX_, red ? thrRedY_ : thrBlueY_}, image, g);
        const int32_t d = screenInt(p.x + 0.5f);
        const int32_t c = screenInt(p.y + 0.5f);
        if (red) {
            // The marker line over the full height, with a gap at the red marker.
            dirty.drawLine(d, 0, d, c - kSquare, &dashed);
            dirty.drawLine(d, c + kSquare, d, dirty.height() - 1, &dashed);
        }
        LineStyle pen(red ? colRed : colBlue);
        dirty.drawBox(d - kSquare, c - kSquare, d + kSquare + 1, c + kSquare + 1, &pen);
    }
    if (redZoomLabel() && !redZoomSize_.isEmpty())
        renderZoomWindow(redZoomLabel(), redZoomSize_, thrData_.image, thrZoomFactor_, float2{thrX_, thrRedY_},
                         nullptr, true);
    if (blueZoomLabel() && !blueZoomSize_.isEmpty())
        renderZoomWindow(blueZoomLabel(), blueZoomSize_, thrData_.image, thrZoomFactor_, float2{thrX_, thrBlueY_},
                         nullptr, false);
}

void PaintLine::renderZoomWindows()
{
    if (!image())
        return;
    if (redZoomLabel())
        renderZoomWindow(redZoomLabel(), redZoomLabel()->size(), image(), zoomFactor, float2{markerX, markerRedY},
                         nullptr, true);
    if (blueZoomLabel())
        renderZoomWindow(blueZoomLabel(), blueZoomLabel()->size(), image(), zoomFactor,
                         float2{markerX, markerBlueY}, nullptr, false);
}

// ---- PaintArea ----

PaintArea::PaintArea(QWidget* parent) : MarkerView(parent) {}

PaintArea::~PaintArea()
{
    setRenderingHeld(true);
    waitForRender();
}

bool PaintArea::placeMarker(Qt::MouseButton button, float2 fraction)
{
    if (button == Qt::LeftButton) {
        redPos = fraction;
        return true;
    }
    if (button == Qt::RightButton) {
        bluePos = fraction;
        return true;
    }
    return false;
}

void PaintArea::prepareDraw()
{
    MarkerView::prepareDraw();
    thrRed_ = redPos;
    thrBlue_ = bluePos;
    thrMatchWidth_ = matchWidth;
}

float PaintArea::markerAngle(float2 red, float2 blue, const BigImagePtr& image)
{
    const float W = image ? float(image->width()) : 1.0f;
    const float H = image ? float(image->height()) : 1.0f;
    return std::atan2((blue.y - red.y) * H, (blue.x - red.x) * W) - 1.5707964f;
}

void PaintArea::drawOverlay()
{
    BigImage& dirty = *thrDrawData_.dirtyImage_;
    const ViewGeometry g = viewGeometry(thrData_);
    const float2 red = toScreen(thrRed_, *thrData_.image, g);
    const float2 blue = toScreen(thrBlue_, *thrData_.image, g);
    const float e = red.x, f = red.y, b = blue.x, c = blue.y;
    const int32_t h = dirty.height();

    // Along the marker line and across it; both markers on one screen row leave the slope
    // undefined: no corridor then, and squares drawn upright.
    float2 dir{0.0f, 1.0f};
    float2 across{1.0f, 0.0f};
    if (c != f) {
        const float slope = (b - e) / (c - f); // x change per row
        const float L = 1.0f + slope * slope;
        const float root = std::sqrt(L);
        if (std::isfinite(root)) {
            // Half the corridor as a horizontal distance on the screen.
            const int32_t m = screenInt(float(thrMatchWidth_) * 0.5f * root / g.scale);
            const int32_t t = screenInt(e - slope * f);
            const int32_t v = screenInt(e + slope * (float(h - 1) - f));
            LineStyle dashed(colBlack, LineStyle::StyleDashed, colWhite, LineStyle::Opaque, 0, 1.0f);
            dirty.drawLine(t - m, 0, v - m, h - 1, &dashed);
            dirty.drawLine(t + m, 0, v + m, h - 1, &dashed);
            dir = float2{slope / root, 1.0f / root};
            across = float2{1.0f / root, -slope / root};
        }
    }
    const float a = float(kSquare);
    for (const auto& [p, colour] : {std::pair<float2, RgbPixel>{red, colRed}, {blue, colBlue}}) {
        const double corners[4][2] = {
            {p.x + a * across.x + a * dir.x, p.y + a * across.y + a * dir.y},
            {p.x + a * dir.x - a * across.x, p.y + a * dir.y - a * across.y},
            {p.x - a * across.x - a * dir.x, p.y - a * across.y - a * dir.y},
            {p.x + a * across.x - a * dir.x, p.y + a * across.y - a * dir.y},
        };
        for (int i = 0; i < 4; ++i) {
            const int j = (i + 1) % 4;
            dirty.drawLineAA(corners[i][0], corners[i][1], corners[j][0], corners[j][1], colour);
        }
    }

    const float theta = markerAngle(thrRed_, thrBlue_, thrData_.image);
    if (redZoomLabel() && !redZoomSize_.isEmpty())
        renderZoomWindow(redZoomLabel(), redZoomSize_, thrData_.image, thrZoomFactor_, thrRed_, &theta, true);
    if (blueZoomLabel() && !blueZoomSize_.isEmpty())
        renderZoomWindow(blueZoomLabel(), blueZoomSize_, thrData_.image, thrZoomFactor_, thrBlue_, &theta, false);
}

void PaintArea::renderZoomWindows()
{
    if (!image())
        return;
    const float theta = markerAngle(redPos, bluePos, image());
    if (redZoomLabel())
        renderZoomWindow(redZoomLabel(), redZoomLabel()->size(), image(), zoomFactor, redPos, &theta, true);
    if (blueZoomLabel())
        renderZoomWindow(blueZoomLabel(), blueZoomLabel()->size(), image(), zoomFactor, bluePos, &theta, false);
}
