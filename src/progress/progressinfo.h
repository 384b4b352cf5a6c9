// Progress record of one long operation: written by its worker, copied by the GUI thread.
// The value is atomic and the text sits behind a lock, so a copy taken while the worker
// writes never sees a torn number or a half-assigned string.
#pragma once

#include <QString>

#include <atomic>
#include <mutex>

class ProgressInfo {
public:
    ProgressInfo() = default;
    ProgressInfo(float value, const QString& text);
    ProgressInfo(const ProgressInfo& other);
    ProgressInfo& operator=(const ProgressInfo& other);

    // Fraction of the work done, 0 to 1; any thread may write or read it.
    std::atomic<float> value{0.0f};

    QString text() const;
    void setText(const QString& text);

    // A new phase: text and value together (the value first, then the text).
    void set(float value, const QString& text);

private:
    mutable std::mutex textLock_;
    QString text_;
};
