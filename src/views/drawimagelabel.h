// DrawImageLabel: a BigImageLabel with an overlay. A repaint is a rescale (only when the
// view changed) and an overlay drawn on a fresh copy of the scaled image, the dirty image,
// which is what the label shows; a changed overlay alone never rescales the image.
#pragma once

#include "bigimagelabel.h"

struct DrawData {
    BigImagePtr dirtyImage_;
    bool redraw = false;
};

class DrawImageLabel : public BigImageLabel {
    Q_OBJECT
public:
    explicit DrawImageLabel(QWidget* parent = nullptr);
    ~DrawImageLabel() override;

    // GUI thread: the overlay is drawn again at the next poll.
    void requestRedraw() { drawData_.redraw = true; }
    // The image last shown, with its overlay.
    BigImagePtr dirtyImage() const { return drawData_.dirtyImage_; }
    // The scaled image under the overlay.
    BigImagePtr scaledImage() const { return state_.scaledImage_; }
    void clearImage() override;

protected:
    // Worker thread: paints into thrDrawData_.dirtyImage_ in screen coordinates.
    virtual void drawOverlay() {}
    // GUI thread, right after the snapshots: subclasses copy their overlay state.
    virtual void prepareDraw() {}

    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    bool needsRepaint() const override;
    void takeSnapshot() override;
    void render() override;
    void afterRender() override;

    DrawData drawData_;
    DrawData thrDrawData_;
};
