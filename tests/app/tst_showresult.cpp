// The result dialog and its view: the start state, the switch from fitted to scaled view,
// the zone lines in the rendered view image, dragging through the scroll bars, and saving
// through the real save dialog.
#include "filedialogs.h"
#include "labelresult.h"
#include "palette.h"
#include "recordingwatcher.h"
#include "rotation.h"
#include "sampling.h"
#include "showresult.h"
#include "testimages.h"
#include "texts.h"

#include <QCheckBox>
#include <QDoubleSpinBox>
#include <QFile>
#include <QImage>
#include <QPushButton>
#include <QRadioButton>
#include <QScrollBar>
#include <QTemporaryDir>
#include <QtTest>

namespace {

template <class T> T* child(const QObject& parent, const char* name)
{
    T* found = parent.findChild<T*>(name);
    if (!found)
        qFatal("no child %s", name);
    return found;
}

void sendMouse(QWidget* to, QEvent::Type type, QPoint at, Qt::MouseButton button, Qt::MouseButtons held)
{
    QMouseEvent event(type, QPointF(at), button, held, Qt::NoModifier);
    QApplication::sendEvent(to, &event);
}

} // namespace

class TestShowResult : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void opensFitted();
    void scaleChangeLeavesFit_data();
    void scaleChangeLeavesFit();
    void zoneLines_data();
    void zoneLines();
    void dragFollowsLeftPress_data();
    void dragFollowsLeftPress();
    void turnsTheResult_data();
    void turnsTheResult();
    void savesTwice();
    void failedSave_data();
    void failedSave();

private:
    QTemporaryDir dir;
};

void TestShowResult::initTestCase()
{
    installAppStyle();
    initAppResources();
    QVERIFY(dir.isValid());
}

void TestShowResult::opensFitted()
{
    ShowResult dialog(DotsPerMetre{3937, 3937}, 1000, 1100, makeRandom(300, 200, 1), nullptr);
    dialog.show();
    auto* label = child<LabelResult>(dialog, "lbImage");
    QVERIFY(child<QRadioButton>(dialog, "rbFit")->isChecked());
    QVERIFY(!child<QRadioButton>(dialog, "rbScale")->isChecked());
    QVERIFY(!child<QScrollBar>(dialog, "sbH")->isVisible());
    QVERIFY(!child<QScrollBar>(dialog, "sbV")->isVisible());
    QVERIFY(!child<QCheckBox>(dialog, "cbShowStitch")->isChecked());
    QCOMPARE(child<QDoubleSpinBox>(dialog, "sbScale")->text(), QString("1.00"));
    QVERIFY(label->zoom() < 0.0f);
    QVERIFY(!label->showStitch());
    QCOMPARE(label->stitchStart(), 1000);
    QCOMPARE(label->stitchEnd(), 1100);
    // The whole image, fitted into the view's inside.
    QTRY_VERIFY(label->hasRendered());
    const BigImagePtr shown = label->viewState().scaledImage_;
    QCOMPARE(shown->width(), label->width() - 2);
    QCOMPARE(shown->height(), label->height() - 2);

    child<QPushButton>(dialog, "btCancel")->click();
    QVERIFY(!dialog.isVisible());
}

void TestShowResult::scaleChangeLeavesFit_data()
{
    QTest::addColumn<double>("value");
    QTest::newRow("up") << 2.0;
    QTest::newRow("down") << 0.5;
}

void TestShowResult::scaleChangeLeavesFit()
{
    QFETCH(double, value);
    ShowResult dialog(DotsPerMetre{}, 0, 0, makeRandom(300, 200, 2), nullptr);
    dialog.show();
    auto* label = child<LabelResult>(dialog, "lbImage");
    QTRY_VERIFY(label->hasRendered());
    const int renders = label->renderCount();

    child<QDoubleSpinBox>(dialog, "sbScale")->setValue(value);
    QVERIFY(child<QRadioButton>(dialog, "rbScale")->isChecked());
    QVERIFY(!child<QRadioButton>(dialog, "rbFit")->isChecked());
    QVERIFY(child<QScrollBar>(dialog, "sbH")->isVisible());
    QVERIFY(child<QScrollBar>(dialog, "sbV")->isVisible());
    QCOMPARE(label->zoom(), float(value));
    QTRY_VERIFY(label->renderCount() > renders);
    QCOMPARE(label->currentGeometry().scale, float(value));

    child<QRadioButton>(dialog, "rbFit")->click();
    QVERIFY(label->zoom() < 0.0f);
    QVERIFY(!child<QScrollBar>(dialog, "sbH")->isVisible());
    QVERIFY(!child<QScrollBar>(dialog, "sbV")->isVisible());
}

