#include "parallel.h"

#include <QRunnable>
#include <QThreadPool>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <exception>
#include <memory>
#include <mutex>

namespace {

struct Loop {
    std::atomic<int64_t> next{0};
    int64_t count = 0;
    std::function<void(int64_t)> body;
    std::mutex lock;
    std::condition_variable finished;
    int helpers = 0; // helpers still running, under lock
    std::exception_ptr error;

    void work()
    {
        for (;;) {
            const int64_t i = next.fetch_add(1);
            if (i >= count)
                return;
            try {
                body(i);
            } catch (...) {
                std::lock_guard<std::mutex> guard(lock);
                if (!error)
                    error = std::current_exception();
                next = count;
            }
        }
    }
};

} // namespace

// Waits for every helper that started, also when an exception leaves parallelFor: the
// helpers run the caller's body, which refers to the caller's stack.
struct JoinHelpers {
    Loop& loop;
    ~JoinHelpers()
    {
        std::unique_lock<std::mutex> guard(loop.lock);
        loop.finished.wait(guard, [&] { return loop.helpers == 0; });
    }
};

void parallelFor(int64_t count, const std::function<void(int64_t)>& body)
{
    if (count <= 0)
        return;
    auto loop = std::make_shared<Loop>();
    loop->count = count;
    loop->body = body;
    QThreadPool* pool = QThreadPool::globalInstance();
    const int64_t wanted = std::min<int64_t>(count, pool->maxThreadCount()) - 1;
    {
        JoinHelpers join{*loop};
        try {
            for (int64_t k = 0; k < wanted; ++k) {
                std::unique_ptr<QRunnable> helper(QRunnable::create([loop] {
                    loop->work();
                    std::lock_guard<std::mutex> guard(loop->lock);
                    --loop->helpers;
                    loop->finished.notify_all();
                }));
                {
                    std::lock_guard<std::mutex> guard(loop->lock);
                    ++loop->helpers;
                }
                // Only a slot that is free now: tryStart never queues. A throw from it
                // means that no thread took the helper.
                bool started = false;
                try {
                    started = pool->tryStart(helper.get());
                } catch (...) {
                    std::lock_guard<std::mutex> guard(loop->lock);
                    --loop->helpers;
                    throw;
                }
                if (!started) {
                    std::lock_guard<std::mutex> guard(loop->lock);
                    --loop->helpers;
                    break;
                }
                helper.release(); // the pool deletes it when it has run
            }
        } catch (...) {
            // No item is handed out any more; the helpers finish the ones they hold.
            loop->next = count;
            throw;
        }
        loop->work();
    }
    if (loop->error)
        std::rethrow_exception(loop->error);
}
