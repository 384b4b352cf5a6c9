#include "drawimagelabel.h"

#include <QWheelEvent>

DrawImageLabel::DrawImageLabel(QWidget* parent) : BigImageLabel(parent)
{
    setAttribute(Qt::WA_MouseTracking);
}

// A render still running uses this object's render and drawOverlay: it must end first.
// Subclasses that draw an overlay wait in their own destructors for the same reason.
DrawImageLabel::~DrawImageLabel()
{
    setRenderingHeld(true);
    waitForRender();
}

void DrawImageLabel::clearImage()
{
    BigImageLabel::clearImage();
    thrDrawData_ = DrawData();
    drawData_ = DrawData();
}

void DrawImageLabel::mousePressEvent(QMouseEvent* event)
{
    QWidget::mousePressEvent(event);
}

void DrawImageLabel::mouseMoveEvent(QMouseEvent*) {}

void DrawImageLabel::wheelEvent(QWheelEvent* event)
{
    // The wheel does not zoom the input views, and it goes no further.
    event->accept();
}

void DrawImageLabel::resizeEvent(QResizeEvent*)
{
    state_.repaint = true;
}

bool DrawImageLabel::needsRepaint() const
{
    return state_.repaint || drawData_.redraw;
}

void DrawImageLabel::takeSnapshot()
{
    BigImageLabel::takeSnapshot();
    thrDrawData_ = drawData_;
    drawData_.redraw = false;
    prepareDraw();
}

void DrawImageLabel::render()
{
    if (!thrData_.image)
        return;
    if (thrData_.repaint) {
        rescaleSnapshot();
        thrDrawData_.redraw = thrData_.scaledImage_ != nullptr;
        if (!thrData_.scaledImage_)
            return;
    } else if (!thrDrawData_.redraw) {
        return;
    }
    // A view whose rescale never succeeded has nothing to draw on.
    if (!thrData_.scaledImage_)
        return;
    // A fresh copy every time, so that overlays never pile up on the cached image.
    thrDrawData_.dirtyImage_ = deepCopy(thrData_.scaledImage_);
    drawOverlay();
}

void DrawImageLabel::afterRender()
{
    if (thrDrawData_.dirtyImage_) {
        state_.processed = thrData_.processed;
        state_.scaledImage_ = thrData_.scaledImage_;
        drawData_.dirtyImage_ = thrDrawData_.dirtyImage_;
        pendingImage = thrDrawData_.dirtyImage_;
    } else {
        pendingImage.reset();
    }
    pendingFlag = true;
}
