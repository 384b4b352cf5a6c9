#include "bigimagelabel.h"

#include "loading.h"
#include "rotation.h"
#include "sampling.h"

#include <QFileDialog>
#include <QPixmap>
#include <QtConcurrent>

#include <algorithm>

BigImageLabel::BigImageLabel(QWidget* parent) : QLabel(parent, Qt::WindowFlags())
{
    setMinimumSize(1, 1);
    repaintTimer.setSingleShot(true);
    repaintTimer.setInterval(25);
    pixmapTimer.setSingleShot(true);
    pixmapTimer.setInterval(25);
    connect(&repaintTimer, SIGNAL(timeout()), this, SLOT(slotRepaint()));
    connect(&pixmapTimer, SIGNAL(timeout()), this, SLOT(slotSetPixmap()));
    connect(&renderWatcher_, &QFutureWatcher<void>::finished, this, &BigImageLabel::renderFinished);
    repaintTimer.start();
    pixmapTimer.start();
}

BigImageLabel::~BigImageLabel()
{
    // The render works on this label's snapshot: it must end before the label does.
    renderWatcher_.waitForFinished();
}

void BigImageLabel::setImage(const BigImagePtr& image, const QRect& region)
{
    if (!image)
        return;
    state_.image = image;
    state_.region = region.left() < 0 ? QRect(QPoint(0, 0), QPoint(image->width() - 1, image->height() - 1)) : region;
    state_.repaint = true;
}

void BigImageLabel::openImageFile(BigImageLoadData& data)
{
    const QString name = QFileDialog::getOpenFileName(nullptr, QStringLiteral("Open File"), QString(), data.filter,
                                                      nullptr, QFileDialog::DontUseNativeDialog);
    if (name.isEmpty())
        return; // cancelled: nothing to hand over, nothing to tell
    loadImageFile(name, data);
}

void BigImageLabel::loadImageFile(const QString& fileName, BigImageLoadData& data)
{
    setImage(BigImageIO::loadImageFile(fileName, data), QRect(-1, -1, -1, -1));
}

void BigImageLabel::clearImage()
{
    // The render that may be running ends first; its hand-over then brings nothing back.
    setRenderingHeld(true);
    waitForRender();
    thrData_ = ViewState();
    state_.image.reset();
    state_.processed.reset();
    state_.scaledImage_.reset();
    state_.repaint = false;
    pendingImage.reset();
    pendingFlag = true;
    setRenderingHeld(false);
}

void BigImageLabel::turnImage(bool clockwise, StatusWatcher* watcher)
{
    const BigImagePtr turned = image();
    if (!turned)
        return;
    // The turn rewrites the pixels in place: no render may read them meanwhile.
    setRenderingHeld(true);
    waitForRender();
    if (clockwise)
        BigImageProcessing::rotateCW(turned, watcher);
    else
        BigImageProcessing::rotateCCW(turned, watcher);
    setRenderingHeld(false);
    orderRescale();
}

void BigImageLabel::setZoom(float zoom)
{
    state_.zoom = zoom;
    state_.repaint = true;
}

void BigImageLabel::setScrollBars(QAbstractSlider* vertical, QAbstractSlider* horizontal)
{
    vScrollBar = vertical;
    hScrollBar = horizontal;
}

ViewGeometry BigImageLabel::viewGeometry(const ViewState& state)
{
    ViewGeometry g;
    if (!state.image || state.image->width() <= 0 || state.image->height() <= 0)
        return g;
    const float W = float(state.image->width());
    const float H = float(state.image->height());
    // One pixel of frame on each side; a view too small for that still shows one pixel.
    const int32_t vw = std::max(state.viewWidth - 2, 1);
    const int32_t vh = std::max(state.viewHeight - 2, 1);
    if (state.zoom < 0.0f) {
        g.scale = std::max(H / float(vh), W / float(vw));
        g.originX = (W - float(vw) * g.scale) * 0.5f;
        g.originY = (H - float(vh) * g.scale) * 0.5f;
        g.width = std::max(int32_t(W / g.scale), vw);
        g.height = std::max(int32_t(H / g.scale), vh);
    } else {
        g.scale = state.zoom;
        g.width = vw;
        g.height = vh;
        g.originX = (W - float(vw) * g.scale) * state.scroll.x;
        g.originY = (H - float(vh) * g.scale) * state.scroll.y;
    }
    return g;
}

void BigImageLabel::orderRescale()
{
    state_.repaint = true;
}

void BigImageLabel::resizeEvent(QResizeEvent*)
{
    state_.repaint = true;
}

bool BigImageLabel::needsRepaint() const
{
    return state_.repaint;
}

void BigImageLabel::takeSnapshot()
{
    state_.viewWidth = width();
    state_.viewHeight = height();
    if (vScrollBar && hScrollBar) {
        state_.scroll.y = vScrollBar->maximum() > 0 ? float(vScrollBar->value()) / float(vScrollBar->maximum()) : 0.0f;
        state_.scroll.x = hScrollBar->maximum() > 0 ? float(hScrollBar->value()) / float(hScrollBar->maximum()) : 0.0f;
    }
    thrData_ = state_;
    state_.repaint = false;
}

void BigImageLabel::slotRepaint()
{
    if (held_ || !needsRepaint()) {
        repaintTimer.start();
        return;
    }
    takeSnapshot();
    ++renderCount_;
    // The GUI thread goes back to its event loop; the timer restarts once the render has
    // finished, so one label never runs two renders at a time.
    renderWatcher_.setFuture(QtConcurrent::run([this] { render(); }));
}

void BigImageLabel::renderFinished()
{
    afterRender();
    repaintTimer.start();
}

void BigImageLabel::rescaleSnapshot()
{
    thrData_.scaledImage_.reset();
    const ViewGeometry g = viewGeometry(thrData_);
    thrData_.processed = thrData_.image;
    thrData_.scaledImage_ = renderScaled(thrData_.processed, float2{g.originX, g.originY}, g.width, g.height, g.scale,
                                         thrData_.processed->interpolation());
}

void BigImageLabel::render()
{
    if (thrData_.image)
        rescaleSnapshot();
}

void BigImageLabel::afterRender()
{
    state_.scaledImage_ = thrData_.scaledImage_;
    pendingImage = thrData_.scaledImage_;
    pendingFlag = true;
}

void BigImageLabel::slotSetPixmap()
{
    if (!pendingFlag) {
        pixmapTimer.start();
        return;
    }
    const BigImagePtr image = pendingImage;
    pendingFlag = false;
    setPixmap(image ? QPixmap::fromImage(toQImage(image)) : QPixmap());
    pixmapTimer.start();
    emit sig_pixmap_was_set();
}

void BigImageLabel::renderNow()
{
    renderWatcher_.waitForFinished();
    takeSnapshot();
    ++renderCount_;
    render();
    afterRender();
    slotSetPixmap();
}
