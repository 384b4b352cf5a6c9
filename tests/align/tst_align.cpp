// The marker finder on pairs with known truth: photographs and text pages, tilts, small and
// large overlaps, gain and noise, a right image lying on its side; refusals on images that
// do not overlap; the refinement of markers placed roughly by hand.
#include "markerfinder.h"
#include "rotation.h"
#include "testpairs.h"

#include <QtTest>

using Align::Turn;

Q_DECLARE_METATYPE(PairContent)
Q_DECLARE_METATYPE(Align::Turn)
Q_DECLARE_METATYPE(BigImagePtr)

namespace {
constexpr double kTolerance = 0.3; // pixels

// Distance of a found right marker from where the truth puts its left marker.
double error(const TestPair& pair, double leftX, double leftY, double rightX, double rightY)
{
    double u, v;
    pair.toRight(leftX, leftY, u, v);
    return std::hypot(u - rightX, v - rightY);
}
} // namespace

class TestAlign : public QObject {
    Q_OBJECT
private slots:
    void findsMarkers_data();
    void findsMarkers();
    void refuses_data();
    void refuses();
    void refinesMarkers_data();
    void refinesMarkers();
};

void TestAlign::findsMarkers_data()
{
    QTest::addColumn<PairContent>("content");
    QTest::addColumn<double>("overlap");
    QTest::addColumn<double>("degrees");
    QTest::addColumn<double>("gain");
    QTest::addColumn<double>("noise");
    QTest::addColumn<Turn>("stored"); // how the right scan lies on disk: the finder must undo it
    QTest::addColumn<Turn>("needed");
    QTest::newRow("photo, upright") << PairContent::Photo << 0.2 << 0.0 << 1.0 << 0.0 << Turn::None << Turn::None;
    QTest::newRow("photo, tilted, darker, noisy") << PairContent::Photo << 0.12 << 3.0 << 0.9 << 2.0 << Turn::None << Turn::None;
    QTest::newRow("photo, 10 degrees, wide overlap") << PairContent::Photo << 0.6 << -10.0 << 1.1 << 1.0 << Turn::None << Turn::None;
    QTest::newRow("photo, narrow overlap") << PairContent::Photo << 0.07 << 1.5 << 1.0 << 1.0 << Turn::None << Turn::None;
    QTest::newRow("text page, tilted") << PairContent::Text << 0.3 << -2.0 << 1.05 << 1.5 << Turn::None << Turn::None;
    QTest::newRow("text page, narrow overlap") << PairContent::Text << 0.1 << 4.0 << 0.95 << 2.0 << Turn::None << Turn::None;
    QTest::newRow("right stored a quarter turn back") << PairContent::Photo << 0.25 << 1.0 << 1.0 << 1.0 << Turn::CounterClockwise << Turn::Clockwise;
    QTest::newRow("right stored upside down") << PairContent::Text << 0.25 << -1.0 << 1.0 << 1.0 << Turn::HalfTurn << Turn::HalfTurn;
    QTest::newRow("right stored a quarter turn on") << PairContent::Photo << 0.3 << 2.0 << 1.0 << 1.0 << Turn::Clockwise << Turn::CounterClockwise;
}

void TestAlign::findsMarkers()
{
    QFETCH(PairContent, content);
    QFETCH(double, overlap);
    QFETCH(double, degrees);
    QFETCH(double, gain);
    QFETCH(double, noise);
    QFETCH(Turn, stored);
    QFETCH(Turn, needed);
    const TestPair pair = makeTestPair(makeScene(content, 1400, 1000, 5), overlap, degrees, gain, noise, 9);
    BigImagePtr right = deepCopy(pair.right);
    if (stored == Turn::Clockwise || stored == Turn::HalfTurn)
        BigImageProcessing::rotateCW(right, nullptr);
    if (stored == Turn::HalfTurn)
        BigImageProcessing::rotateCW(right, nullptr);
    if (stored == Turn::CounterClockwise)
        BigImageProcessing::rotateCCW(right, nullptr);

    const Align::MarkerResult r = Align::findMarkers(pair.left, right);
    QVERIFY2(r.found, qPrintable(r.message));
    QCOMPARE(r.turn, needed);
    const Align::MarkerPixels& m = r.markers;
    // The seam inside the overlap, red above blue, both well inside the shared rows.
    QVERIFY(m.leftX > pair.x0 && m.leftX < pair.left->width());
    QVERIFY(m.leftRedY + 200 < m.leftBlueY);
    QVERIFY(m.leftRedY > 40 && m.leftBlueY < pair.left->height() - 40);
    // In the frame of the right image once turned as asked: the truth's frame.
    QVERIFY2(error(pair, m.leftX, m.leftRedY, m.rightRedX, m.rightRedY) < kTolerance,
             qPrintable(QString("red off by %1").arg(error(pair, m.leftX, m.leftRedY, m.rightRedX, m.rightRedY))));
    QVERIFY2(error(pair, m.leftX, m.leftBlueY, m.rightBlueX, m.rightBlueY) < kTolerance,
             qPrintable(QString("blue off by %1").arg(error(pair, m.leftX, m.leftBlueY, m.rightBlueX, m.rightBlueY))));
    QVERIFY(std::abs(r.angleDegrees + degrees) < 0.05);
    QVERIFY(r.confidence > 0.5 && r.confidence <= 1.0);
}

