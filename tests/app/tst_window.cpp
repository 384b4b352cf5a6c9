// The main window driven as a user drives it: the enable rules, loading through the real
// open dialog, turning, exchanging, the zoom factor, the matching width, the marker
// fine-tuning from the zoom windows and the "Markers" menu (with canned engine results).
#include "filedialogs.h"
#include "markerview.h"
#include "palette.h"
#include "alignment.h"
#include "rotation.h"
#include "stitcher.h"
#include "statuswatcher.h"
#include "stitching.h"
#include "testimages.h"
#include "texts.h"

#include <QAction>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QMimeData>
#include <QDoubleSpinBox>
#include <QFutureInterface>
#include <QLabel>
#include <QMessageBox>
#include <QProgressDialog>
#include <QPushButton>
#include <QSemaphore>
#include <QSlider>
#include <QTemporaryDir>
#include <QtTest>

#include <cmath>
#include <memory>

namespace {

const QStringList kControls{"btLeftRotCW", "btLeftRotCCW", "btRightRotCW", "btRightRotCCW", "btLoadLeft",
                            "btLoadRight", "btStitchStart", "slCorridorW",  "btSwitch",     "sbZoom",
                            "actionFindMarkers", "actionRefineRightMarkers"};

// Widgets and menu actions alike.
QStringList enabledControls(const Stitching& window)
{
    QStringList on;
    for (const QString& name : kControls)
        if (window.findChild<QObject*>(name)->property("enabled").toBool())
            on << name;
    return on;
}

void clickZoom(ZoomImage* zoom, QPoint at)
{
    QMouseEvent press(QEvent::MouseButtonPress, QPointF(at), Qt::LeftButton, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(zoom, &press);
}

BigImagePtr columns(const BigImagePtr& src, int32_t first, int32_t count)
{
    auto out = makeBigImage(count, src->height());
    for (int32_t y = 0; y < src->height(); ++y)
        std::copy(src->row(y) + first, src->row(y) + first + count, out->row(y));
    return out;
}

// Runs the slot (by default that of "Start Stitching") and closes every result dialog that
// opens meanwhile, after clicking the buttons named in `clicks` there; returns how many opened.
int stitchAndCloseResults(Stitching& window, const char* slot = "on_btStitchStart_clicked",
                          const QStringList& clicks = {})
{
    int dialogs = 0;
    QTimer closer;
    QObject::connect(&closer, &QTimer::timeout, [&] {
        QWidget* modal = QApplication::activeModalWidget();
        if (modal && modal->objectName() == "ShowResult" && modal->isVisible()) {
            ++dialogs;
            QCOMPARE(modal->windowTitle(), QString("Result"));
            // A click may wait for work, and the timer must not come back meanwhile.
            closer.stop();
            for (const QString& name : clicks)
                modal->findChild<QPushButton*>(name)->click();
            if (modal->isVisible())
                modal->close();
            closer.start();
        }
    });
    closer.start(20);
    QMetaObject::invokeMethod(&window, slot, Qt::DirectConnection);
    return dialogs;
}

// Holds every thread of the global pool until destroyed, for three seconds at most (Qt's own
// image conversions on the GUI thread need the pool too): work started meanwhile stays
// queued, so a test knows that it is still running.
class PoolGate {
public:
    PoolGate() : threads_(QThreadPool::globalInstance()->maxThreadCount())
    {
        const auto s = state_; // the threads may leave after this object is gone
        for (int i = 0; i < threads_; ++i)
            QThreadPool::globalInstance()->start([s] {
                s->held.release();
                s->gate.tryAcquire(1, 3000);
            });
        state_->held.acquire(threads_);
    }
    ~PoolGate() { state_->gate.release(threads_); }

private:
    struct State {
        QSemaphore held, gate;
    };
    std::shared_ptr<State> state_ = std::make_shared<State>();
    const int threads_;
};

QStringList progressLabels()
{
    QStringList labels;
    for (QWidget* w : QApplication::topLevelWidgets())
        if (auto* dialog = qobject_cast<QProgressDialog*>(w); dialog && dialog->isVisible())
            labels << dialog->labelText();
    return labels;
}

QStringList messageBoxTexts()
{
    QStringList texts;
    for (QWidget* w : QApplication::topLevelWidgets())
        if (auto* box = qobject_cast<QMessageBox*>(w))
            if (box->isVisible())
                texts << box->text();
    return texts;
}

// The seven marker fractions in the order of the command line's --left and --right.
QVector<float> markerFractions(const Stitching& window)
{
    const auto* l = window.findChild<PaintLine*>("lbImageLeft");
    const auto* r = window.findChild<PaintArea*>("lbImageRight");
    return {l->markerX, l->markerRedY, l->markerBlueY, r->redPos.x, r->redPos.y, r->bluePos.x, r->bluePos.y};
}
const QVector<float> kDefaultMarkers{0.5f, 0.25f, 0.75f, 0.5f, 0.25f, 0.5f, 0.75f};

// Whether a message box with this text shows within two seconds; then closes every box.
bool messageShown(const QString& text)
{
    const bool shown = QTest::qWaitFor([&] { return messageBoxTexts().contains(text); }, 2000);
    for (QWidget* w : QApplication::topLevelWidgets())
        if (qobject_cast<QMessageBox*>(w))
            w->close();
    return shown;
}

} // namespace

class TestWindow : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void startState();
    void loadLeftThenRight();
    void cancelledLoadKeepsTheImage();
    void rotateButtonsTurnTheImage();
    void switchExchangesOnlyImages();
    void zoomFactorAndMatchingWidth();
    void leftZoomWindowClicks();
    void rightZoomWindowFollowsTheLine();
    void stitchStoresAndShowsTheResult();
    void stitchSaysHowTheSeamMatched_data();
    void stitchSaysHowTheSeamMatched();
    void closeWaitsForTheWork_data();
    void closeWaitsForTheWork();
    void findMarkers_data();
    void findMarkers();
    void refineRightMarkers();
    void resultGoesOnAsLeftImage_data();
    void resultGoesOnAsLeftImage();
    void opensFilesNamedAtStart_data();
    void opensFilesNamedAtStart();
    void dropOntoAView_data();
    void dropOntoAView();

private:
    QString write(const QString& name, const BigImagePtr& image, int dotsPerMetre = 3937);
    void load(Stitching& window, const QString& side, const QString& path);
    QTemporaryDir dir;
};

