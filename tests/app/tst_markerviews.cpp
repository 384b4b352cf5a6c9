// The two marker views: clicks to fractions, which button moves which marker, and the
// overlay's pixels (dashed line, squares, corridor) at exact places.
#include "markerview.h"
#include "testimages.h"

#include <QApplication>
#include <QMouseEvent>
#include <QtTest>

#include <cmath>

namespace {

// 1000 × 500 of grey 100 on a green background: fitted into 202 × 202 at scale 5 with
// origin (0, −250), so image point (x, y) is screen point (x / 5, (y + 250) / 5).
BigImagePtr sceneImage()
{
    auto img = std::make_shared<BigImage>(1000, 500, colGreen);
    for (int y = 0; y < 500; ++y)
        for (int x = 0; x < 1000; ++x)
            img->setPixel(x, y, RgbPixel{100, 100, 100});
    return img;
}

const RgbPixel grey{100, 100, 100};

void press(QWidget* w, Qt::MouseButton button, QPoint at)
{
    QMouseEvent event(QEvent::MouseButtonPress, QPointF(at), button, button, Qt::NoModifier);
    QApplication::sendEvent(w, &event);
}

template <typename View> void prepare(View& view, ZoomImage& red, ZoomImage& blue)
{
    view.resize(202, 202);
    red.resize(200, 200);
    blue.resize(200, 200);
    view.setZoomWindows(&red, &blue);
    view.setImage(sceneImage(), QRect(-1, -1, -1, -1));
    view.renderNow();
}

} // namespace

class TestMarkerViews : public QObject {
    Q_OBJECT
private slots:
    void leftViewButtons();
    void rightViewButtons();
    void movesAndWheelChangeNothing();
    void clicksBeforeRenderAreIgnored();
    void leftOverlay();
    void rightOverlayVerticalCorridor();
    void rightOverlayTiltedCorridor();
    void rightMarkersOnOneRow();
    void markerAngle();
    void zoomWindowsFollowTheOverlay();
};

void TestMarkerViews::leftViewButtons()
{
    PaintLine view;
    ZoomImage red, blue;
    prepare(view, red, blue);
    press(&view, Qt::LeftButton, QPoint(100, 100)); // image (500, 250): the centre
    QCOMPARE(view.markerX, 0.5f);
    QCOMPARE(view.markerRedY, 0.5f);
    QCOMPARE(view.markerBlueY, 0.75f);
    press(&view, Qt::RightButton, QPoint(40, 80)); // y = (80·5 − 250) / 500
    QCOMPARE(view.markerX, 0.5f);
    QCOMPARE(view.markerBlueY, 0.3f);
    press(&view, Qt::MiddleButton, QPoint(10, 10));
    QCOMPARE(view.markerX, 0.5f);
    QCOMPARE(view.markerRedY, 0.5f);
    QCOMPARE(view.markerBlueY, 0.3f);
}

void TestMarkerViews::rightViewButtons()
{
    PaintArea view;
    ZoomImage red, blue;
    prepare(view, red, blue);
    press(&view, Qt::RightButton, QPoint(40, 80));
    QCOMPARE(view.bluePos.x, 0.2f);
    QCOMPARE(view.bluePos.y, 0.3f);
    QCOMPARE(view.redPos.x, 0.5f);
    press(&view, Qt::LeftButton, QPoint(150, 100));
    QCOMPARE(view.redPos.x, 0.75f);
    QCOMPARE(view.redPos.y, 0.5f);
    QCOMPARE(view.bluePos.x, 0.2f);
}