void TestShowResult::zoneLines_data()
{
    QTest::addColumn<int>("start");
    QTest::addColumn<int>("end");
    QTest::addColumn<bool>("show");
    QTest::addColumn<QList<int>>("columns");
    QTest::addColumn<bool>("across"); // a zone of rows: `columns` are view rows
    // View: 400 × 300 columns at scale 2 from image x 500; column j shows x 500 + 2j.
    QTest::newRow("inside") << 1000 << 1100 << true << QList<int>{250, 300} << false;
    QTest::newRow("switched off") << 1000 << 1100 << false << QList<int>{} << false;
    QTest::newRow("left of the view") << 400 << 498 << true << QList<int>{} << false;
    QTest::newRow("right of the view") << 1299 << 1400 << true << QList<int>{} << false;
    QTest::newRow("first and last column") << 499 << 1298 << true << QList<int>{0, 399} << false;
    QTest::newRow("one edge visible") << 100 << 700 << true << QList<int>{100} << false;
    // Row i shows y 2i.
    QTest::newRow("across, inside") << 100 << 399 << true << QList<int>{50, 200} << true;
    QTest::newRow("across, last row and below") << 598 << 700 << true << QList<int>{299} << true;
}

void TestShowResult::zoneLines()
{
    QFETCH(int, start);
    QFETCH(int, end);
    QFETCH(bool, show);
    QFETCH(QList<int>, columns);
    QFETCH(bool, across);
    const BigImagePtr image = makeRandom(1300, 600, 3);
    QScrollBar horizontal(Qt::Horizontal), vertical(Qt::Vertical);
    horizontal.setRange(0, 10);
    horizontal.setValue(10); // origin x = (1300 − 400·2) · 1 = 500
    vertical.setRange(0, 10);
    LabelResult label;
    label.resize(402, 302);
    label.setScrollBars(&vertical, &horizontal);
    label.setImage(image, QRect(-1, -1, -1, -1));
    label.setZoom(2.0f);
    label.setStitchZone(start, end, across);
    label.setShowStitch(show);
    label.renderNow();
    const ViewGeometry g = label.currentGeometry();
    QCOMPARE(g.originX, 500.0f);
    QCOMPARE(g.originY, 0.0f);

    const BigImagePtr shown = label.viewState().scaledImage_;
    QVERIFY(shown);
    BigImagePtr expected = renderScaled(image, float2{500.0f, 0.0f}, 400, 300, 2.0f, Interpolation::Cubic);
    for (int c : columns)
        for (int32_t k = 0; k < (across ? expected->width() : expected->height()); ++k)
            expected->setPixel(across ? k : c, across ? c : k, RgbPixel{9, 60, 139});
    QVERIFY2(samePixels(*shown, *expected), qPrintable(firstDifferences(*shown, *expected)));
}

void TestShowResult::dragFollowsLeftPress_data()
{
    QTest::addColumn<bool>("rightPressBetween");
    QTest::addColumn<int>("held"); // the button held while moving
    QTest::newRow("left drag") << false << int(Qt::LeftButton);
    QTest::newRow("right press ignored") << true << int(Qt::RightButton);
}

void TestShowResult::dragFollowsLeftPress()
{
    QFETCH(bool, rightPressBetween);
    QFETCH(int, held);
    ShowResult dialog(DotsPerMetre{}, 0, 0, std::make_shared<BigImage>(20000, 100), nullptr);
    dialog.show();
    auto* label = child<LabelResult>(dialog, "lbImage");
    auto* sbH = child<QScrollBar>(dialog, "sbH");
    auto* sbV = child<QScrollBar>(dialog, "sbV");
    child<QDoubleSpinBox>(dialog, "sbScale")->setValue(2.0);
    sbH->setValue(9999);
    sbV->setValue(0);
    sendMouse(label, QEvent::MouseButtonPress, QPoint(100, 50), Qt::LeftButton, Qt::LeftButton);
    if (rightPressBetween) {
        // A press that would be recorded changes both the start position and the start value.
        sbH->setValue(5000);
        sendMouse(label, QEvent::MouseButtonPress, QPoint(300, 50), Qt::RightButton, Qt::RightButton);
    }
    // 100 pixels to the right at scale 2 on 20000 columns: 1 % of the bar, towards 0.
    sendMouse(label, QEvent::MouseMove, QPoint(200, 50), Qt::NoButton, Qt::MouseButtons(held));
    QCOMPARE(sbH->value(), 9899); // integer part of 9999 · 0.99
    QCOMPARE(sbV->value(), 0);
    // The bar's change asks for a new render from the new position.
    QTRY_COMPARE(label->viewState().scroll.x, 9899.0f / 9999.0f);
}

void TestShowResult::turnsTheResult_data()
{
    QTest::addColumn<QStringList>("clicks");
    QTest::addColumn<int>("clockwise"); // quarter turns in all
    QTest::addColumn<QList<int>>("zone"); // first line, line after the zone, 1 for across
    // A 30 × 20 result with the zone in columns 10 .. 13.
    QTest::newRow("clockwise") << QStringList{"btRotCW"} << 1 << QList<int>{10, 14, 1};
    QTest::newRow("counter-clockwise") << QStringList{"btRotCCW"} << 3 << QList<int>{16, 20, 1};
    QTest::newRow("and back") << QStringList{"btRotCW", "btRotCCW"} << 0 << QList<int>{10, 14, 0};
    QTest::newRow("half turn") << QStringList{"btRotCCW", "btRotCCW"} << 2 << QList<int>{16, 20, 0};
    QTest::newRow("three quarters") << QStringList{"btRotCW", "btRotCW", "btRotCW"} << 3 << QList<int>{16, 20, 1};
}

