// The image views: the view computation, the request and render cycle, the overlay stage,
// the open dialog, and the zoom windows with their picture.
#include "bigimagelabel.h"
#include "drawimagelabel.h"
#include "filedialogs.h"
#include "iodata.h"
#include "recordingwatcher.h"
#include "rotation.h"
#include "sampling.h"
#include "testimages.h"
#include "zoomimage.h"

#include <QApplication>
#include <QFileDialog>
#include <QLineEdit>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtConcurrent>
#include <QtTest>

#include <cmath>

namespace {

ViewState stateFor(const BigImagePtr& image, int viewWidth, int viewHeight, float zoom, float2 scroll = {})
{
    ViewState s;
    s.image = image;
    s.viewWidth = viewWidth;
    s.viewHeight = viewHeight;
    s.zoom = zoom;
    s.scroll = scroll;
    return s;
}

// An overlay of one white pixel at (2, 3) of the screen.
class DotLabel : public DrawImageLabel {
public:
    using DrawImageLabel::DrawImageLabel;
    ~DotLabel() override
    {
        setRenderingHeld(true);
        waitForRender();
    }
    int overlays = 0;

protected:
    void drawOverlay() override
    {
        ++overlays;
        thrDrawData_.dirtyImage_->setPixel(2, 3, colWhite);
    }
};

} // namespace

class TestViews : public QObject {
    Q_OBJECT
private slots:
    void geometry_data();
    void geometry();
    void tinyViewsAndEmptyImages();
    void rendersTheVisibleArea();
    void requestsCoalesce();
    void resizeDuringRenderRendersAgain();
    void nullImageChangesNothing();
    void scrollBarsWithoutRange();
    void overlayOnlyKeepsTheScaledImage();
    void resizeWithRedrawIsOneRender();
    void wheelIsSwallowed();
    void openCancelled();
    void openUnsupported();
    void openLoads();
    void zoomClicks_data();
    void zoomClicks();
    void zoomWindowOverlay();
    void zoomWindowSamplesTheImage();
    void zoomWindowTurnsTheMarkerLineUpright();
    void zoomWindowPixmapFromAnotherThread();
};

void TestViews::geometry_data()
{
    QTest::addColumn<int>("imageW");
    QTest::addColumn<int>("imageH");
    QTest::addColumn<int>("viewW");
    QTest::addColumn<int>("viewH");
    QTest::addColumn<float>("zoom");
    QTest::addColumn<float>("scrollX");
    QTest::addColumn<float>("scrollY");
    QTest::addColumn<float>("scale");
    QTest::addColumn<float>("originX");
    QTest::addColumn<float>("originY");
    QTest::addColumn<int>("width");
    QTest::addColumn<int>("height");
    QTest::newRow("1000 x 500 fitted in 202 x 202") << 1000 << 500 << 202 << 202 << -1.0f << 0.0f << 0.0f << 5.0f
                                                    << 0.0f << -250.0f << 200 << 200;
    QTest::newRow("100 x 100 enlarged") << 100 << 100 << 202 << 202 << -1.0f << 0.0f << 0.0f << 0.5f << 0.0f << 0.0f
                                        << 200 << 200;
    QTest::newRow("tall image") << 300 << 1200 << 402 << 202 << -1.0f << 0.0f << 0.0f << 6.0f << -1050.0f << 0.0f
                                << 400 << 200;
    QTest::newRow("zoom 2, top left") << 1000 << 800 << 202 << 102 << 2.0f << 0.0f << 0.0f << 2.0f << 0.0f << 0.0f
                                      << 200 << 100;
    QTest::newRow("zoom 2, scrolled") << 1000 << 800 << 202 << 102 << 2.0f << 0.5f << 1.0f << 2.0f << 300.0f
                                      << 600.0f << 200 << 100;
}

