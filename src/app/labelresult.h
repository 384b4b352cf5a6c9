// LabelResult: the view of the result dialog. A BigImageLabel that the user drags with the
// left mouse button through the dialog's scroll bars, and that can mark the stitch's
// transition zone with two vertical lines drawn into the rendered view image.
#pragma once

#include "bigimagelabel.h"

#include <cstdint>

// What the result view adds to the view state; held twice like ViewState: the request set
// (GUI thread) and the render snapshot.
struct ResultViewState {
    int32_t pressX = 0; // widget position of the last left-button press
    int32_t pressY = 0;
    float pressScrollH = 0.0f; // the scroll bars' value / maximum at that press
    float pressScrollV = 0.0f;
    bool showStitch = false;
    int32_t stitchStart = 0; // first column of the transition zone, result image
    int32_t stitchEnd = 0;   // column after the transition zone
    // After an odd number of quarter turns the zone is a band of rows: stitchStart is its
    // first row, stitchEnd the row after it, and the lines run across.
    bool zoneAcross = false;
};

class LabelResult : public BigImageLabel {
    Q_OBJECT
public:
    explicit LabelResult(QWidget* parent = nullptr);
    ~LabelResult() override;

    // GUI thread; each requests a repaint.
    void setShowStitch(bool on);
    void setStitchZone(int32_t stitchStart, int32_t stitchEnd, bool across = false);
    bool showStitch() const { return result_.showStitch; }
    int32_t stitchStart() const { return result_.stitchStart; }
    int32_t stitchEnd() const { return result_.stitchEnd; }
    bool zoneAcross() const { return result_.zoneAcross; }
    // The image turned a quarter in place, and the zone with it, so that the lines keep
    // marking the same pixels.
    void turnResult(bool clockwise, StatusWatcher* watcher);

    // The colour of the two zone lines.
    static constexpr RgbPixel zoneColour{9, 60, 139};

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void takeSnapshot() override;
    void render() override;

private:
    ResultViewState result_;    // the request set
    ResultViewState thrResult_; // the render snapshot
};