void TestAlign::refuses_data()
{
    QTest::addColumn<BigImagePtr>("left");
    QTest::addColumn<BigImagePtr>("right");
    QTest::addColumn<QString>("message");
    const QString none = QStringLiteral("No reliable overlap found between the two images.");
    const TestPair photo = makeTestPair(makeScene(PairContent::Photo, 1400, 1000, 5), 0.2, 1.0, 1.0, 1.0, 9);
    const TestPair other = makeTestPair(makeScene(PairContent::Photo, 1400, 1000, 77), 0.2, 1.0, 1.0, 1.0, 9);
    const TestPair text = makeTestPair(makeScene(PairContent::Text, 1400, 1000, 5), 0.2, 1.0, 1.0, 1.0, 9);
    const TestPair otherText = makeTestPair(makeScene(PairContent::Text, 1400, 1000, 78), 0.2, 1.0, 1.0, 1.0, 9);
    QTest::newRow("unrelated photographs") << photo.left << other.right << none;
    QTest::newRow("unrelated text pages") << text.left << otherText.right << none;
    QTest::newRow("blank paper") << std::make_shared<BigImage>(900, 900, colWhite)
                                 << std::make_shared<BigImage>(900, 900, colWhite) << none;
    QTest::newRow("too small") << std::make_shared<BigImage>(150, 900) << photo.right
                               << "Finding markers needs images of at least 192 pixels a side.";
    QTest::newRow("no image") << BigImagePtr() << photo.right << "Load both images first.";
}

void TestAlign::refuses()
{
    QFETCH(BigImagePtr, left);
    QFETCH(BigImagePtr, right);
    QFETCH(QString, message);
    const Align::MarkerResult r = Align::findMarkers(left, right);
    QVERIFY(!r.found);
    QCOMPARE(r.message, message);
}

void TestAlign::refinesMarkers_data()
{
    QTest::addColumn<PairContent>("content");
    QTest::addColumn<double>("dx"); // how far the user placed the right markers from the truth
    QTest::addColumn<double>("dy");
    QTest::addColumn<QString>("message"); // empty: refined
    QTest::newRow("photo, placed well") << PairContent::Photo << 0.0 << 0.0 << QString();
    QTest::newRow("photo, 30 px off") << PairContent::Photo << 22.0 << -20.0 << QString();
    QTest::newRow("text, 25 px off") << PairContent::Text << -25.0 << 6.0 << QString();
    QTest::newRow("too far off") << PairContent::Photo << 150.0 << 0.0
                                 << "The markers' surroundings could not be matched in the right image: place the "
                                    "markers on distinct content.";
}

void TestAlign::refinesMarkers()
{
    QFETCH(PairContent, content);
    QFETCH(double, dx);
    QFETCH(double, dy);
    QFETCH(QString, message);
    const TestPair pair = makeTestPair(makeScene(content, 1400, 1000, 5), 0.25, 2.0, 1.0, 1.0, 9);
    Align::MarkerPixels given{760, 150, 820, 0, 0, 0, 0};
    pair.toRight(given.leftX, given.leftRedY, given.rightRedX, given.rightRedY);
    pair.toRight(given.leftX, given.leftBlueY, given.rightBlueX, given.rightBlueY);
    given.rightRedX += dx;
    given.rightRedY += dy;
    given.rightBlueX -= dy;
    given.rightBlueY += dx;

    const Align::MarkerResult r = Align::refineMarkers(pair.left, pair.right, given);
    QCOMPARE(r.message, message);
    QCOMPARE(r.found, message.isEmpty());
    if (!r.found)
        return;
    QCOMPARE(r.markers.leftX, given.leftX);
    QCOMPARE(r.markers.leftRedY, given.leftRedY);
    QCOMPARE(r.markers.leftBlueY, given.leftBlueY);
    QVERIFY(error(pair, given.leftX, given.leftRedY, r.markers.rightRedX, r.markers.rightRedY) < kTolerance);
    QVERIFY(error(pair, given.leftX, given.leftBlueY, r.markers.rightBlueX, r.markers.rightBlueY) < kTolerance);
}

QTEST_MAIN(TestAlign)
#include "tst_align.moc"