void TestWindow::initTestCase()
{
    installAppStyle();
    initAppResources();
    QVERIFY(dir.isValid());
}

QString TestWindow::write(const QString& name, const BigImagePtr& image, int dotsPerMetre)
{
    QImage q = toQImage(image);
    q.setDotsPerMeterX(dotsPerMetre);
    q.setDotsPerMeterY(dotsPerMetre);
    const QString path = dir.filePath(name);
    q.save(path, "png");
    return path;
}

void TestWindow::load(Stitching& window, const QString& side, const QString& path)
{
    answerFileDialog(this, path);
    window.findChild<QPushButton*>("btLoad" + side)->click();
}

void TestWindow::startState()
{
    Stitching window;
    QCOMPARE(enabledControls(window), (QStringList{"btLoadLeft", "btLoadRight", "sbZoom"}));
    auto* slider = window.findChild<QSlider*>("slCorridorW");
    QCOMPARE(slider->value(), 50);
    QCOMPARE(slider->minimum(), 50);
    QCOMPARE(slider->maximum(), 300);
    auto* zoom = window.findChild<QDoubleSpinBox*>("sbZoom");
    QCOMPARE(zoom->text(), QString("1.00"));
    QCOMPARE(zoom->minimum(), 0.2);
    QCOMPARE(zoom->maximum(), 4.0);
    QCOMPARE(zoom->singleStep(), 0.1);
    // The five icon buttons show only their icons.
    for (const char* name : {"btLeftRotCCW", "btLeftRotCW", "btRightRotCCW", "btRightRotCW", "btSwitch"}) {
        auto* b = window.findChild<QPushButton*>(name);
        QVERIFY(b->text().isEmpty());
        QVERIFY(!b->icon().isNull());
    }
    QCOMPARE(window.findChild<QPushButton*>("btSwitch")->iconSize(), QSize(32, 32));
    QCOMPARE(window.findChild<QPushButton*>("btLeftRotCW")->iconSize(), QSize(24, 24));
}

void TestWindow::loadLeftThenRight()
{
    Stitching window;
    load(window, "Left", write("left.png", makeRandom(60, 40, 1), 3937));
    QCOMPARE(window.findChild<QLabel*>("lbLoadedFileLeft")->text(), QString("left.png"));
    QCOMPARE(enabledControls(window), (QStringList{"btLeftRotCW", "btLeftRotCCW", "btLoadLeft", "btLoadRight", "sbZoom"}));
    QCOMPARE(window.leftResolution().x, 3937);

    load(window, "Right", write("right.png", makeRandom(50, 70, 2), 7874));
    QCOMPARE(window.findChild<QLabel*>("lbLoadedFileRight")->text(), QString("right.png"));
    QCOMPARE(enabledControls(window), kControls);
    QCOMPARE(window.rightResolution().x, 7874);
}

