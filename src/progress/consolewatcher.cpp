#include "consolewatcher.h"

#include <QByteArray>

#include <unistd.h>

ConsoleWatcher::ConsoleWatcher(FILE* stream)
    : StatusWatcher(QString(), NoChecks::Tag), stream_(stream), terminal_(isatty(fileno(stream)) != 0)
{
    sinceDraw_.start();
}

ConsoleWatcher::~ConsoleWatcher()
{
    std::lock_guard<std::mutex> guard(lock_);
    clearBar();
}

size_t ConsoleWatcher::registerTask(const QString&, const QFuture<void>&, bool)
{
    std::lock_guard<std::mutex> guard(lock_);
    return ++nextId_;
}

size_t ConsoleWatcher::registerTaskWithoutDialog(const QString&, const QFuture<void>&)
{
    std::lock_guard<std::mutex> guard(lock_);
    return ++nextId_;
}

void ConsoleWatcher::updateProgress(const ProgressInfo& info, size_t id)
{
    if (id == 0 || !terminal_)
        return;
    std::lock_guard<std::mutex> guard(lock_);
    // Redraw at most ten times a second; the wait loop calls far more often.
    if (barShown_ && sinceDraw_.elapsed() < 100)
        return;
    sinceDraw_.restart();
    const float value = std::min(1.0f, std::max(0.0f, info.value.load()));
    const int width = 30;
    const int filled = int(value * width + 0.5f);
    const QByteArray text = info.text().toLocal8Bit().left(40);
    std::fprintf(stream_, "\r%-40s [%s%s] %3d%%", text.constData(), QByteArray(filled, '#').constData(),
                 QByteArray(width - filled, ' ').constData(), int(value * 100.0f + 0.5f));
    std::fflush(stream_);
    barShown_ = true;
}

void ConsoleWatcher::postMessage(const QString& text, const QString&)
{
    std::lock_guard<std::mutex> guard(lock_);
    clearBar();
    std::fprintf(stream_, "%s\n", text.toLocal8Bit().constData());
    std::fflush(stream_);
    ++messages_;
}

int ConsoleWatcher::messageCount() const
{
    std::lock_guard<std::mutex> guard(lock_);
    return messages_;
}

void ConsoleWatcher::clearBar()
{
    if (!barShown_)
        return;
    std::fprintf(stream_, "\r%80s\r", "");
    std::fflush(stream_);
    barShown_ = false;
}