void TestMarkerViews::movesAndWheelChangeNothing()
{
    PaintArea view;
    ZoomImage red, blue;
    prepare(view, red, blue);
    QMouseEvent drag(QEvent::MouseMove, QPointF(30, 30), Qt::NoButton, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(&view, &drag);
    QWheelEvent wheel(QPointF(30, 30), QPointF(30, 30), QPoint(), QPoint(0, 120), Qt::NoButton, Qt::NoModifier,
                      Qt::NoScrollPhase, false);
    QApplication::sendEvent(&view, &wheel);
    QCOMPARE(view.redPos.x, 0.5f);
    QCOMPARE(view.redPos.y, 0.25f);
    QCOMPARE(view.bluePos.y, 0.75f);
    QCOMPARE(view.zoom(), -1.0f);
}

void TestMarkerViews::clicksBeforeRenderAreIgnored()
{
    PaintLine view;
    view.resize(202, 202);
    press(&view, Qt::LeftButton, QPoint(100, 100)); // no image at all
    view.setImage(sceneImage(), QRect(-1, -1, -1, -1));
    press(&view, Qt::LeftButton, QPoint(100, 100)); // not rendered yet
    QCOMPARE(view.markerX, 0.5f);
    QCOMPARE(view.markerRedY, 0.25f);
}

void TestMarkerViews::leftOverlay()
{
    // Markers at x 0.5, red y 0.25, blue y 0.75: screen column 100, rows 75 and 125.
    PaintLine view;
    ZoomImage red, blue;
    prepare(view, red, blue);
    const BigImage& d = *view.dirtyImage();
    QCOMPARE(d.width(), 200);
    // The dashed line from the top to 10 above the red marker, runs of six from white.
    QCOMPARE(d.pixelAt(100, 0), colWhite);
    QCOMPARE(d.pixelAt(100, 5), colWhite);
    QCOMPARE(d.pixelAt(100, 6), colBlack);
    QCOMPARE(d.pixelAt(100, 59), colBlack); // point 59: (59 / 6) odd
    QCOMPARE(d.pixelAt(100, 64), colWhite); // point 64: (64 / 6) even
    // The gap at the red marker inside its square.
    for (int y = 66; y <= 84; ++y)
        QCOMPARE(d.pixelAt(100, y), grey);
    // The red square from (90, 65) to (111, 86).
    for (int i = 90; i <= 111; ++i) {
        QCOMPARE(d.pixelAt(i, 65), colRed);
        QCOMPARE(d.pixelAt(i, 86), colRed);
    }
    for (int i = 65; i <= 86; ++i) {
        QCOMPARE(d.pixelAt(90, i), colRed);
        QCOMPARE(d.pixelAt(111, i), colRed);
    }
    // The line again from 10 below it, starting a new pattern; the blue square over it.
    QCOMPARE(d.pixelAt(100, 85), colWhite);
    QCOMPARE(d.pixelAt(100, 91), colBlack);
    QCOMPARE(d.pixelAt(100, 115), colBlue);
    QCOMPARE(d.pixelAt(90, 125), colBlue);
    QCOMPARE(d.pixelAt(111, 136), colBlue);
    QCOMPARE(d.pixelAt(100, 199), colBlack); // point 114 of the lower line
    QCOMPARE(d.pixelAt(101, 120), grey);
    // The scaled image under it stays clean.
    QCOMPARE(view.scaledImage()->pixelAt(100, 0), colGreen);
}

void TestMarkerViews::rightOverlayVerticalCorridor()
{
    // Blue straight below red: corridor lines matchWidth / (2 · scale) = 5 screen pixels
    // left and right of column 100, over the full height; axis-aligned squares.
    PaintArea view;
    ZoomImage red, blue;
    prepare(view, red, blue);
    const BigImage& d = *view.dirtyImage();
    for (int x : {95, 105}) {
        QCOMPARE(d.pixelAt(x, 0), colWhite);
        QCOMPARE(d.pixelAt(x, 6), colBlack);
        QCOMPARE(d.pixelAt(x, 199), colBlack);
        QCOMPARE(d.pixelAt(x, 120), colWhite); // point 120: (120 / 6) even
    }
    QCOMPARE(d.pixelAt(100, 30), colGreen);
    QCOMPARE(d.pixelAt(100, 65), colRed);
    QCOMPARE(d.pixelAt(100, 85), colRed);
    QCOMPARE(d.pixelAt(90, 75), colRed);
    QCOMPARE(d.pixelAt(110, 75), colRed);
    QCOMPARE(d.pixelAt(100, 135), colBlue);
    QCOMPARE(d.pixelAt(100, 75), grey);

    view.matchWidth = 100; // wider: 10 pixels each side
    view.requestRedraw();
    view.renderNow();
    QCOMPARE(view.dirtyImage()->pixelAt(90, 24), colWhite);
    QCOMPARE(view.dirtyImage()->pixelAt(90, 30), colBlack);
    QCOMPARE(view.dirtyImage()->pixelAt(95, 24), colGreen);
}

void TestMarkerViews::rightOverlayTiltedCorridor()
{
    // Red at screen (100, 75), blue at (120, 125): slope 0.4 pixels a row.
    PaintArea view;
    ZoomImage red, blue;
    prepare(view, red, blue);
    view.bluePos = float2{0.6f, 0.75f};
    view.requestRedraw();
    view.renderNow();
    const BigImage& d = *view.dirtyImage();
    const float g = 0.4f;
    const int m = int(50 * 0.5f * std::sqrt(1.0f + g * g) / 5.0f); // 5
    const int t = int(100.0f - g * 75.0f);                          // 70
    QCOMPARE(m, 5);
    QCOMPARE(d.pixelAt(t - m, 0), colWhite);
    QCOMPARE(d.pixelAt(t + m, 0), colWhite);
    const int v = int(100.0f + g * (199.0f - 75.0f)); // 149
    QCOMPARE(d.pixelAt(v + m, 199) == colWhite || d.pixelAt(v + m, 199) == colBlack, true);
    QCOMPARE(d.pixelAt(t, 0), colGreen);
}

void TestMarkerViews::rightMarkersOnOneRow()
{
    // The slope is undefined: no corridor, upright squares, and no crash.
    PaintArea view;
    ZoomImage red, blue;
    prepare(view, red, blue);
    view.redPos = float2{0.3f, 0.5f};
    view.bluePos = float2{0.7f, 0.5f};
    view.requestRedraw();
    view.renderNow();
    const BigImage& d = *view.dirtyImage();
    // Red at screen (60, 100), blue at (140, 100).
    QCOMPARE(d.pixelAt(60, 90), colRed);
    QCOMPARE(d.pixelAt(50, 100), colRed);
    QCOMPARE(d.pixelAt(140, 110), colBlue);
    for (int y = 0; y < 200; y += 10)
        QVERIFY(d.pixelAt(55, y) != colWhite && d.pixelAt(65, y) != colWhite);
    // The same marker twice is no better defined; still no crash.
    view.bluePos = view.redPos;
    view.requestRedraw();
    view.renderNow();
    QVERIFY(view.dirtyImage());
}

void TestMarkerViews::markerAngle()
{
    const BigImagePtr image = BigImage::makeUnfilled(1000, 500);
    QCOMPARE(PaintArea::markerAngle(float2{0.5f, 0.25f}, float2{0.5f, 0.75f}, image), 0.0f);
    QVERIFY(PaintArea::markerAngle(float2{0.5f, 0.25f}, float2{0.6f, 0.75f}, image) < 0.0f);
    QVERIFY(PaintArea::markerAngle(float2{0.5f, 0.25f}, float2{0.4f, 0.75f}, image) > 0.0f);
}

void TestMarkerViews::zoomWindowsFollowTheOverlay()
{
    PaintArea view;
    ZoomImage red, blue;
    prepare(view, red, blue);
    QTRY_COMPARE(red.pixmap(Qt::ReturnByValue).size(), QSize(200, 200));
    QTRY_COMPARE(blue.pixmap(Qt::ReturnByValue).size(), QSize(200, 200));
    // Red box in the red window, blue in the blue one.
    QCOMPARE(fromQRgb(red.pixmap(Qt::ReturnByValue).toImage().pixel(80, 80)), colRed);
    QCOMPARE(fromQRgb(blue.pixmap(Qt::ReturnByValue).toImage().pixel(80, 80)), colBlue);
}

int runMarkerViewTests(int argc, char** argv)
{
    TestMarkerViews test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_markerviews.moc"
