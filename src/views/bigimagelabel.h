// BigImageLabel: a QLabel that shows a BigImage of any size. It renders a scaled image of
// exactly the visible area on a pool thread from a snapshot of its state and hands the
// result to the GUI thread, which turns it into the label's pixmap. Requests are flags that
// two 25 ms timers poll, so any number of them between two polls costs one render.
#pragma once

#include "bigimage.h"

#include <QAbstractSlider>
#include <QFutureWatcher>
#include <QLabel>
#include <QPointer>
#include <QRect>
#include <QTimer>

#include <atomic>

struct BigImageLoadData;
class StatusWatcher;

// The state of a view; held twice: the request state (GUI thread) and the render snapshot.
struct ViewState {
    BigImagePtr image;
    BigImagePtr processed;
    BigImagePtr scaledImage_;
    bool centreMode = false;
    float2 centre;
    float zoom = -1.0f; // image pixels per screen pixel; negative: fit the whole image
    int32_t viewWidth = 0;
    int32_t viewHeight = 0;
    float2 scroll;
    bool repaint = false;
    QRect region{0, 0, -1, -1};
};

// The visible area: image coordinates of the top left corner, the size to render, and the
// image pixels per screen pixel.
struct ViewGeometry {
    float originX = 0.0f;
    float originY = 0.0f;
    int32_t width = 1;
    int32_t height = 1;
    float scale = 1.0f;
};

class BigImageLabel : public QLabel {
    Q_OBJECT
public:
    explicit BigImageLabel(QWidget* parent = nullptr);
    ~BigImageLabel() override;

    // GUI thread. A null image changes nothing; a region with a negative left edge means
    // the whole image.
    virtual void setImage(const BigImagePtr& image, const QRect& region);
    // The open dialog, then loadImageFile with the name picked (nothing when cancelled).
    void openImageFile(BigImageLoadData& data);
    // The loader for the file's suffix, and the result into setImage; a failed load keeps
    // the image that the view held, and the loader has told why.
    void loadImageFile(const QString& fileName, BigImageLoadData& data);
    // No image any more: the view shows nothing until it is given one.
    virtual void clearImage();
    // Turns the image a quarter in place (on the pool, with a progress dialog when a watcher
    // is given) while no render reads it, then renders it again. Nothing without an image.
    void turnImage(bool clockwise, StatusWatcher* watcher);

    BigImagePtr image() const { return state_.image; }
    // Whether a screen-sized image has been rendered for the current image.
    bool hasRendered() const { return state_.scaledImage_ != nullptr; }
    float zoom() const { return state_.zoom; }
    void setZoom(float zoom);
    // External scroll bars, read at each repaint (0..maximum → 0..1).
    void setScrollBars(QAbstractSlider* vertical, QAbstractSlider* horizontal);
    const ViewState& viewState() const { return state_; }

    // The view computation for a state (a pure function of it).
    static ViewGeometry viewGeometry(const ViewState& state);
    // The geometry of the last repaint request, for mouse positions.
    ViewGeometry currentGeometry() const { return viewGeometry(state_); }

    // While held, no new render starts; waitForRender returns when the running one is done.
    // Whoever rewrites the image in place holds the view meanwhile, and every subclass that
    // overrides render or drawOverlay waits in its destructor.
    void setRenderingHeld(bool held) { held_ = held; }
    void waitForRender() { renderWatcher_.waitForFinished(); }

    // How many renders have run; for tests and the benchmark.
    int renderCount() const { return renderCount_; }
    // One whole repaint cycle on the calling thread, for tests and the benchmark: snapshot,
    // render, hand-over, pixmap.
    void renderNow();

signals:
    void sig_progress(size_t);
    void sig_recalc_center();
    void sig_pixmap_was_set();

public slots:
    void orderRescale();
    void slotRepaint();
    void slotSetPixmap();

protected:
    void resizeEvent(QResizeEvent* event) override;

    // Worker thread: works only on the snapshot.
    virtual void render();
    // Worker thread: renders the snapshot's visible area into its scaledImage_.
    void rescaleSnapshot();
    // GUI thread, after a render: the result becomes the pending image.
    virtual void afterRender();
    virtual bool needsRepaint() const;
    // GUI thread: copies the request state into the snapshot and clears the request.
    virtual void takeSnapshot();

    ViewState state_;   // the request state
    ViewState thrData_; // the render snapshot
    BigImagePtr pendingImage;
    std::atomic<bool> pendingFlag{false};
    // Optional external scroll bars; subclasses may move them (dragging the view).
    QPointer<QAbstractSlider> vScrollBar;
    QPointer<QAbstractSlider> hScrollBar;

private slots:
    void renderFinished();

private:
    QTimer repaintTimer;
    QTimer pixmapTimer;
    QFutureWatcher<void> renderWatcher_;
    int renderCount_ = 0;
    bool held_ = false;
};
