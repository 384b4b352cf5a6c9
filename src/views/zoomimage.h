// ZoomImage: the small label that shows one marker's neighbourhood magnified and reports
// where it was clicked, as fractions of its size; the window moves the marker.
// renderZoomWindow fills one: the neighbourhood, on the right view turned so that the
// marker line runs vertically, with a box and a cross at the marker.
#pragma once

#include "bigimage.h"

#include <QLabel>
#include <QSize>

class ZoomImage : public QLabel {
    Q_OBJECT
public:
    explicit ZoomImage(QWidget* parent = nullptr);

    float2 clickPos{0.5f, 0.5f};

signals:
    void position_changed();

protected:
    void mousePressEvent(QMouseEvent* event) override;
};

// The picture of a zoom window of `size` pixels: image I around the marker at fractions
// `marker`, z image pixels per window pixel. With an angle (the right view) the image is
// first turned by it about the marker. Any thread.
BigImagePtr zoomWindowImage(const BigImagePtr& image, QSize size, float zoom, float2 marker, const float* angle,
                            bool isRed);

// Renders into zoomWindow (sized `size`) and sets the result as its pixmap on the GUI
// thread (queued when called from another thread).
void renderZoomWindow(ZoomImage* zoomWindow, QSize size, const BigImagePtr& image, float zoom, float2 marker,
                      const float* angle, bool isRed);
