#include "watchedwait.h"

#include "statuswatcher.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QFutureWatcher>
#include <QThread>
#include <QThreadPool>
#include <QTimer>

namespace {

bool onGuiThread()
{
    const QCoreApplication* app = QCoreApplication::instance();
    return app && QThread::currentThread() == app->thread();
}

// Whether this thread has given its pool slot back already.
thread_local bool slotReleased = false;

} // namespace

ReleasedPoolSlot::ReleasedPoolSlot()
{
    // Every thread but the application's own is a pool worker here.
    if (!onGuiThread() && !slotReleased) {
        QThreadPool::globalInstance()->releaseThread();
        slotReleased = released_ = true;
    }
}

ReleasedPoolSlot::~ReleasedPoolSlot()
{
    if (released_) {
        QThreadPool::globalInstance()->reserveThread();
        slotReleased = false;
    }
}

void waitForPoolWork(const QFuture<void>& future)
{
    if (future.isFinished())
        return;
    // A worker that merely waits would hold a pool slot idle.
    ReleasedPoolSlot slot;
    QFuture<void> copy = future;
    copy.waitForFinished();
}

void watchedWait(const QFuture<void>& future, StatusWatcher* watcher, const QString& name,
                 bool busy, const ProgressInfo* info)
{
    if (!onGuiThread()) {
        waitForPoolWork(future);
        return;
    }
    const size_t id = watcher ? watcher->registerTask(name, future, busy) : 0;

    // The future watcher posts an event to this thread when the work ends, and the tick
    // wakes the loop often enough that the watcher's 100 ms check always sees fresh
    // progress; in between the thread sleeps in the event dispatcher.
    QFutureWatcher<void> finished;
    finished.setFuture(future);
    QTimer tick;
    tick.start(50);
    while (!future.isFinished()) {
        if (watcher && info)
            watcher->updateProgress(*info, id);
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
}
