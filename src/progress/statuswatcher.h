// The application's progress and message hub: shows one progress dialog per running
// operation, the wait cursor while anything runs, and the messages that workers queue,
// one message box per check. Checks run on a 100 ms single-shot timer on the GUI thread.
#pragma once

#include "progressinfo.h"

#include <QFuture>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <memory>
#include <mutex>
#include <vector>

class QProgressDialog;

class StatusWatcher : public QObject {
    Q_OBJECT
public:
    explicit StatusWatcher(const QString& defaultIcon);
    ~StatusWatcher() override;

    // GUI thread, right after a worker was started. Returns the task's id (the first is 1).
    virtual size_t registerTask(const QString& name, const QFuture<void>& future, bool busy);
    // The same without a progress dialog: the task only shows the wait cursor.
    virtual size_t registerTaskWithoutDialog(const QString& name, const QFuture<void>& future);
    // GUI thread, from the wait loop. Keeps the entry with the larger value per check.
    virtual void updateProgress(const ProgressInfo& info, size_t id);
    // Any thread. An empty icon path means the default icon.
    virtual void postMessage(const QString& text, const QString& iconPath = QString());
    // GUI thread. A line shown under the text of every progress dialog from the next check
    // on, for what the user should know while the work runs; an empty note removes it.
    void setNote(const QString& note) { note_ = note; }

    QString defaultIcon() const { return defaultIcon_; }

protected:
    // For watchers that report elsewhere (the command line): no dialogs, no cursor, no timer.
    enum class NoChecks { Tag };
    StatusWatcher(const QString& defaultIcon, NoChecks);

private slots:
    void slotCheckStatus();

private:
    struct WatchedTask {
        QString name;
        QFuture<void> future;
        size_t id = 0;
        std::shared_ptr<QProgressDialog> dialog;
        QString text; // the last reported text; the name until the first report
    };
    struct PendingDialog {
        size_t id = 0;
        bool busy = false;
        QString name;
    };
    struct ProgressEntry {
        size_t id = 0;
        float value = 0.0f;
        QString text;
    };

    std::shared_ptr<QProgressDialog> createDialog(const QString& name, bool busy) const;
    QString labelText(const QString& text) const;
    void setCursorShape(Qt::CursorShape shape);

    QTimer timer_;
    std::vector<WatchedTask> tasks_;
    size_t nextId_ = 0;
    std::mutex tasksLock_;
    QStringList messageTexts_;
    QStringList messageIcons_;
    std::mutex messagesLock_;
    std::vector<ProgressEntry> progress_;
    std::mutex progressLock_;
    std::vector<PendingDialog> pending_;
    std::mutex pendingLock_;
    QString defaultIcon_;
    QString note_;
    bool cursorSet_ = false;
    bool checks_ = true;
};
