// A watcher that keeps the messages it is given, for tests of what the user would be told.
#pragma once

#include "consolewatcher.h"

#include <QStringList>

#include <mutex>

class RecordingWatcher : public ConsoleWatcher {
public:
    void postMessage(const QString& text, const QString& iconPath = QString()) override
    {
        std::lock_guard<std::mutex> guard(lock_);
        messages_ << text;
        icons_ << iconPath;
    }
    QStringList messages() const
    {
        std::lock_guard<std::mutex> guard(lock_);
        return messages_;
    }
    QStringList icons() const
    {
        std::lock_guard<std::mutex> guard(lock_);
        return icons_;
    }
    void clear()
    {
        std::lock_guard<std::mutex> guard(lock_);
        messages_.clear();
        icons_.clear();
    }

private:
    mutable std::mutex lock_;
    QStringList messages_;
    QStringList icons_;
};