void TestWindow::cancelledLoadKeepsTheImage()
{
    Stitching window;
    auto* view = window.findChild<PaintLine*>("lbImageLeft");
    load(window, "Left", write("keep.png", makeRandom(60, 40, 3)));
    const BigImagePtr image = view->image();
    QVERIFY(image);
    auto* zoom = window.findChild<ZoomImage*>("lbLeftZoom");
    QTRY_VERIFY(!zoom->pixmap(Qt::ReturnByValue).isNull());
    load(window, "Left", QString()); // cancelled
    QCOMPARE(view->image(), image);
    QCOMPARE(window.findChild<QLabel*>("lbLoadedFileLeft")->text(), QString());
    QVERIFY(zoom->pixmap(Qt::ReturnByValue).isNull());
    QVERIFY(window.findChild<ZoomImage*>("lbLeftZoom2")->pixmap(Qt::ReturnByValue).isNull());
    QVERIFY(window.findChild<QWidget*>("btLeftRotCW")->isEnabled());
}

void TestWindow::rotateButtonsTurnTheImage()
{
    Stitching window;
    auto* view = window.findChild<PaintLine*>("lbImageLeft");
    const BigImagePtr original = makeRandom(60, 40, 4);
    load(window, "Left", write("turn.png", original));
    window.findChild<QPushButton*>("btLeftRotCW")->click();
    QCOMPARE(view->image()->width(), 40);
    QCOMPARE(view->image()->height(), 60);
    QCOMPARE(view->image()->pixelAt(39, 0), original->pixelAt(0, 0)); // (x, y) → (h − 1 − y, x)
    window.findChild<QPushButton*>("btLeftRotCCW")->click();
    QVERIFY(samePixels(*view->image(), *original));
    QCOMPARE(enabledControls(window), (QStringList{"btLeftRotCW", "btLeftRotCCW", "btLoadLeft", "btLoadRight", "sbZoom"}));
    // The markers keep their fractions.
    QCOMPARE(view->markerX, 0.5f);
}

void TestWindow::switchExchangesOnlyImages()
{
    Stitching window;
    load(window, "Left", write("a.png", makeRandom(60, 40, 5), 3937));
    load(window, "Right", write("b.png", makeRandom(30, 20, 6), 7874));
    auto* left = window.findChild<PaintLine*>("lbImageLeft");
    auto* right = window.findChild<PaintArea*>("lbImageRight");
    const BigImagePtr a = left->image(), b = right->image();
    left->markerX = 0.3f;
    window.findChild<QPushButton*>("btSwitch")->click();
    QCOMPARE(left->image(), b);
    QCOMPARE(right->image(), a);
    QCOMPARE(left->markerX, 0.3f);
    QCOMPARE(window.findChild<QLabel*>("lbLoadedFileLeft")->text(), QString("a.png"));
    QCOMPARE(window.leftResolution().x, 3937);
    QCOMPARE(enabledControls(window), kControls);
}

void TestWindow::zoomFactorAndMatchingWidth()
{
    Stitching window;
    load(window, "Left", write("z1.png", makeRandom(300, 200, 7)));
    load(window, "Right", write("z2.png", makeRandom(300, 200, 8)));
    auto* left = window.findChild<PaintLine*>("lbImageLeft");
    auto* right = window.findChild<PaintArea*>("lbImageRight");
    auto* zoom = window.findChild<ZoomImage*>("lbRightZoom2");
    QTRY_VERIFY(!zoom->pixmap(Qt::ReturnByValue).isNull());
    const qint64 before = zoom->pixmap(Qt::ReturnByValue).cacheKey();
    window.findChild<QDoubleSpinBox*>("sbZoom")->setValue(2.0);
    QCOMPARE(left->zoomFactor, 2.0f);
    QCOMPARE(right->zoomFactor, 2.0f);
    QVERIFY(zoom->pixmap(Qt::ReturnByValue).cacheKey() != before);
    window.findChild<QSlider*>("slCorridorW")->setValue(51);
    QCOMPARE(right->matchWidth, 51);
}

void TestWindow::leftZoomWindowClicks()
{
    // z = 1, a 200-pixel window, a 4000-pixel-wide image: a click at the left edge moves x by
    // 200 / 4000 · (0 − 0.5) = −0.025; one at the centre moves nothing.
    Stitching window;
    auto* view = window.findChild<PaintLine*>("lbImageLeft");
    load(window, "Left", write("wide.png", makeRandom(4000, 100, 9)));
    QTRY_VERIFY(view->hasRendered());
    auto* zoom = window.findChild<ZoomImage*>("lbLeftZoom");
    clickZoom(zoom, QPoint(100, 100));
    QCOMPARE(view->markerX, 0.5f);
    QCOMPARE(view->markerRedY, 0.25f);
    clickZoom(zoom, QPoint(0, 100));
    QVERIFY(std::fabs(view->markerX - 0.475f) < 1e-6f);
    QCOMPARE(view->markerRedY, 0.25f);
    // The lower window moves only the blue marker's height.
    clickZoom(window.findChild<ZoomImage*>("lbLeftZoom2"), QPoint(0, 150));
    QVERIFY(std::fabs(view->markerX - 0.475f) < 1e-6f);
    QVERIFY(std::fabs(view->markerBlueY - (0.75f + 200.0f / 100.0f * 0.25f)) < 1e-5f);
}