void TestViews::geometry()
{
    QFETCH(int, imageW);
    QFETCH(int, imageH);
    QFETCH(int, viewW);
    QFETCH(int, viewH);
    QFETCH(float, zoom);
    QFETCH(float, scrollX);
    QFETCH(float, scrollY);
    const ViewGeometry g = BigImageLabel::viewGeometry(
        stateFor(BigImage::makeUnfilled(imageW, imageH), viewW, viewH, zoom, float2{scrollX, scrollY}));
    QTEST(g.scale, "scale");
    QTEST(g.originX, "originX");
    QTEST(g.originY, "originY");
    QTEST(g.width, "width");
    QTEST(g.height, "height");
}

void TestViews::tinyViewsAndEmptyImages()
{
    // No division by zero, no endless numbers: a view of 2 x 2 or less shows one pixel.
    for (const QSize view : {QSize(2, 2), QSize(0, 0), QSize(1, 50)}) {
        const ViewGeometry g = BigImageLabel::viewGeometry(stateFor(makeBigImage(640, 480), view.width(), view.height(), -1.0f));
        QVERIFY(std::isfinite(g.scale) && g.scale > 0.0f);
        QVERIFY(std::isfinite(g.originX) && std::isfinite(g.originY));
        QVERIFY(g.width >= 1 && g.height >= 1);
    }
    for (const BigImagePtr& image : {BigImagePtr(), BigImage::makeUnfilled(0, 10)}) {
        const ViewGeometry g = BigImageLabel::viewGeometry(stateFor(image, 202, 202, -1.0f));
        QCOMPARE(g.scale, 1.0f);
        QCOMPARE(g.width, 1);
        QCOMPARE(g.height, 1);
    }
}

void TestViews::rendersTheVisibleArea()
{
    BigImageLabel label;
    label.resize(202, 152);
    QSignalSpy shown(&label, &BigImageLabel::sig_pixmap_was_set);
    const BigImagePtr image = makeRandom(400, 300, 3);
    label.setImage(image, QRect(-1, -1, -1, -1));
    QCOMPARE(label.viewState().region, QRect(0, 0, 400, 300));
    QTRY_VERIFY(shown.count() >= 1);
    QCOMPARE(label.pixmap(Qt::ReturnByValue).size(), QSize(200, 150));
    // Fitted at scale 2: screen pixel (j, i) shows image pixel (2j, 2i) exactly.
    const QImage shownImage = label.pixmap(Qt::ReturnByValue).toImage();
    QCOMPARE(fromQRgb(shownImage.pixel(7, 5)), image->pixelAt(14, 10));
    QVERIFY(label.hasRendered());
}

void TestViews::requestsCoalesce()
{
    BigImageLabel label;
    label.resize(202, 202);
    label.setImage(makeRandom(300, 300, 4), QRect(-1, -1, -1, -1));
    QTRY_COMPARE(label.renderCount(), 1);
    QTest::qWait(100);
    QCOMPARE(label.renderCount(), 1);
    label.orderRescale();
    label.orderRescale();
    QTRY_COMPARE(label.renderCount(), 2);
    QTest::qWait(150);
    QCOMPARE(label.renderCount(), 2);
}

void TestViews::resizeDuringRenderRendersAgain()
{
    BigImageLabel label;
    label.resize(802, 602);
    label.show(); // hidden widgets get their resize events only when shown
    QSignalSpy shown(&label, &BigImageLabel::sig_pixmap_was_set);
    label.setImage(makeRandom(3000, 2000, 5), QRect(-1, -1, -1, -1));
    QTRY_COMPARE(label.renderCount(), 1);
    label.resize(402, 302); // the first render is under way now
    QTRY_COMPARE(label.renderCount(), 2);
    QTRY_COMPARE(label.pixmap(Qt::ReturnByValue).size(), QSize(400, 300));
    QTest::qWait(100);
    QCOMPARE(label.renderCount(), 2);
}

