// The progress hub and the watched wait: what the user sees (dialogs, their labels and
// values, the cursor, message boxes) and how waits behave on the GUI thread and in workers.
#include "consolewatcher.h"
#include "parallel.h"
#include "progressinfo.h"
#include "statuswatcher.h"
#include "watchedwait.h"

#include <QtConcurrent>
#include <QtTest>

#include <QApplication>
#include <QFutureInterface>
#include <QMessageBox>
#include <QProgressDialog>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <atomic>
#include <cstdlib>
#include <new>
#include <thread>

#include <time.h>

// Allocation failure on demand: the calling thread's n-th allocation from now throws.
namespace {
thread_local int allocationsUntilFailure = -1;
}

void* operator new(std::size_t size)
{
    if (allocationsUntilFailure == 0) {
        allocationsUntilFailure = -1;
        throw std::bad_alloc();
    }
    if (allocationsUntilFailure > 0)
        --allocationsUntilFailure;
    if (void* p = std::malloc(size ? size : 1))
        return p;
    throw std::bad_alloc();
}

void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace {

template <typename T> QList<T*> visibleTopLevels()
{
    QList<T*> found;
    for (QWidget* w : QApplication::topLevelWidgets()) {
        if (auto* t = qobject_cast<T*>(w); t && t->isVisible())
            found.append(t);
    }
    return found;
}

template <typename T> int existingTopLevels()
{
    int n = 0;
    for (QWidget* w : QApplication::topLevelWidgets())
        n += qobject_cast<T*>(w) ? 1 : 0;
    return n;
}

Qt::CursorShape overrideShape()
{
    const QCursor* c = QApplication::overrideCursor();
    return c ? c->shape() : Qt::BitmapCursor;
}

// A future whose end the test decides.
struct ManualTask {
    QFutureInterface<void> iface;
    ManualTask() { iface.reportStarted(); }
    ~ManualTask() { finish(); }
    QFuture<void> future() { return iface.future(); }
    void finish()
    {
        if (!iface.isFinished())
            iface.reportFinished();
    }
};

double threadCpuSeconds()
{
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

QString solidIcon(const QTemporaryDir& dir, const QString& name, QColor colour)
{
    QImage img(16, 16, QImage::Format_RGB32);
    img.fill(colour);
    const QString path = dir.filePath(name);
    img.save(path);
    return path;
}

QRgb iconColour(const QIcon& icon)
{
    return icon.pixmap(16, 16).toImage().pixel(8, 8);
}

void closeAll()
{
    for (QMessageBox* box : visibleTopLevels<QMessageBox>())
        box->close();
    QTest::qWait(10);
}

} // namespace

class TestProgress : public QObject {
    Q_OBJECT
private slots:
    void cleanup() { closeAll(); }
    void progressInfoCopiesWhileWritten();
    void largerValueWins();
    void dialogValueRounding_data();
    void dialogValueRounding();
    void newPhaseShowsItsText();
    void busyDialogKeepsIndicator();
    void closedDialogKeepsItsValue();
    void quickTaskGetsNoDialog();
    void twoTasksTwoDialogs();
    void cursorIsReplacedNotStacked();
    void messagesOnePerCheck();
    void zeroIdIsIgnored();
    void taskWithoutDialogShowsOnlyTheCursor();
    void consoleWatcherPrintsMessages();
    void watchedWaitFeedsTheDialog();
    void watchedWaitSleeps();
    void workerWaitReleasesItsSlot();
    void parallelForFromBusyPool();
    void parallelForEveryIndexOnce();
    void parallelForPassesExceptions();
    void parallelForJoinsWhenStartingFails();
};

void TestProgress::progressInfoCopiesWhileWritten()
{
    // A copy taken while the worker writes must never see a torn text or value.
    ProgressInfo info(0.0f, "step 0");
    std::atomic<bool> stop{false};
    std::thread writer([&] {
        for (int i = 1; !stop; ++i)
            info.set(float(i % 1000) / 1000.0f, QString("step %1").arg(i));
    });
    const QRegularExpression pattern("^step \\d+$");
    QElapsedTimer timer;
    timer.start();
    int copies = 0;
    bool allGood = true;
    while (timer.elapsed() < 200) {
        const ProgressInfo copy = info;
        ProgressInfo assigned;
        assigned = info;
        allGood = allGood && pattern.match(copy.text()).hasMatch() && pattern.match(assigned.text()).hasMatch();
        allGood = allGood && copy.value >= 0.0f && copy.value < 1.0f;
        ++copies;
    }
    stop = true;
    writer.join();
    QVERIFY(allGood);
    QVERIFY(copies > 100);
}

void TestProgress::largerValueWins()
{
    StatusWatcher watcher(":/ps.ico");
    ManualTask task;
    const size_t id = watcher.registerTask("job", task.future(), false);
    QCOMPARE(id, size_t(1));
    QTRY_COMPARE(visibleTopLevels<QProgressDialog>().size(), 1);
    QProgressDialog* dialog = visibleTopLevels<QProgressDialog>().first();
    QCOMPARE(dialog->labelText(), QString("job"));
    QCOMPARE(dialog->maximum(), 1000);
    // Work that outlives the main window must not keep the application running.
    QVERIFY(!dialog->testAttribute(Qt::WA_QuitOnClose));

    // Within one interval 0.2 "A", 0.1 "B", 0.3 "C" leave 0.3 with "C".
    watcher.updateProgress(ProgressInfo(0.2f, "A"), id);
    watcher.updateProgress(ProgressInfo(0.1f, "B"), id);
    watcher.updateProgress(ProgressInfo(0.3f, "C"), id);
    QTRY_COMPARE(dialog->labelText(), QString("C"));
    QCOMPARE(dialog->value(), 300);
    // A check without any report (the waiting loop was busy elsewhere) keeps the value.
    QTest::qWait(250);
    QCOMPARE(dialog->value(), 300);

    // An equal value does not replace the text.
    watcher.updateProgress(ProgressInfo(0.3f, "C"), id);
    watcher.updateProgress(ProgressInfo(0.3f, "D"), id);
    QTest::qWait(250);
    QCOMPARE(dialog->labelText(), QString("C"));
    QCOMPARE(dialog->value(), 300);
    QCOMPARE(overrideShape(), Qt::WaitCursor);

    task.finish();
    QTRY_COMPARE(existingTopLevels<QProgressDialog>(), 0);
    QCOMPARE(overrideShape(), Qt::ArrowCursor);
}

void TestProgress::dialogValueRounding_data()
{
    QTest::addColumn<float>("value");
    QTest::addColumn<int>("shown");
    QTest::newRow("0.4995") << 0.4995f << 500;
    QTest::newRow("one") << 1.0f << 1000;
    QTest::newRow("0.0004") << 0.0004f << 0;
    QTest::newRow("0.0005") << 0.0005f << 1;
}

void TestProgress::dialogValueRounding()
{
    QFETCH(float, value);
    QFETCH(int, shown);
    StatusWatcher watcher(":/ps.ico");
    ManualTask task;
    const size_t id = watcher.registerTask("job", task.future(), false);
    watcher.updateProgress(ProgressInfo(value, "working"), id);
    QTRY_COMPARE(visibleTopLevels<QProgressDialog>().size(), 1);
    QProgressDialog* dialog = visibleTopLevels<QProgressDialog>().first();
    QTRY_COMPARE(dialog->labelText(), QString("working"));
    QCOMPARE(dialog->value(), shown);
}

void TestProgress::newPhaseShowsItsText()
{
    StatusWatcher watcher(":/ps.ico");
    ManualTask task;
    const size_t id = watcher.registerTask("job", task.future(), false);
    watcher.updateProgress(ProgressInfo(0.8f, "first phase"), id);
    QTRY_COMPARE(visibleTopLevels<QProgressDialog>().size(), 1);
    QProgressDialog* dialog = visibleTopLevels<QProgressDialog>().first();
    QTRY_COMPARE(dialog->value(), 800);
    watcher.updateProgress(ProgressInfo(0.0f, "second phase"), id);
    QTRY_COMPARE(dialog->labelText(), QString("second phase"));
    QCOMPARE(dialog->value(), 0);
}

void TestProgress::busyDialogKeepsIndicator()
{
    StatusWatcher watcher(":/ps.ico");
    ManualTask task;
    const size_t id = watcher.registerTask("loadJPG", task.future(), true);
    QTRY_COMPARE(visibleTopLevels<QProgressDialog>().size(), 1);
    QProgressDialog* dialog = visibleTopLevels<QProgressDialog>().first();
    QCOMPARE(dialog->minimum(), 0);
    QCOMPARE(dialog->maximum(), 0);
    const int before = dialog->value();
    watcher.updateProgress(ProgressInfo(0.7f, "Loading…"), id);
    QTRY_COMPARE(dialog->labelText(), QString("Loading…"));
    QCOMPARE(dialog->maximum(), 0);
    QCOMPARE(dialog->value(), before);
}

void TestProgress::closedDialogKeepsItsValue()
{
    StatusWatcher watcher(":/ps.ico");
    ManualTask task;
    const size_t id = watcher.registerTask("job", task.future(), false);
    QTRY_COMPARE(visibleTopLevels<QProgressDialog>().size(), 1);
    QProgressDialog* dialog = visibleTopLevels<QProgressDialog>().first();
    dialog->close(); // as through the window frame: cancelled, hidden, value −1
    QCOMPARE(dialog->value(), -1);
    watcher.updateProgress(ProgressInfo(0.5f, "still running"), id);
    QTRY_COMPARE(dialog->labelText(), QString("still running"));
    QCOMPARE(dialog->value(), -1);
    QCOMPARE(overrideShape(), Qt::WaitCursor);
}

void TestProgress::quickTaskGetsNoDialog()
{
    StatusWatcher watcher(":/ps.ico");
    bool sawWait = false;
    QTimer probe;
    connect(&probe, &QTimer::timeout, [&] { sawWait = sawWait || overrideShape() == Qt::WaitCursor; });
    probe.start(5);
    ManualTask task;
    task.finish();
    watcher.registerTask("quick", task.future(), false);
    QTest::qWait(350);
    QCOMPARE(existingTopLevels<QProgressDialog>(), 0);
    QVERIFY(!sawWait);
    QCOMPARE(overrideShape(), Qt::ArrowCursor);
}

void TestProgress::twoTasksTwoDialogs()
{
    StatusWatcher watcher(":/ps.ico");
    ManualTask first, second;
    const size_t a = watcher.registerTask("first", first.future(), false);
    const size_t b = watcher.registerTask("second", second.future(), false);
    QCOMPARE(b, a + 1);
    QTRY_COMPARE(visibleTopLevels<QProgressDialog>().size(), 2);
    QStringList labels;
    for (QProgressDialog* d : visibleTopLevels<QProgressDialog>())
        labels << d->labelText();
    labels.sort();
    QCOMPARE(labels, (QStringList{"first", "second"}));

    first.finish();
    QTRY_COMPARE(visibleTopLevels<QProgressDialog>().size(), 1);
    QCOMPARE(visibleTopLevels<QProgressDialog>().first()->labelText(), QString("second"));
    QTest::qWait(150);
    QCOMPARE(overrideShape(), Qt::WaitCursor);

    second.finish();
    QTRY_COMPARE(existingTopLevels<QProgressDialog>(), 0);
    QCOMPARE(overrideShape(), Qt::ArrowCursor);
}

void TestProgress::cursorIsReplacedNotStacked()
{
    while (QApplication::overrideCursor())
        QApplication::restoreOverrideCursor();
    {
        StatusWatcher watcher(":/ps.ico");
        ManualTask task;
        watcher.registerTask("job", task.future(), false);
        QTest::qWait(450);
        QCOMPARE(overrideShape(), Qt::WaitCursor);
        task.finish();
        QTest::qWait(350);
        QCOMPARE(overrideShape(), Qt::ArrowCursor);
        // Many checks later there is still one entry on Qt's cursor stack.
        QApplication::restoreOverrideCursor();
        QVERIFY(QApplication::overrideCursor() == nullptr);
    }
    // The watcher leaves the arrow behind when it goes.
    QCOMPARE(overrideShape(), Qt::ArrowCursor);
}

void TestProgress::messagesOnePerCheck()
{
    QTemporaryDir dir;
    const QString red = solidIcon(dir, "default.png", Qt::red);
    const QString blue = solidIcon(dir, "own.png", Qt::blue);
    StatusWatcher watcher(red);
    QCOMPARE(visibleTopLevels<QMessageBox>().size(), 0);
    watcher.postMessage("first");
    watcher.postMessage("second", blue);
    watcher.postMessage("third", QString());

    QTRY_COMPARE(visibleTopLevels<QMessageBox>().size(), 1);
    QElapsedTimer timer;
    timer.start();
    QCOMPARE(visibleTopLevels<QMessageBox>().first()->text(), QString("first"));
    QTRY_COMPARE(visibleTopLevels<QMessageBox>().size(), 2);
    QTRY_COMPARE(visibleTopLevels<QMessageBox>().size(), 3);
    QVERIFY(timer.elapsed() >= 150); // one box per check, checks 100 ms apart
    QTest::qWait(250);
    QCOMPARE(visibleTopLevels<QMessageBox>().size(), 3);

    QMap<QString, QRgb> colours;
    for (QMessageBox* box : visibleTopLevels<QMessageBox>())
        colours[box->text()] = iconColour(box->windowIcon());
    QCOMPARE(colours.keys(), (QStringList{"first", "second", "third"}));
    QCOMPARE(colours["first"], QColor(Qt::red).rgb());
    QCOMPARE(colours["second"], QColor(Qt::blue).rgb());
    QCOMPARE(colours["third"], QColor(Qt::red).rgb());
}

void TestProgress::zeroIdIsIgnored()
{
    StatusWatcher watcher(":/ps.ico");
    watcher.updateProgress(ProgressInfo(0.5f, "nobody"), 0);
    QTest::qWait(150);
    QCOMPARE(existingTopLevels<QProgressDialog>(), 0);
}

void TestProgress::taskWithoutDialogShowsOnlyTheCursor()
{
    StatusWatcher watcher(":/ps.ico");
    ManualTask task;
    const size_t id = watcher.registerTaskWithoutDialog("saveDialog", task.future());
    watcher.updateProgress(ProgressInfo(0.5f, "ignored"), id);
    QTest::qWait(250);
    QCOMPARE(existingTopLevels<QProgressDialog>(), 0);
    QCOMPARE(overrideShape(), Qt::WaitCursor);
    task.finish();
    QTRY_COMPARE(overrideShape(), Qt::ArrowCursor);
}

void TestProgress::consoleWatcherPrintsMessages()
{
    // Not a terminal: messages only, one line each, from any thread, and no progress bar.
    FILE* file = std::tmpfile();
    QVERIFY(file);
    {
        ConsoleWatcher watcher(file);
        ManualTask task;
        const size_t id = watcher.registerTask("loadPPM", task.future(), false);
        watcher.updateProgress(ProgressInfo(0.5f, "Loading…"), id);
        watcher.postMessage("first.");
        QtConcurrent::run([&watcher] { watcher.postMessage("second."); }).waitForFinished();
        QCOMPARE(watcher.messageCount(), 2);
    }
    std::rewind(file);
    char buffer[256] = {};
    const size_t n = std::fread(buffer, 1, sizeof buffer - 1, file);
    std::fclose(file);
    QCOMPARE(QByteArray(buffer, int(n)), QByteArray("first.\nsecond.\n"));
}

void TestProgress::watchedWaitFeedsTheDialog()
{
    StatusWatcher watcher(":/ps.ico");
    ProgressInfo info(0.0f, "Starting…");
    QFuture<void> future = QtConcurrent::run([&info] {
        QThread::msleep(150);
        info.set(0.5f, "Half way");
        QThread::msleep(350);
    });
    QStringList labels;
    int largest = 0;
    QTimer probe;
    connect(&probe, &QTimer::timeout, [&] {
        for (QProgressDialog* d : visibleTopLevels<QProgressDialog>()) {
            if (!labels.contains(d->labelText()))
                labels << d->labelText();
            largest = std::max(largest, d->value());
        }
    });
    probe.start(10);
    watchedWait(future, &watcher, "job", false, &info);
    QVERIFY(future.isFinished());
    QVERIFY2(labels.contains("Half way"), qPrintable(labels.join(", ")));
    QCOMPARE(largest, 500);
    QTRY_COMPARE(existingTopLevels<QProgressDialog>(), 0);
}

void TestProgress::watchedWaitSleeps()
{
    // The GUI thread must stay responsive without burning the core the worker needs.
    int ticks = 0;
    QTimer ticker;
    connect(&ticker, &QTimer::timeout, [&] { ++ticks; });
    ticker.start(10);
    QFuture<void> future = QtConcurrent::run([] { QThread::msleep(600); });
    const double cpuBefore = threadCpuSeconds();
    watchedWait(future, nullptr, "job", false, nullptr);
    const double cpu = threadCpuSeconds() - cpuBefore;
    QVERIFY(future.isFinished());
    QVERIFY2(ticks >= 20, qPrintable(QString::number(ticks)));
    QVERIFY2(cpu < 0.15, qPrintable(QString("GUI thread used %1 s of CPU").arg(cpu)));
}

void TestProgress::workerWaitReleasesItsSlot()
{
    // A pool worker that waits for further pool work must not hold its slot idle: with two
    // slots, the two items of the inner map then run at the same time. Each item waits (up
    // to two seconds) for the other to start, so a busy machine only slows the test down.
    QThreadPool::globalInstance()->setMaxThreadCount(2);
    std::atomic<int> running{0};
    std::atomic<int> together{0};
    QFuture<void> outer = QtConcurrent::run([&] {
        static std::vector<int> items{0, 1};
        ReleasedPoolSlot slot;
        QFuture<void> inner = QtConcurrent::map(items, [&](int) {
            ++running;
            QElapsedTimer waited;
            waited.start();
            while (running.load() < 2 && waited.elapsed() < 2000)
                QThread::msleep(1);
            together = std::max(together.load(), running.load());
        });
        watchedWait(inner, nullptr, "inner", false, nullptr);
    });
    outer.waitForFinished();
    QCOMPARE(together.load(), 2);
    QThreadPool::globalInstance()->setMaxThreadCount(QThread::idealThreadCount());
}

void TestProgress::parallelForFromBusyPool()
{
    // Every pool slot runs a task that itself runs a parallel loop: the loops must finish on
    // their own threads instead of waiting for slots that never come free.
    QThreadPool::globalInstance()->setMaxThreadCount(2);
    std::atomic<int64_t> sum{0};
    QList<QFuture<void>> outer;
    for (int t = 0; t < 2; ++t)
        outer << QtConcurrent::run([&sum] {
            parallelFor(1000, [&sum](int64_t i) {
                QThread::usleep(50);
                sum += i;
            });
        });
    QTRY_VERIFY_WITH_TIMEOUT(outer[0].isFinished() && outer[1].isFinished(), 10000);
    QCOMPARE(sum.load(), int64_t(2 * 499500));
    QThreadPool::globalInstance()->setMaxThreadCount(QThread::idealThreadCount());
}

void TestProgress::parallelForEveryIndexOnce()
{
    std::vector<std::atomic<int>> seen(5000);
    parallelFor(5000, [&seen](int64_t i) { ++seen[size_t(i)]; });
    QVERIFY(std::all_of(seen.begin(), seen.end(), [](const std::atomic<int>& n) { return n.load() == 1; }));
    parallelFor(0, [](int64_t) { QFAIL("no items"); });
}

void TestProgress::parallelForPassesExceptions()
{
    std::atomic<int> calls{0};
    // The other items take a while, as real ones do: a process's first throw can take longer
    // than a whole loop of empty items.
    QVERIFY_EXCEPTION_THROWN(parallelFor(100000, [&calls](int64_t i) {
                                 ++calls;
                                 if (i == 10)
                                     throw std::bad_alloc();
                                 std::this_thread::sleep_for(std::chrono::microseconds(20));
                             }),
                             std::bad_alloc);
    QVERIFY(calls.load() < 100000); // the rest was not handed out
}

void TestProgress::parallelForJoinsWhenStartingFails()
{
    // Each allocation of the starting thread fails in turn. Whatever helpers started before
    // the failure must have left the body before parallelFor returns or throws: the body
    // uses the caller's stack.
    // Only this function's own allocations may fail, not the creation of pool threads (Qt
    // cannot take an exception there): the threads exist and do not expire.
    QThreadPool* pool = QThreadPool::globalInstance();
    pool->setMaxThreadCount(4);
    const int expiry = pool->expiryTimeout();
    pool->setExpiryTimeout(-1);
    std::atomic<int> warm{0};
    for (int k = 0; k < 4; ++k)
        pool->start(QRunnable::create([&warm] {
            ++warm;
            while (warm < 4)
                std::this_thread::yield();
        }));
    while (warm < 4 || pool->activeThreadCount() > 0) // not waitForDone: it ends the threads
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    bool completed = false;
    for (int n = 0; n < 200 && !completed; ++n) {
        std::atomic<int> inside{0};
        std::atomic<bool> returned{false};
        std::atomic<int> lateCalls{0};
        allocationsUntilFailure = n;
        try {
            parallelFor(400, [&](int64_t) {
                ++inside;
                if (returned)
                    ++lateCalls;
                std::this_thread::sleep_for(std::chrono::microseconds(200));
                --inside;
            });
            completed = true;
        } catch (const std::bad_alloc&) {
        }
        allocationsUntilFailure = -1;
        returned = true;
        QCOMPARE(inside.load(), 0);
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        QCOMPARE(lateCalls.load(), 0);
    }
    QVERIFY(completed);
    pool->setExpiryTimeout(expiry);
    pool->setMaxThreadCount(QThread::idealThreadCount());
}

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    TestProgress test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_progress.moc"