// The shown image turns in place (the window's result with it), and the zone lines mark the
// same pixels afterwards; the buttons show the main window's turn icons.
void TestShowResult::turnsTheResult()
{
    QFETCH(QStringList, clicks);
    QFETCH(int, clockwise);
    QFETCH(QList<int>, zone);
    RecordingWatcher watcher;
    const BigImagePtr image = makeRandom(30, 20, 6);
    const BigImagePtr expected = deepCopy(image);
    for (int q = 0; q < clockwise; ++q)
        BigImageProcessing::rotateCW(expected, nullptr);
    ShowResult dialog(DotsPerMetre{}, 10, 14, image, &watcher);
    dialog.show();
    auto* label = child<LabelResult>(dialog, "lbImage");
    child<QCheckBox>(dialog, "cbShowStitch")->setChecked(true);
    QTRY_VERIFY(label->hasRendered());
    const int renders = label->renderCount();
    for (const QString& name : clicks) {
        auto* button = child<QPushButton>(dialog, qPrintable(name));
        QVERIFY(button->text().isEmpty() && !button->icon().isNull());
        button->click();
        QVERIFY(button->isEnabled());
    }
    QCOMPARE(label->image(), image);
    QVERIFY2(samePixels(*image, *expected), qPrintable(firstDifferences(*image, *expected)));
    QCOMPARE((QList<int>{label->stitchStart(), label->stitchEnd(), int(label->zoneAcross())}), zone);
    QVERIFY(label->showStitch());
    QVERIFY(watcher.messages().isEmpty());
    // The view renders again from the turned image.
    QTRY_VERIFY(label->renderCount() > renders);
}

void TestShowResult::savesTwice()
{
    RecordingWatcher watcher;
    const BigImagePtr image = makeRandom(40, 30, 4);
    ShowResult dialog(DotsPerMetre{3937, 7874}, 0, 0, image, &watcher);
    dialog.show();
    const QString png = dir.filePath("result.png"), tif = dir.filePath("result.tif");
    for (const QString& name : {png, tif}) {
        answerFileDialog(this, name);
        child<QPushButton>(dialog, "btSave")->click();
    }
    QVERIFY(dialog.isVisible());
    QCOMPARE(watcher.messages(), (QStringList{"File saved to " + png + ".", "File saved to " + tif + "."}));
    QCOMPARE(watcher.icons(), (QStringList{":/ps.ico", ":/ps.ico"}));

    // The pixels and the dialog's resolution reach the file.
    const QImage back(png);
    QCOMPARE(back.size(), QSize(40, 30));
    QCOMPARE(back.dotsPerMeterX(), 3937);
    QCOMPARE(back.dotsPerMeterY(), 7874);
    auto read = std::make_shared<BigImage>(40, 30);
    for (int y = 0; y < 30; ++y)
        for (int x = 0; x < 40; ++x)
            read->setPixel(x, y, fromQRgb(back.pixel(x, y)));
    QVERIFY2(samePixels(*read, *image), qPrintable(firstDifferences(*read, *image)));
    QFile tiffFile(tif);
    QVERIFY(tiffFile.open(QIODevice::ReadOnly));
    const QByteArray tiff = tiffFile.readAll();
    QVERIFY(tiff.startsWith(QByteArray("II*\0", 4)) || tiff.startsWith(QByteArray("MM\0*", 4)));
    QVERIFY(tiff.size() > 40 * 30 * 3);
}

void TestShowResult::failedSave_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("message");
    // Tests run as root, which no permission stops: the folders cannot exist.
    QTest::newRow("Qt writer, missing folder") << "missing/out.png" << "Could not open file %1.";
    QTest::newRow("TIFF writer, file as folder") << "plain.txt/out.tif" << "Could not open filename %1";
    QTest::newRow("PNM writer, missing folder") << "missing/out.pnm" << "Could not write file %1.";
}

void TestShowResult::failedSave()
{
    QFETCH(QString, name);
    QFETCH(QString, message);
    QFile plain(dir.filePath("plain.txt"));
    QVERIFY(plain.open(QIODevice::WriteOnly));
    plain.close();
    RecordingWatcher watcher;
    ShowResult dialog(DotsPerMetre{}, 0, 0, makeRandom(20, 10, 5), &watcher);
    const QString path = dir.filePath(name);
    answerFileDialog(this, path);
    child<QPushButton>(dialog, "btSave")->click();
    QCOMPARE(watcher.messages(), QStringList{message.arg(path)});
    QVERIFY(!QFile::exists(path));
}

int runShowResultTests(int argc, char** argv)
{
    TestShowResult test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_showresult.moc"