void TestViews::nullImageChangesNothing()
{
    BigImageLabel label;
    label.resize(102, 102);
    const BigImagePtr image = makeRandom(50, 50, 6);
    label.setImage(image, QRect(-1, -1, -1, -1));
    QTRY_COMPARE(label.renderCount(), 1);
    QTest::qWait(60);
    const qint64 key = label.pixmap(Qt::ReturnByValue).cacheKey();
    label.setImage(nullptr, QRect(-1, -1, -1, -1));
    QVERIFY(!label.viewState().repaint);
    QTest::qWait(100);
    QCOMPARE(label.renderCount(), 1);
    QCOMPARE(label.image(), image);
    QCOMPARE(label.pixmap(Qt::ReturnByValue).cacheKey(), key);
}

void TestViews::scrollBarsWithoutRange()
{
    BigImageLabel label;
    label.resize(102, 102);
    QScrollBar vertical(Qt::Vertical), horizontal(Qt::Horizontal);
    vertical.setRange(0, 0);
    horizontal.setRange(0, 0);
    label.setScrollBars(&vertical, &horizontal);
    label.setImage(makeRandom(500, 500, 7), QRect(-1, -1, -1, -1));
    label.setZoom(1.0f);
    label.renderNow();
    QCOMPARE(label.viewState().scroll.x, 0.0f);
    QCOMPARE(label.viewState().scroll.y, 0.0f);
    horizontal.setRange(0, 200);
    horizontal.setValue(50);
    label.orderRescale();
    label.renderNow();
    QCOMPARE(label.viewState().scroll.x, 0.25f);
    QCOMPARE(label.currentGeometry().originX, 100.0f); // (500 − 100) · 0.25
}

void TestViews::overlayOnlyKeepsTheScaledImage()
{
    DotLabel label;
    label.resize(202, 202);
    label.setImage(makeRandom(500, 400, 8), QRect(-1, -1, -1, -1));
    label.renderNow();
    const BigImagePtr scaled = label.scaledImage();
    QVERIFY(scaled);
    QCOMPARE(label.overlays, 1);
    const BigImagePtr firstDirty = label.dirtyImage();

    label.requestRedraw();
    label.renderNow();
    QCOMPARE(label.overlays, 2);
    QCOMPARE(label.scaledImage(), scaled); // not rendered again
    const BigImagePtr dirty = label.dirtyImage();
    QVERIFY(dirty != firstDirty && dirty != scaled);
    // The dirty image is the scaled image with the overlay, and the scaled one stays clean.
    for (int y = 0; y < dirty->height(); ++y)
        for (int x = 0; x < dirty->width(); ++x)
            if (!(x == 2 && y == 3))
                QCOMPARE(dirty->pixelAt(x, y), scaled->pixelAt(x, y));
    QCOMPARE(dirty->pixelAt(2, 3), colWhite);
}

void TestViews::resizeWithRedrawIsOneRender()
{
    DotLabel label;
    label.resize(202, 202);
    label.show();
    label.setImage(makeRandom(500, 400, 8), QRect(-1, -1, -1, -1));
    QTRY_COMPARE(label.overlays, 1);
    QTest::qWait(100);
    const int renders = label.renderCount();
    label.requestRedraw();
    label.resize(302, 302);
    QTRY_COMPARE(label.scaledImage()->width(), 300);
    QTest::qWait(100);
    QCOMPARE(label.renderCount(), renders + 1);
    QCOMPARE(label.overlays, 2);
}

void TestViews::wheelIsSwallowed()
{
    struct Parent : QWidget {
        int wheels = 0;
        void wheelEvent(QWheelEvent*) override { ++wheels; }
    } parent;
    auto* label = new DotLabel(&parent);
    label->resize(102, 102);
    label->setImage(makeRandom(50, 50, 9), QRect(-1, -1, -1, -1));
    QWheelEvent wheel(QPointF(10, 10), QPointF(10, 10), QPoint(), QPoint(0, 120), Qt::NoButton, Qt::NoModifier,
                      Qt::NoScrollPhase, false);
    QApplication::sendEvent(label, &wheel);
    QCOMPARE(parent.wheels, 0);
    QCOMPARE(label->zoom(), -1.0f);
    QVERIFY(!label->viewState().repaint || label->renderCount() == 0);
}

