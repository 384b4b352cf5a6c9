// The two input views of the main window: DrawImageLabels whose overlay is a red (upper)
// and a blue (lower) marker that the user sets with the mouse, each with a zoom window.
// PaintLine (left image): both markers share one x, a vertical line. PaintArea (right
// image): free markers, a possibly tilted line, and the matching corridor round it.
// Markers are fractions of the image size, so turning or exchanging images keeps them.
#pragma once

#include "drawimagelabel.h"
#include "zoomimage.h"

class QMimeData;
class StatusWatcher;

class MarkerView : public DrawImageLabel {
    Q_OBJECT
public:
    explicit MarkerView(QWidget* parent = nullptr);

    void setZoomWindows(ZoomImage* red, ZoomImage* blue);
    ZoomImage* redZoomLabel() const { return redZoomLabel_; }
    ZoomImage* blueZoomLabel() const { return blueZoomLabel_; }
    void setWatcher(StatusWatcher* watcher) { watcher_ = watcher; }
    StatusWatcher* watcher() const { return watcher_; }

    // Image pixels per zoom-window pixel.
    float zoomFactor = 1.0f;

    // Renders both zoom windows from the current markers (GUI thread).
    virtual void renderZoomWindows() = 0;

    // The one local file that a drag brings, or an empty name for anything else (several
    // files, a web address, text): only such a drag may drop here.
    static QString droppedFile(const QMimeData* data);

signals:
    // A local file was dropped onto the view; the window loads it into this side.
    void fileDropped(const QString& fileName);

protected:
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;
    // The click at widget position `pos` as fractions of the image; false while the view
    // has no image or has not rendered it yet.
    bool clickFraction(const QPoint& pos, float2* fraction) const;
    void mouseMoveEvent(QMouseEvent* event) override;
    // Sets a marker for the button; true when one changed.
    virtual bool placeMarker(Qt::MouseButton button, float2 fraction) = 0;
    void mousePressEvent(QMouseEvent* event) override;
    void prepareDraw() override;

    // Zoom-window sizes, taken on the GUI thread with the snapshot.
    QSize redZoomSize_, blueZoomSize_;
    float thrZoomFactor_ = 1.0f;

private:
    ZoomImage* redZoomLabel_ = nullptr;
    ZoomImage* blueZoomLabel_ = nullptr;
    StatusWatcher* watcher_ = nullptr;
};

class PaintLine : public MarkerView {
    Q_OBJECT
public:
    explicit PaintLine(QWidget* parent = nullptr);
    ~PaintLine() override;

    // Where a new window has the markers.
    static constexpr float kStartX = 0.5f;
    static constexpr float kStartRedY = 0.25f;
    static constexpr float kStartBlueY = 0.75f;
    float markerX = kStartX;
    float markerRedY = kStartRedY;
    float markerBlueY = kStartBlueY;

    // Both markers back at their start.
    void resetMarkers();
    void renderZoomWindows() override;

protected:
    bool placeMarker(Qt::MouseButton button, float2 fraction) override;
    void prepareDraw() override;
    void drawOverlay() override;

private:
    float thrX_ = kStartX, thrRedY_ = kStartRedY, thrBlueY_ = kStartBlueY;
};

class PaintArea : public MarkerView {
    Q_OBJECT
public:
    explicit PaintArea(QWidget* parent = nullptr);
    ~PaintArea() override;

    float2 redPos{0.5f, 0.25f};
    float2 bluePos{0.5f, 0.75f};
    int32_t matchWidth = 50;

    // The turn that makes the marker line vertical: atan2 of the line in image pixels,
    // less a quarter turn; 0 when blue lies straight below red.
    static float markerAngle(float2 red, float2 blue, const BigImagePtr& image);
    void renderZoomWindows() override;

protected:
    bool placeMarker(Qt::MouseButton button, float2 fraction) override;
    void prepareDraw() override;
    void drawOverlay() override;

private:
    float2 thrRed_{0.5f, 0.25f}, thrBlue_{0.5f, 0.75f};
    int32_t thrMatchWidth_ = 50;
};
