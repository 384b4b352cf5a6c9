// A watcher for programs without a window: messages go to standard error at once, and
// while a long step runs a progress bar is drawn there when it is a terminal.
#pragma once

#include "statuswatcher.h"

#include <QElapsedTimer>

#include <cstdio>
#include <mutex>

class ConsoleWatcher : public StatusWatcher {
public:
    // `stream` is where everything goes (stderr normally); the bar needs a terminal.
    explicit ConsoleWatcher(FILE* stream = stderr);
    ~ConsoleWatcher() override;

    size_t registerTask(const QString& name, const QFuture<void>& future, bool busy) override;
    size_t registerTaskWithoutDialog(const QString& name, const QFuture<void>& future) override;
    void updateProgress(const ProgressInfo& info, size_t id) override;
    void postMessage(const QString& text, const QString& iconPath = QString()) override;

    // Messages printed so far.
    int messageCount() const;

private:
    void clearBar(); // with lock_ held

    FILE* stream_;
    bool terminal_;
    mutable std::mutex lock_;
    size_t nextId_ = 0;
    bool barShown_ = false;
    QElapsedTimer sinceDraw_;
    int messages_ = 0;
};