void TestViews::openCancelled()
{
    BigImageLabel label;
    const BigImagePtr image = makeRandom(20, 20, 1);
    label.setImage(image, QRect(-1, -1, -1, -1));
    RecordingWatcher watcher;
    BigImageLoadData data;
    data.watcher = &watcher;
    answerFileDialog(this, QString());
    label.openImageFile(data);
    QVERIFY(watcher.messages().isEmpty());
    QCOMPARE(label.image(), image);
    QVERIFY(!data.loaded);
    QCOMPARE(data.filename, QString("no file loaded"));
}

void TestViews::openUnsupported()
{
    QTemporaryDir dir;
    const QString path = dir.filePath("scan.xyz");
    QVERIFY(toQImage(makeF()).save(path, "png"));
    BigImageLabel label;
    RecordingWatcher watcher;
    BigImageLoadData data;
    data.watcher = &watcher;
    answerFileDialog(this, path);
    label.openImageFile(data);
    QCOMPARE(watcher.messages(), QStringList{"Unsupported fileformat: " + path});
    QVERIFY(!label.image());
}

void TestViews::openLoads()
{
    QTemporaryDir dir;
    const QString path = dir.filePath("scan.png");
    const BigImagePtr f = makeF();
    QVERIFY(toQImage(f).save(path, "png"));
    BigImageLabel label;
    label.resize(50, 50);
    BigImageLoadData data;
    answerFileDialog(this, path);
    label.openImageFile(data);
    QVERIFY(data.loaded);
    QCOMPARE(data.filename, path);
    QVERIFY(label.image());
    QVERIFY(samePixels(*label.image(), *f));
    QVERIFY(label.viewState().repaint);
}

void TestViews::zoomClicks_data()
{
    QTest::addColumn<int>("button");
    QTest::addColumn<QPoint>("at");
    QTest::addColumn<float>("x");
    QTest::addColumn<float>("y");
    QTest::newRow("left at the corner") << int(Qt::LeftButton) << QPoint(0, 0) << 0.0f << 0.0f;
    QTest::newRow("right at the centre") << int(Qt::RightButton) << QPoint(100, 100) << 0.5f << 0.5f;
    QTest::newRow("middle") << int(Qt::MiddleButton) << QPoint(50, 150) << 0.25f << 0.75f;
}

void TestViews::zoomClicks()
{
    QFETCH(int, button);
    QFETCH(QPoint, at);
    QFETCH(float, x);
    QFETCH(float, y);
    ZoomImage zoom;
    zoom.resize(200, 200);
    QCOMPARE(zoom.clickPos.x, 0.5f);
    QSignalSpy spy(&zoom, &ZoomImage::position_changed);
    // A press of its own: QTest takes the point (0, 0) for "the centre".
    QMouseEvent press(QEvent::MouseButtonPress, QPointF(at), Qt::MouseButton(button), Qt::MouseButton(button),
                      Qt::NoModifier);
    QApplication::sendEvent(&zoom, &press);
    QCOMPARE(spy.count(), 1); // also without a picture
    QCOMPARE(zoom.clickPos.x, x);
    QCOMPARE(zoom.clickPos.y, y);
}

void TestViews::zoomWindowOverlay()
{
    // A black image: the overlay stands out in exact places. l = k = 100.
    const BigImagePtr black = std::make_shared<BigImage>(400, 400, colBlack);
    const BigImagePtr T = zoomWindowImage(black, QSize(200, 200), 1.0f, float2{0.5f, 0.5f}, nullptr, true);
    QCOMPARE(T->width(), 200);
    // The box from (80, 80) to (121, 121) in red.
    for (int i = 80; i <= 121; ++i) {
        QCOMPARE(T->pixelAt(i, 80), colRed);
        QCOMPARE(T->pixelAt(i, 121), colRed);
        QCOMPARE(T->pixelAt(80, i), colRed);
        QCOMPARE(T->pixelAt(121, i), colRed);
    }
    // The white cross at the marker, over ±5 pixels.
    for (int i = 95; i <= 105; ++i) {
        QCOMPARE(T->pixelAt(i, 100), colWhite);
        QCOMPARE(T->pixelAt(100, i), colWhite);
    }
    QCOMPARE(T->pixelAt(94, 100), colBlack);
    // The dashed line above (rows 0 to 80) and below (120 to 199): runs of six.
    QCOMPARE(T->pixelAt(100, 0), colWhite);
    QCOMPARE(T->pixelAt(100, 6), colBlack);
    QCOMPARE(T->pixelAt(100, 120), colWhite);
    QCOMPARE(T->pixelAt(100, 126), colBlack);
    QCOMPARE(T->pixelAt(100, 90), colBlack); // the gap
    const BigImagePtr blue = zoomWindowImage(black, QSize(200, 200), 1.0f, float2{0.5f, 0.5f}, nullptr, false);
    QCOMPARE(blue->pixelAt(80, 80), colBlue);
}

