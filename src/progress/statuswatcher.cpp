#include "statuswatcher.h"

#include <QApplication>
#include <QCursor>
#include <QIcon>
#include <QMessageBox>
#include <QProgressDialog>

#include <algorithm>

StatusWatcher::StatusWatcher(const QString& defaultIcon) : defaultIcon_(defaultIcon)
{
    timer_.setSingleShot(true);
    connect(&timer_, &QTimer::timeout, this, &StatusWatcher::slotCheckStatus, Qt::DirectConnection);
    timer_.start(100);
}

StatusWatcher::StatusWatcher(const QString& defaultIcon, NoChecks) : defaultIcon_(defaultIcon), checks_(false) {}

StatusWatcher::~StatusWatcher()
{
    if (checks_)
        setCursorShape(Qt::ArrowCursor);
}

size_t StatusWatcher::registerTask(const QString& name, const QFuture<void>& future, bool busy)
{
    std::lock_guard<std::mutex> tasksGuard(tasksLock_);
    std::lock_guard<std::mutex> pendingGuard(pendingLock_);
    const size_t id = ++nextId_;
    tasks_.push_back(WatchedTask{name, future, id, nullptr, name});
    pending_.push_back(PendingDialog{id, busy, name});
    return id;
}

size_t StatusWatcher::registerTaskWithoutDialog(const QString& name, const QFuture<void>& future)
{
    std::lock_guard<std::mutex> tasksGuard(tasksLock_);
    const size_t id = ++nextId_;
    tasks_.push_back(WatchedTask{name, future, id, nullptr, name});
    return id;
}

void StatusWatcher::updateProgress(const ProgressInfo& info, size_t id)
{
    if (id == 0)
        return;
    const float value = info.value.load();
    std::lock_guard<std::mutex> guard(progressLock_);
    for (ProgressEntry& entry : progress_) {
        if (entry.id != id)
            continue;
        // A text that comes with an equal or smaller value waits for the next check:
        // rows finish in any order, and the dialog must not run backwards.
        if (value > entry.value) {
            entry.value = value;
            entry.text = info.text();
        }
        return;
    }
    progress_.push_back(ProgressEntry{id, value, info.text()});
}

void StatusWatcher::postMessage(const QString& text, const QString& iconPath)
{
    std::lock_guard<std::mutex> guard(messagesLock_);
    messageTexts_.append(text);
    messageIcons_.append(iconPath.isEmpty() ? defaultIcon_ : iconPath);
}

std::shared_ptr<QProgressDialog> StatusWatcher::createDialog(const QString& name, bool busy) const
{
    auto dialog = std::make_shared<QProgressDialog>(nullptr, Qt::WindowTitleHint | Qt::WindowSystemMenuHint);
    dialog->setCancelButtonText(QString());
    dialog->setWindowIcon(QIcon(defaultIcon_));
    dialog->setLabelText(labelText(name));
    // A dialog of work that outlives the main window must not keep the application running.
    dialog->setAttribute(Qt::WA_QuitOnClose, false);
    dialog->show();
    // Modal only after showing, and without a parent, so that it blocks no window.
    dialog->setWindowModality(Qt::WindowModal);
    dialog->setAutoReset(false);
    dialog->setAutoClose(false);
    dialog->setMinimumDuration(0);
    if (busy) {
        dialog->setMinimum(0);
        dialog->setMaximum(0);
    } else {
        dialog->setMaximum(1000);
        dialog->setMinimum(0);
        dialog->setValue(0);
    }
    dialog->setFocus();
    return dialog;
}

QString StatusWatcher::labelText(const QString& text) const
{
    return note_.isEmpty() ? text : text + '\n' + note_;
}

void StatusWatcher::setCursorShape(Qt::CursorShape shape)
{
    // Replace the override cursor instead of pushing a new one every check, so that
    // Qt's cursor stack never grows however long the program runs.
    if (cursorSet_ && QApplication::overrideCursor()) {
        if (QApplication::overrideCursor()->shape() != shape)
            QApplication::changeOverrideCursor(QCursor(shape));
    } else {
        QApplication::setOverrideCursor(QCursor(shape));
        cursorSet_ = true;
    }
}

void StatusWatcher::slotCheckStatus()
{
    // Take what this check needs under the locks, in their fixed order, then let go of
    // them before touching any widget: a modal progress dialog processes events in
    // setValue, and a slot run from there may register a task or post a message on
    // this very thread.
    std::vector<WatchedTask> tasks;
    std::vector<PendingDialog> pending;
    std::vector<ProgressEntry> progress;
    QString messageText;
    QString messageIcon;
    bool haveMessage = false;
    {
        std::lock_guard<std::mutex> tasksGuard(tasksLock_);
        std::lock_guard<std::mutex> pendingGuard(pendingLock_);
        std::lock_guard<std::mutex> progressGuard(progressLock_);
        std::lock_guard<std::mutex> messagesGuard(messagesLock_);
        tasks = tasks_;
        pending.swap(pending_);
        progress.swap(progress_);
        if (!messageTexts_.isEmpty()) {
            haveMessage = true;
            messageText = messageTexts_.takeFirst();
            messageIcon = messageIcons_.takeFirst();
        }
    }

    bool unfinished = false;
    for (WatchedTask& task : tasks) {
        if (task.future.isFinished()) {
            if (task.dialog)
                task.dialog->hide();
            continue;
        }
        for (const PendingDialog& p : pending) {
            if (p.id == task.id && !task.dialog)
                task.dialog = createDialog(task.name, p.busy);
        }
        float largest = 0.0f;
        bool reported = false;
        for (const ProgressEntry& entry : progress) {
            if (entry.id != task.id)
                continue;
            largest = std::max(largest, entry.value);
            reported = true;
            task.text = entry.text;
        }
        // Also without a report: the note may have changed.
        if (task.dialog && task.dialog->labelText() != labelText(task.text))
            task.dialog->setLabelText(labelText(task.text));
        // An interval without a report (its waiting loop was held up by a nested one) keeps
        // the bar where it was instead of dropping it to zero. A dialog closed through its
        // frame reads -1 from then on; its value is left alone.
        if (reported && task.dialog && task.dialog->value() != -1)
            task.dialog->setValue(int(float(task.dialog->maximum()) * largest + 0.5f));
        unfinished = true;
    }

    // Ids grow with every registration, so the last one seen marks what this check knew.
    const size_t seenUpTo = tasks.empty() ? 0 : tasks.back().id;
    {
        std::lock_guard<std::mutex> tasksGuard(tasksLock_);
        for (WatchedTask& live : tasks_) {
            for (const WatchedTask& seen : tasks) {
                if (seen.id == live.id) {
                    live.dialog = seen.dialog;
                    live.text = seen.text;
                }
            }
        }
        if (!unfinished) {
            // Everything seen here has finished: drop those tasks with their dialogs. A task
            // registered while the dialogs were updated stays for the next check.
            tasks_.erase(std::remove_if(tasks_.begin(), tasks_.end(),
                                        [&](const WatchedTask& t) { return t.id <= seenUpTo; }),
                         tasks_.end());
        }
    }
    tasks.clear();

    setCursorShape(unfinished ? Qt::WaitCursor : Qt::ArrowCursor);

    if (haveMessage) {
        auto* box = new QMessageBox();
        box->setAttribute(Qt::WA_DeleteOnClose);
        box->setText(messageText);
        box->setWindowIcon(QIcon(messageIcon));
        box->show();
    }
    timer_.start(100);
}