void TestWindow::rightZoomWindowFollowsTheLine()
{
    Stitching window;
    auto* view = window.findChild<PaintArea*>("lbImageRight");
    load(window, "Right", write("tilt.png", makeRandom(1000, 800, 10)));
    QCOMPARE(enabledControls(window),
             (QStringList{"btRightRotCW", "btRightRotCCW", "btLoadLeft", "btLoadRight", "slCorridorW", "sbZoom"}));
    QTRY_VERIFY(view->hasRendered());
    view->bluePos = float2{0.6f, 0.75f};
    const float2 red = view->redPos, blue = view->bluePos;
    // Straight above the window's centre: along the marker line, towards the red end.
    clickZoom(window.findChild<ZoomImage*>("lbRightZoom"), QPoint(100, 0));
    const double mx = (view->redPos.x - red.x) * 1000.0, my = (view->redPos.y - red.y) * 800.0;
    const double lx = (blue.x - red.x) * 1000.0, ly = (blue.y - red.y) * 800.0;
    QVERIFY(std::hypot(mx, my) > 50.0);
    QVERIFY2(std::fabs(mx * ly - my * lx) / (std::hypot(mx, my) * std::hypot(lx, ly)) < 1e-4,
             qPrintable(QString("moved by (%1, %2)").arg(mx).arg(my)));
    QVERIFY(my < 0.0);
}