void TestViews::zoomWindowSamplesTheImage()
{
    const BigImagePtr image = makeRandom(300, 200, 10);
    const float z = 0.5f;
    const float2 marker{0.3f, 0.6f};
    const BigImagePtr T = zoomWindowImage(image, QSize(200, 200), z, marker, nullptr, true);
    // Away from the overlay: T(j, i) = sampleCubic at W·px − 0.5·w·z + j·z (sums in float).
    float y = 200.0f * marker.y - 0.5f * 200.0f * z;
    for (int i = 0; i < 60; ++i, y += z) {
        float x = 300.0f * marker.x - 0.5f * 200.0f * z;
        for (int j = 0; j < 60; ++j, x += z)
            QCOMPARE(T->pixelAt(j, i), sampleCubic(*image, x, y));
    }
}

void TestViews::zoomWindowTurnsTheMarkerLineUpright()
{
    // A white image with a thick black line from (200, 100) to (260, 300): in the turned
    // zoom window the line runs down the centre column.
    auto image = std::make_shared<BigImage>(400, 400, colWhite);
    for (int y = 0; y < 400; ++y)
        for (int x = 0; x < 400; ++x) {
            // distance to the line through the two points
            const double d = std::fabs((260.0 - 200.0) * (100.0 - y) - (200.0 - x) * (300.0 - 100.0))
                             / std::hypot(60.0, 200.0);
            image->setPixel(x, y, d < 3.0 ? colBlack : colWhite);
        }
    const float2 red{200.0f / 400.0f, 100.0f / 400.0f};
    const float2 blue{260.0f / 400.0f, 300.0f / 400.0f};
    const float theta = std::atan2((blue.y - red.y) * 400.0f, (blue.x - red.x) * 400.0f) - 1.5707964f;
    QVERIFY(theta < 0.0f); // blue to the right of straight below
    const BigImagePtr T = zoomWindowImage(image, QSize(200, 200), 1.0f, red, &theta, true);
    for (int i = 130; i < 200; i += 7) {
        QVERIFY2(greyLevel(T->pixelAt(98, i)) < 80 && greyLevel(T->pixelAt(102, i)) < 80, qPrintable(QString::number(i)));
        QVERIFY(greyLevel(T->pixelAt(90, i)) > 200 && greyLevel(T->pixelAt(110, i)) > 200);
    }
    // Without the turn the line would leave the centre column.
    const float none = 0.0f;
    const BigImagePtr upright = zoomWindowImage(image, QSize(200, 200), 1.0f, red, &none, true);
    QVERIFY(greyLevel(upright->pixelAt(102, 190)) > 200);
}

void TestViews::zoomWindowPixmapFromAnotherThread()
{
    ZoomImage zoom;
    zoom.resize(200, 200);
    const BigImagePtr image = makeRandom(100, 100, 2);
    QtConcurrent::run([&] { renderZoomWindow(&zoom, QSize(200, 200), image, 1.0f, float2{0.5f, 0.5f}, nullptr, true); })
        .waitForFinished();
    QTRY_COMPARE(zoom.pixmap(Qt::ReturnByValue).size(), QSize(200, 200));
}

QTEST_MAIN(TestViews)
#include "tst_views.moc"
