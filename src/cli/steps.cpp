#include "steps.h"

#include "cliargs.h"
#include "rotation.h"
#include "saving.h"
#include "watchedwait.h"

#include <QStringList>
#include <QtConcurrent>

#include <cstdio>
#include <vector>

namespace CliSteps {

namespace {

constexpr int kWrittenFromDamagedInput = 2;

QString pixels(const std::vector<double>& v)
{
    QStringList parts;
    for (double x : v) {
        QString t = QString::number(x, 'f', 2);
        while (t.endsWith('0'))
            t.chop(1);
        if (t.endsWith('.'))
            t.chop(1);
        parts << t;
    }
    return parts.join(',');
}

} // namespace

int fail(const QString& text)
{
    std::fprintf(stderr, "%s\n", text.toLocal8Bit().constData());
    return 1;
}

void turn(BigImagePtr& image, int quarters)
{
    const int q = ((quarters % 4) + 4) % 4;
    if (q == 2)
        image = BigImageProcessing::turnFreeing(image, true);
    if (q != 0)
        image = BigImageProcessing::turnFreeing(image, q != 3);
}

Align::MarkerResult runFinder(const BigImagePtr& left, const BigImagePtr& right, StatusWatcher* watcher,
                              const Align::MarkerPixels* given)
{
    ProgressInfo progress(0.0f, QStringLiteral("Initializing…"));
    Align::MarkerResult result;
    const QFuture<void> future = QtConcurrent::run([&] {
        result = given ? Align::refineMarkers(left, right, *given, &progress)
                       : Align::findMarkers(left, right, &progress);
    });
    watchedWait(future, watcher, QStringLiteral("markers"), false, &progress);
    return result;
}

QString markerOptions(const Align::MarkerPixels& m, int rightQuarters)
{
    QString line = "--left " + pixels({m.leftX, m.leftRedY, m.leftBlueY}) + " --right "
                   + pixels({m.rightRedX, m.rightRedY, m.rightBlueX, m.rightBlueY});
    const QString turned = CliArgs::turnOf(rightQuarters);
    if (!turned.isEmpty())
        line += " --turn-right " + turned;
    return line;
}

int writeImage(const BigImagePtr& image, const QString& output, DotsPerMetre dpi, const QString& comment,
               StatusWatcher* watcher)
{
    BigImageSaveData save;
    save.image = image;
    save.filename = output;
    save.dpi = dpi;
    save.description = comment;
    save.watcher = watcher;
    save.filters = BigImageIO::saveFilters(image, BigImageIO::SizeNotice::StandardError);
    BigImageIO::saveToFile(save);
    return save.saved ? 0 : 1;
}

int finish(int written, bool damaged, const QString& output)
{
    if (written != 0 || !damaged)
        return written;
    std::fprintf(stderr, "Warning: %s was written from a damaged input.\n", output.toLocal8Bit().constData());
    return kWrittenFromDamagedInput;
}

} // namespace CliSteps