int runWindowTests(int argc, char** argv)
{
    TestWindow test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_window.moc"

void TestWindow::stitchStoresAndShowsTheResult()
{
    // Two views of one scene, the right one starting 60 columns further on.
    const BigImagePtr scene = makeRandom(160, 120, 21);
    const BigImagePtr left = columns(scene, 0, 100);
    const BigImagePtr right = columns(scene, 60, 100);
    Stitching window;
    auto* lv = window.findChild<PaintLine*>("lbImageLeft");
    auto* rv = window.findChild<PaintArea*>("lbImageRight");
    lv->setImage(left, QRect(-1, -1, -1, -1));
    rv->setImage(right, QRect(-1, -1, -1, -1));
    lv->markerX = 0.8f;
    lv->markerRedY = 0.25f;
    lv->markerBlueY = 0.75f;
    rv->redPos = float2{0.2f, 0.25f};
    rv->bluePos = float2{0.2f, 0.75f};

    QCOMPARE(stitchAndCloseResults(window), 1);
    const BigImagePtr result = window.stitchedImage();
    QVERIFY(result);
    QCOMPARE(window.stitchZoneStart(), 80);
    QCOMPARE(window.stitchZoneEnd(), 180);
    // The window runs the engine on exactly these inputs.
    StitchEngine::MarkerFractions m;
    m.leftX = 0.8f;
    m.rightRedX = m.rightBlueX = 0.2f;
    const auto expected = StitchEngine::stitchImages(
        left, right, StitchEngine::stitchGeometry(m, 50, 100, 120, 100, 120), nullptr);
    QVERIFY(expected.image);
    QCOMPARE(result->width(), 160);
    QVERIFY(samePixels(*result, *expected.image));
    QVERIFY(window.findChild<QPushButton*>("btStitchStart")->isEnabled());

    // A stitch that cannot give an image says so, shows no dialog and keeps the last result.
    lv->markerX = 0.0f;
    rv->redPos = float2{1.0f, 0.25f};
    rv->bluePos = float2{1.0f, 0.75f};
    QCOMPARE(stitchAndCloseResults(window), 0);
    QCOMPARE(window.stitchedImage(), result);
    const QString message("The stitched image would be empty. Place the markers on the same content in both images.");
    QTRY_VERIFY_WITH_TIMEOUT(messageBoxTexts().contains(message), 2000);
    QCOMPARE(messageBoxTexts().count(message), 1);
    for (QWidget* w : QApplication::topLevelWidgets())
        if (qobject_cast<QMessageBox*>(w))
            w->close();
}

void TestWindow::stitchSaysHowTheSeamMatched_data()
{
    QTest::addColumn<float>("rightRedY"); // the blue marker 220 rows below
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("warned");     // in a message box too
    // Right (x, y) shows left (x + 100, y + 10); the left markers sit at (130, 40) and (130, 260).
    QTest::newRow("same content") << 30.0f << "Seam match: 100 %." << false;
    QTest::newRow("50 rows off") << 80.0f
                                 << "Warning: the seam matched poorly (18 %). Check that the markers sit on the "
                                    "same content in both images."
                                 << true;
}

// The figure stands in the status bar with the result; a poor one is also a message (shown
// over the result window when that stays open). A failed stitch that follows takes the
// figure away.
void TestWindow::stitchSaysHowTheSeamMatched()
{
    QFETCH(float, rightRedY);
    QFETCH(QString, text);
    QFETCH(bool, warned);
    const BigImagePtr terrain = makeTerrain(360, 360, 7);
    Stitching window;
    auto* lv = window.findChild<PaintLine*>("lbImageLeft");
    auto* rv = window.findChild<PaintArea*>("lbImageRight");
    lv->setImage(cutOut(terrain, 0, 0, 160, 300), QRect(-1, -1, -1, -1));
    rv->setImage(cutOut(terrain, 100, 10, 200, 300), QRect(-1, -1, -1, -1));
    lv->markerX = 130.0f / 160.0f;
    lv->markerRedY = 40.0f / 300.0f;
    lv->markerBlueY = 260.0f / 300.0f;
    rv->redPos = float2{30.0f / 200.0f, rightRedY / 300.0f};
    rv->bluePos = float2{30.0f / 200.0f, (rightRedY + 220.0f) / 300.0f};
    auto* figure = window.findChild<QLabel*>("lbSeamMatch");
    QVERIFY(figure && figure->text().isEmpty());

    auto closeMessages = [] {
        for (QWidget* w : QApplication::topLevelWidgets())
            if (qobject_cast<QMessageBox*>(w))
                w->close();
    };
    QCOMPARE(stitchAndCloseResults(window), 1);
    QCOMPARE(figure->text(), text);
    QTest::qWait(300); // three checks of the watcher
    QCOMPARE(messageBoxTexts(), warned ? QStringList{text} : QStringList{});
    closeMessages();

    lv->markerX = 0.0f;
    rv->redPos.x = rv->bluePos.x = 1.0f;
    QCOMPARE(stitchAndCloseResults(window), 0);
    QVERIFY(figure->text().isEmpty());
    QTRY_COMPARE_WITH_TIMEOUT(messageBoxTexts().size(), 1, 2000);
    closeMessages();
}

void TestWindow::closeWaitsForTheWork_data()
{
    QTest::addColumn<QByteArray>("slot");
    QTest::addColumn<bool>("gated"); // else the close comes while the open dialog shows
    QTest::newRow("load") << QByteArray("on_btLoadLeft_clicked") << false;
    QTest::newRow("turn") << QByteArray("on_btLeftRotCW_clicked") << true;
    QTest::newRow("stitch") << QByteArray("on_btStitchStart_clicked") << true;
    QTest::newRow("find markers") << QByteArray("on_actionFindMarkers_triggered") << true;
    QTest::newRow("refine markers") << QByteArray("on_actionRefineRightMarkers_triggered") << true;
}

// Closing while work runs is refused with the reason under the progress text; nothing
// opens after the work, and then the window closes.
void TestWindow::closeWaitsForTheWork()
{
    QFETCH(QByteArray, slot);
    QFETCH(bool, gated);
    const BigImagePtr scene = makeRandom(160, 120, 22);
    Stitching window;
    window.show();
    auto* lv = window.findChild<PaintLine*>("lbImageLeft");
    lv->setImage(columns(scene, 0, 100), QRect(-1, -1, -1, -1));
    window.findChild<PaintArea*>("lbImageRight")->setImage(columns(scene, 60, 100), QRect(-1, -1, -1, -1));
    QMetaObject::invokeMethod(&window, "evaluateInterface"); // every control on, as after the loads
    QTRY_VERIFY(lv->hasRendered());
    // Only the load opens a file dialog; an answer left waiting would go to a later test's.
    if (!gated)
        answerFileDialog(this, write("close.png", scene));

    std::unique_ptr<PoolGate> gate(gated ? new PoolGate : nullptr);
    bool refused = false;
    QStringList enabledMeanwhile{"not seen"};
    QTimer closer;
    connect(&closer, &QTimer::timeout, [&] {
        if (window.findChild<QWidget*>("sbZoom")->isEnabled())
            return; // the slot has not started yet
        closer.stop();
        enabledMeanwhile = enabledControls(window);
        window.close();
        refused = window.isVisible();
        gate.reset();
    });
    closer.start(1);
    QCOMPARE(stitchAndCloseResults(window, slot.constData()), 0);
    QVERIFY(refused);
    QCOMPARE(enabledMeanwhile, QStringList());
    QVERIFY(!window.isVisible());
    QTest::qWait(250); // a message would show at the watcher's next check
    QVERIFY(messageBoxTexts().isEmpty());

    // The reason, as a progress dialog shows it under its text.
    QFutureInterface<void> probe;
    probe.reportStarted();
    window.statusWatcher()->registerTask("Probe", probe.future(), true);
    QTRY_COMPARE(progressLabels(), QStringList{"Probe\nSeamwright will close when this has finished."});
    probe.reportFinished();
}

void TestWindow::findMarkers_data()
{
    QTest::addColumn<bool>("found");
    QTest::addColumn<int>("turn");
    QTest::addColumn<QPoint>("corner"); // where the right image's pixel (0, 0) ends
    QTest::addColumn<QString>("message");
    const QString found("Markers found (confidence 93 %).\nThe right image was turned ");
    QTest::newRow("upright") << true << int(Align::Turn::None) << QPoint(0, 0)
                             << "Markers found (confidence 93 %).";
    QTest::newRow("clockwise") << true << int(Align::Turn::Clockwise) << QPoint(127, 0)
                               << found + "clockwise to match the left one.";
    QTest::newRow("counter-clockwise") << true << int(Align::Turn::CounterClockwise) << QPoint(0, 95)
                                       << found + "counter-clockwise to match the left one.";
    QTest::newRow("half turn") << true << int(Align::Turn::HalfTurn) << QPoint(127, 95)
                               << found + "upside down to match the left one.";
    QTest::newRow("refused, turn ignored") << false << int(Align::Turn::Clockwise) << QPoint(0, 0)
                                           << "No reliable overlap found between the two images.";
}

// A canned result for a 128 × 96 left and a 128 × 96 right image (after its turn), where
// every fraction is an exact float.
void TestWindow::findMarkers()
{
    QFETCH(bool, found);
    QFETCH(int, turn);
    QFETCH(QPoint, corner);
    QFETCH(QString, message);
    const bool quarter = turn == int(Align::Turn::Clockwise) || turn == int(Align::Turn::CounterClockwise);
    const BigImagePtr left = makeRandom(128, 96, 31);
    const BigImagePtr right = quarter ? makeRandom(96, 128, 32) : makeRandom(128, 96, 32);
    const QSize before(right->width(), right->height());
    const RgbPixel first = right->pixelAt(0, 0);
    Stitching window;
    window.findChild<PaintLine*>("lbImageLeft")->setImage(left, QRect(-1, -1, -1, -1));
    window.findChild<PaintArea*>("lbImageRight")->setImage(right, QRect(-1, -1, -1, -1));
    // The red zoom window's pixel (106, 106), clear of box and cross, shows the image six
    // pixels right of and below the marker, here still at (64, 24).
    auto* zoom = window.findChild<ZoomImage*>("lbLeftZoom");
    const auto zoomPixel = [zoom] { return fromQRgb(zoom->pixmap(Qt::ReturnByValue).toImage().pixel(106, 106)); };
    QTRY_COMPARE(zoomPixel(), left->pixelAt(70, 30));
    BigImagePtr seenLeft, seenRight;
    window.markerFinder = [&](const BigImagePtr& l, const BigImagePtr& r, ProgressInfo*) {
        seenLeft = l;
        seenRight = r;
        Align::MarkerResult result;
        result.found = found;
        result.markers = Align::MarkerPixels{96, 12, 84, 32, 36, 40, 60};
        result.turn = Align::Turn(turn);
        result.confidence = 0.926;
        result.message = found ? QString() : message;
        return result;
    };
    window.findChild<QAction*>("actionFindMarkers")->trigger();
    QVERIFY(seenLeft == left && seenRight == right);
    QVERIFY(messageShown(message));
    QCOMPARE(QSize(right->width(), right->height()), found && quarter ? before.transposed() : before);
    QCOMPARE(right->pixelAt(corner.x(), corner.y()), first);
    QCOMPARE(markerFractions(window), found ? (QVector<float>{0.75f, 0.125f, 0.875f, 0.25f, 0.375f, 0.3125f, 0.625f})
                                            : kDefaultMarkers);
    QCOMPARE(enabledControls(window), kControls);
    if (found)
        QTRY_COMPARE(zoomPixel(), left->pixelAt(102, 18));
}

// Handed over as the stitch rounds them; only the right markers are taken back. A refusal
// takes the way of the search's (above).
void TestWindow::refineRightMarkers()
{
    Stitching window;
    window.findChild<PaintLine*>("lbImageLeft")->setImage(makeRandom(128, 96, 33), QRect(-1, -1, -1, -1));
    auto* rv = window.findChild<PaintArea*>("lbImageRight");
    rv->setImage(makeRandom(128, 96, 34), QRect(-1, -1, -1, -1));
    rv->redPos = float2{0.2f, 0.25f}; // 25.6: column 26
    Align::MarkerPixels given;
    window.markerRefiner = [&](const BigImagePtr&, const BigImagePtr&, const Align::MarkerPixels& m, ProgressInfo*) {
        given = m;
        Align::MarkerResult result;
        result.found = true;
        result.markers = Align::MarkerPixels{7, 7, 7, 21.5, 30, 20.75, 90};
        result.confidence = 0.876;
        return result;
    };
    window.findChild<QAction*>("actionRefineRightMarkers")->trigger();
    QCOMPARE((QVector<double>{given.leftX, given.leftRedY, given.leftBlueY, given.rightRedX, given.rightRedY,
                              given.rightBlueX, given.rightBlueY}),
             (QVector<double>{64, 24, 72, 26, 24, 64, 72}));
    QVERIFY(messageShown("Right markers refined (confidence 88 %)."));
    QCOMPARE(markerFractions(window),
             (QVector<float>{0.5f, 0.25f, 0.75f, 0.16796875f, 0.3125f, 0.162109375f, 0.9375f}));
}

void TestWindow::resultGoesOnAsLeftImage_data()
{
    QTest::addColumn<QStringList>("clicks"); // in the result dialog
    QTest::addColumn<int>("clockwise");      // quarter turns of the result
    QTest::newRow("as stitched") << QStringList{"btUseAsLeft"} << 0;
    QTest::newRow("turned back after a stitch between rows") << QStringList{"btRotCCW", "btUseAsLeft"} << 3;
    QTest::newRow("turned and back") << QStringList{"btRotCW", "btRotCCW", "btUseAsLeft"} << 0;
    QTest::newRow("closed instead") << QStringList{"btRotCW", "btCancel"} << 1;
}

// The result, turned in the dialog or not, becomes the left image as a loaded one would,
// named "Result 1", "Result 2", …; the right side is emptied for the next scan.
void TestWindow::resultGoesOnAsLeftImage()
{
    QFETCH(QStringList, clicks);
    QFETCH(int, clockwise);
    const bool used = clicks.last() == "btUseAsLeft";
    const BigImagePtr scene = makeRandom(160, 120, 23);
    Stitching window;
    auto* lv = window.findChild<PaintLine*>("lbImageLeft");
    auto* rv = window.findChild<PaintArea*>("lbImageRight");
    load(window, "Left", write("first.png", columns(scene, 0, 100), 3937));
    for (int round = 1; round <= 2; ++round) {
        load(window, "Right", write("next.png", columns(scene, 60, 100), 7874));
        const BigImagePtr left = lv->image();
        // The right scan shows the left image's content 60 columns further on.
        const float rightX = (0.8f * float(left->width()) - 60.0f) / 100.0f;
        lv->markerX = 0.8f;
        rv->redPos = float2{rightX, 0.25f};
        rv->bluePos = float2{rightX, 0.75f};
        QCOMPARE(stitchAndCloseResults(window, "on_btStitchStart_clicked", clicks), 1);
        const BigImagePtr result = window.stitchedImage();
        QVERIFY(result && result != left);
        StitchEngine::MarkerFractions m;
        m.leftX = 0.8f;
        m.rightRedX = m.rightBlueX = rightX;
        const BigImagePtr expected = StitchEngine::stitchImages(left, columns(scene, 60, 100),
            StitchEngine::stitchGeometry(m, 50, left->width(), 120, 100, 120), nullptr).image;
        for (int q = 0; q < clockwise; ++q)
            BigImageProcessing::rotateCW(expected, nullptr);
        QVERIFY2(samePixels(*result, *expected), qPrintable(firstDifferences(*result, *expected)));
        if (!used) {
            QCOMPARE(lv->image(), left);
            QVERIFY(rv->image());
            return;
        }
        QCOMPARE(lv->image(), result);
        QCOMPARE(window.findChild<QLabel*>("lbLoadedFileLeft")->text(), QString("Result %1").arg(round));
        QCOMPARE(markerFractions(window).mid(0, 3), kDefaultMarkers.mid(0, 3));
        QCOMPARE(markerFractions(window).mid(3), (QVector<float>{rightX, 0.25f, rightX, 0.75f}));
        QVERIFY(!rv->image());
        QVERIFY(!rv->hasRendered());
        QCOMPARE(window.findChild<QLabel*>("lbLoadedFileRight")->text(), QString());
        QVERIFY(window.findChild<ZoomImage*>("lbRightZoom")->pixmap(Qt::ReturnByValue).isNull());
        QTRY_VERIFY(rv->pixmap(Qt::ReturnByValue).isNull());
        QCOMPARE(window.leftResolution().x, 3937);
        QCOMPARE(window.rightResolution().x, 0);
        QCOMPARE(enabledControls(window), (QStringList{"btLeftRotCW", "btLeftRotCCW", "btLoadLeft", "btLoadRight", "sbZoom"}));
        if (clockwise % 2)
            return; // a turned result does not take the next strip on its right
    }
}

void TestWindow::opensFilesNamedAtStart_data()
{
    QTest::addColumn<QStringList>("files"); // %1: the temporary folder
    QTest::addColumn<QString>("leftName");
    QTest::addColumn<QString>("rightName");
    QTest::addColumn<QString>("message");
    QTest::newRow("left and right") << QStringList{"%1/start-a.png", "%1/start-b.png"} << "start-a.png"
                                    << "start-b.png" << QString();
    QTest::newRow("a missing left file") << QStringList{"%1/none.png", "%1/start-b.png"} << QString() << "start-b.png"
                                         << "Cannot read from file %1/none.png.";
    QTest::newRow("an unsupported right file") << QStringList{"%1/start-a.png", "%1/notes.txt"} << "start-a.png"
                                               << QString() << "Unsupported fileformat: %1/notes.txt";
    QTest::newRow("three files") << QStringList{"%1/start-a.png", "%1/start-b.png", "%1/start-c.png"}
                                 << "start-a.png" << "start-b.png"
                                 << "Only two images open at start, a left and a right one; not opened: "
                                    "%1/start-c.png.";
}

// As if picked in the open dialogs: the same loader, names, messages and enable rules.
void TestWindow::opensFilesNamedAtStart()
{
    QFETCH(QStringList, files);
    QFETCH(QString, leftName);
    QFETCH(QString, rightName);
    QFETCH(QString, message);
    write("start-a.png", makeRandom(60, 40, 24), 3937);
    write("start-b.png", makeRandom(50, 30, 25), 7874);
    for (QString& f : files)
        f.replace("%1", dir.path());
    Stitching window;
    window.openFiles(files);
    QCOMPARE(window.findChild<QLabel*>("lbLoadedFileLeft")->text(), leftName);
    QCOMPARE(window.findChild<QLabel*>("lbLoadedFileRight")->text(), rightName);
    QCOMPARE(window.findChild<PaintLine*>("lbImageLeft")->image() != nullptr, !leftName.isEmpty());
    QCOMPARE(window.findChild<PaintArea*>("lbImageRight")->image() != nullptr, !rightName.isEmpty());
    if (!leftName.isEmpty())
        QCOMPARE(window.leftResolution().x, 3937);
    QCOMPARE(enabledControls(window).contains("btStitchStart"), !leftName.isEmpty() && !rightName.isEmpty());
    if (message.isEmpty()) {
        QTest::qWait(250);
        QCOMPARE(messageBoxTexts(), QStringList());
    } else {
        QVERIFY(messageShown(message.replace("%1", dir.path())));
    }
}

void TestWindow::dropOntoAView_data()
{
    QTest::addColumn<QString>("view");
    QTest::addColumn<QList<QUrl>>("urls"); // %1: the temporary folder
    QTest::addColumn<bool>("accepted");
    QTest::addColumn<QString>("name");     // the side's file name after the drop
    QTest::addColumn<QString>("message");
    const QUrl png = QUrl::fromLocalFile("%1/dropped.png");
    QTest::newRow("onto the left view") << "lbImageLeft" << QList<QUrl>{png} << true << "dropped.png" << QString();
    QTest::newRow("onto the right view") << "lbImageRight" << QList<QUrl>{png} << true << "dropped.png" << QString();
    QTest::newRow("an unsupported file") << "lbImageLeft" << QList<QUrl>{QUrl::fromLocalFile("%1/notes.txt")} << true
                                         << "" << "Unsupported fileformat: %1/notes.txt";
    QTest::newRow("a web address") << "lbImageLeft" << QList<QUrl>{QUrl("https://example.org/dropped.png")} << false
                                   << "" << QString();
    QTest::newRow("two files") << "lbImageRight" << QList<QUrl>{png, png} << false << "" << QString();
}

// A drop of one local file loads it into that side as "Load Image" would; other drags are
// refused as they enter.
void TestWindow::dropOntoAView()
{
    QFETCH(QString, view);
    QFETCH(QList<QUrl>, urls);
    QFETCH(bool, accepted);
    QFETCH(QString, name);
    QFETCH(QString, message);
    write("dropped.png", makeRandom(40, 30, 26), 3937);
    for (QUrl& url : urls)
        if (url.isLocalFile())
            url = QUrl::fromLocalFile(url.toLocalFile().replace("%1", dir.path()));
    Stitching window;
    window.show();
    auto* target = window.findChild<MarkerView*>(view);
    QVERIFY(target->acceptDrops());
    QMimeData data;
    data.setUrls(urls);
    const QPoint at(target->width() / 2, target->height() / 2);
    QDragEnterEvent enter(at, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(target, &enter);
    QCOMPARE(enter.isAccepted(), accepted);
    QDropEvent drop(QPointF(at), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(target, &drop);
    QCOMPARE(drop.isAccepted(), accepted);
    const QString side = view == "lbImageLeft" ? "Left" : "Right";
    auto* label = window.findChild<QLabel*>("lbLoadedFile" + side);
    if (!name.isEmpty()) {
        QTRY_COMPARE(label->text(), name);
        QCOMPARE(target->image()->width(), 40);
        QVERIFY(window.findChild<QWidget*>("bt" + side + "RotCW")->isEnabled());
        QVERIFY(target->acceptDrops());
    }
    if (!message.isEmpty())
        QVERIFY(messageShown(message.replace("%1", dir.path())));
    QTest::qWait(100);
    QCOMPARE(target->image() != nullptr, !name.isEmpty());
}
