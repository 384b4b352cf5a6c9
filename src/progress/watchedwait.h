// The watched wait: how the GUI thread waits for pool work without freezing the window,
// and how a pool worker waits for further pool work without idling a core.
#pragma once

#include "progressinfo.h"

#include <QFuture>
#include <QString>

class StatusWatcher;

// On the GUI thread: registers the future with the watcher (when one is given) under
// `name`, then keeps processing events until the future has finished, handing the
// watcher a copy of `info` (when given) at least every 50 ms. It blocks in the event
// dispatcher rather than spinning, woken by the future's completion and by timers.
// Called from any other thread it waits as waitForPoolWork does.
void watchedWait(const QFuture<void>& future, StatusWatcher* watcher, const QString& name,
                 bool busy, const ProgressInfo* info);

// Waits for `future`. From a pool thread it gives its pool slot back while it waits, so
// that the work it waits for can use every core.
void waitForPoolWork(const QFuture<void>& future);

// A pool worker that starts further pool work and then waits for it holds one of these
// from before the start until after the wait: the pool may then run the new work on every
// slot from the beginning (a parallel map decides how many threads it uses as it starts).
// Elsewhere it does nothing.
class ReleasedPoolSlot {
public:
    ReleasedPoolSlot();
    ~ReleasedPoolSlot();
    ReleasedPoolSlot(const ReleasedPoolSlot&) = delete;
    ReleasedPoolSlot& operator=(const ReleasedPoolSlot&) = delete;

private:
    bool released_ = false;
};
