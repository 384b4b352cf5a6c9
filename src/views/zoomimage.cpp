#include "zoomimage.h"

#include "assertion.h"
#include "rotation.h"
#include "sampling.h"

#include <QCoreApplication>
#include <QMouseEvent>
#include <QPixmap>
#include <QPointer>
#include <QThread>

#include <cmath>

ZoomImage::ZoomImage(QWidget* parent) : QLabel(parent, Qt::WindowFlags()) {}

void ZoomImage::mousePressEvent(QMouseEvent* event)
{
    // Every button alike; the event stops here.
    clickPos = float2{float(event->pos().x()) / float(width()), float(event->pos().y()) / float(height())};
    emit position_changed();
}

BigImagePtr zoomWindowImage(const BigImagePtr& image, QSize size, float zoom, float2 marker, const float* angle,
                            bool isRed)
{
    const int32_t w = size.width();
    const int32_t h = size.height();
    BigImagePtr T = makeBigImage(w, h);
    if (!image || w <= 0 || h <= 0)
        return T;
    const float W = float(image->width());
    const float H = float(image->height());
    if (angle) {
        // Turned about the marker: R's centre shows the marker and the marker line runs
        // vertically through it.
        BigImagePtr R = makeBigImage(int32_t(float(w) * zoom + 0.5f), int32_t(float(h) * zoom + 0.5f));
        BigImageProcessing::rotate(image, R, *angle, float2{float(R->width()) * 0.5f, float(R->height()) * 0.5f},
                                   float2{-marker.x * W, -marker.y * H}, nullptr);
        float y = 0.0f;
        for (int32_t i = 0; i < h; ++i, y += zoom)
            sampleCubicRow(*R, 0.0f, y, zoom, 0.0f, w, T->row(i));
    } else {
        float y = H * marker.y - 0.5f * float(h) * zoom;
        const float x0 = W * marker.x - 0.5f * float(w) * zoom;
        for (int32_t i = 0; i < h; ++i, y += zoom)
            sampleCubicRow(*image, x0, y, zoom, 0.0f, w, T->row(i));
    }
    const int32_t l = w / 2;
    const int32_t k = h / 2;
    LineStyle dashed(colBlack, LineStyle::StyleDashed, colWhite, LineStyle::Opaque, 0, 1.0f);
    T->drawLine(l, 0, l, k - 20, &dashed);
    T->drawLine(l, k + 20, l, h - 1, &dashed);
    LineStyle box(isRed ? colRed : colBlue);
    T->drawBox(l - 20, k - 20, l + 21, k + 21, &box);
    LineStyle cross(colWhite);
    T->drawLine(l - 5, k, l + 5, k, &cross);
    T->drawLine(l, k - 5, l, k + 5, &cross);
    return T;
}

void renderZoomWindow(ZoomImage* zoomWindow, QSize size, const BigImagePtr& image, float zoom, float2 marker,
                      const float* angle, bool isRed)
{
    SW_ASSERT(zoomWindow != nullptr);
    const QImage picture = toQImage(zoomWindowImage(image, size, zoom, marker, angle, isRed));
    QPointer<ZoomImage> target(zoomWindow);
    auto show = [target, picture] {
        if (target)
            target->setPixmap(QPixmap::fromImage(picture));
    };
    if (QThread::currentThread() == zoomWindow->thread())
        show();
    else
        QMetaObject::invokeMethod(zoomWindow, show, Qt::QueuedConnection);
}
