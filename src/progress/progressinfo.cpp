#include "progressinfo.h"

ProgressInfo::ProgressInfo(float v, const QString& text) : value(v), text_(text) {}

ProgressInfo::ProgressInfo(const ProgressInfo& other) : value(other.value.load()), text_(other.text()) {}

ProgressInfo& ProgressInfo::operator=(const ProgressInfo& other)
{
    if (this == &other)
        return *this;
    value = other.value.load();
    setText(other.text());
    return *this;
}

QString ProgressInfo::text() const
{
    std::lock_guard<std::mutex> lock(textLock_);
    return text_;
}

void ProgressInfo::setText(const QString& text)
{
    // Copy outside the lock; the lock only covers the swap of the shared data pointer.
    QString copy = text;
    std::lock_guard<std::mutex> lock(textLock_);
    text_.swap(copy);
}

void ProgressInfo::set(float v, const QString& text)
{
    value = v;
    setText(text);
}
