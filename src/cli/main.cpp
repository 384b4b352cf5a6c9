// seamwright-cli: the program's loaders and writers on the command line, for batch work and
// for checking files. It runs without a display; every message the loaders and writers post
// is printed on standard error, and the exit status is 0 only when the output was written.
#include "alignment.h"
#include "cliargs.h"
#include "consolewatcher.h"
#include "jpegencoder.h"
#include "largememory.h"
#include "loading.h"
#include "markerfinder.h"
#include "rotation.h"
#include "saving.h"
#include "stitcher.h"
#include "watchedwait.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStringList>
#include <QtConcurrent>

#include <cmath>
#include <cstdio>
#include <exception>

namespace {

using CliArgs::isTurnName;
using CliArgs::parseNumbers;

const char* const kUsage =
    "usage:\n"
    "  seamwright-cli convert INPUT OUTPUT [--comment TEXT]\n"
    "  seamwright-cli stitch LEFT RIGHT OUTPUT [--left X,RED_Y,BLUE_Y\n"
    "                 --right RED_X,RED_Y,BLUE_X,BLUE_Y [--refine]] [--width 50..300]\n"
    "                 [--turn-left cw|ccw|180] [--turn-right cw|ccw|180]\n"
    "  seamwright-cli markers LEFT RIGHT [--json] [--turn-left cw|ccw|180]\n"
    "                 [--turn-right cw|ccw|180]\n"
    "  seamwright-cli --help\n"
    "\n"
    "convert  loads INPUT (.jpg .jpeg .tif .tiff .png .bmp .pnm .ppm .pgm .pbm, suffixes in\n"
    "         lower case) exactly as the window does and writes OUTPUT in the format that its\n"
    "         suffix names, as the result dialog saves: .jpg/.jpeg, .tif/.tiff, .pnm/.pbm and\n"
    "         .png, where the image's size allows the format (large images: JPEG, TIFF and\n"
    "         PNM; sides of 65000 pixels or more: TIFF and PNM; TIFF files beyond 4 GB are\n"
    "         BigTIFF).\n"
    "         --comment TEXT  (JPEG and TIFF outputs only) stores TEXT in the file; such files\n"
    "                         are always written by Seamwright's own JPEG encoder (quality\n"
    "                         100) or TIFF writer.\n"
    "\n"
    "stitch   loads LEFT and RIGHT as convert does, turns them by quarter turns when asked,\n"
    "         stitches them as \"Start Stitching\" does and writes OUTPUT as convert writes\n"
    "         it, with the left image's resolution. The markers are pixel positions in the\n"
    "         images after their turns: on the left the seam column X with the rows of the red\n"
    "         (upper) and blue (lower) marker, on the right both markers' columns and rows.\n"
    "         --width is the matching width (default 50). After the stitch it prints how\n"
    "         well the seam matched (\"Seam match: 97 %.\"), or a warning when the markers\n"
    "         seem to sit on different content; a warning leaves the exit status at 0.\n"
    "         Without --left and --right the markers are found in the images (and the quarter\n"
    "         turn that the right image needs); they are printed on standard output in the\n"
    "         form of these options, for reuse. --refine moves the given right markers (each\n"
    "         within about 30 pixels of its place) to their best match first and prints them.\n"
    "\n"
    "markers  finds the markers as stitch does, prints them (with --turn-right when the\n"
    "         right image needs a turn), the angle and the confidence (0 to 1), and stitches\n"
    "         nothing. --json prints one JSON object instead.\n"
    "\n"
    "--cache-dir DIR  (any command) the folder where an image that does not fit in the\n"
    "         memory available is kept on disk instead, in an unnamed file that goes with the\n"
    "         program (default: SEAMWRIGHT_CACHE_DIR, else the user's cache folder). The\n"
    "         memory an image may take is judged from the system's available memory, the\n"
    "         memory limit of the process's control group and SEAMWRIGHT_MEMORY_LIMIT (bytes).\n"
    "\n"
    "Messages go to standard error, with a progress bar while a long step runs when standard\n"
    "error is a terminal. Exit status: 0 when OUTPUT was written; 2 when it was written from\n"
    "a damaged input (what could be read of a corrupt or cut JPEG file, the rest black);\n"
    "1 otherwise, and when the markers could not be found or refined.\n";

constexpr int kWrittenFromDamagedInput = 2;

int fail(const QString& text)
{
    std::fprintf(stderr, "%s\n", text.toLocal8Bit().constData());
    return 1;
}

// Writes the image as the result dialog saves it, in the format that the name's suffix names.
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

// The exit status once the inputs are loaded: a file written from a damaged input says so.
int finish(int written, const BigImageLoadData& load, const QString& output)
{
    if (written != 0 || !load.damaged)
        return written;
    std::fprintf(stderr, "Warning: %s was written from a damaged input.\n", output.toLocal8Bit().constData());
    return kWrittenFromDamagedInput;
}

int convert(const QStringList& args)
{
    QStringList positional;
    QString comment;
    bool haveComment = false;
    for (int i = 0; i < args.size(); ++i) {
        if (args[i] == "--comment") {
            if (i + 1 >= args.size())
                return fail(QStringLiteral("--comment needs a text."));
            comment = args[++i];
            haveComment = true;
        } else if (args[i].startsWith("--")) {
            return fail("Unknown option " + args[i] + ". See seamwright-cli --help.");
        } else {
            positional << args[i];
        }
    }
    if (positional.size() != 2)
        return fail(QStringLiteral("convert needs INPUT and OUTPUT. See seamwright-cli --help."));
    const QString input = positional[0];
    const QString output = positional[1];
    const QString kind = QFileInfo(output).suffix().toLower();
    if (haveComment && kind != "jpg" && kind != "jpeg" && kind != "tif" && kind != "tiff")
        return fail("--comment is for JPEG and TIFF outputs only (.jpg, .jpeg, .tif, .tiff), not for " + output + ".");
    if (haveComment && (kind == "jpg" || kind == "jpeg") && comment.toLocal8Bit().size() > kMaxJpegComment)
        return fail("--comment holds " + QString::number(comment.toLocal8Bit().size())
                    + " bytes; a JPEG file holds at most " + QString::number(kMaxJpegComment) + ".");

    ConsoleWatcher watcher(stderr);
    DotsPerMetre dpi;
    BigImageLoadData load;
    load.watcher = &watcher;
    load.dpi = &dpi;
    const BigImagePtr image = BigImageIO::loadImageFile(input, load);
    if (!image)
        return 1;

    return finish(writeImage(image, output, dpi, comment, &watcher), load, output);
}

// how: "cw", "ccw" or "180", checked before anything is loaded.
void turn(const BigImagePtr& image, const QString& how)
{
    if (how == "ccw") {
        BigImageProcessing::rotateCCW(image, nullptr);
        return;
    }
    BigImageProcessing::rotateCW(image, nullptr);
    if (how == "180")
        BigImageProcessing::rotateCW(image, nullptr);
}

// Quarter turns as counts of clockwise quarters, so that a turn asked for and a turn found add up.
int quarters(const QString& how) { return how == "cw" ? 1 : how == "180" ? 2 : how == "ccw" ? 3 : 0; }
QString turnOf(int q)
{
    static const char* const names[] = {"", "cw", "180", "ccw"};
    return QString::fromLatin1(names[((q % 4) + 4) % 4]);
}

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

// The markers in the form of stitch's options.
QString markerOptions(const Align::MarkerPixels& m, int rightQuarters)
{
    QString line = "--left " + pixels({m.leftX, m.leftRedY, m.leftBlueY}) + " --right "
                   + pixels({m.rightRedX, m.rightRedY, m.rightBlueX, m.rightBlueY});
    if (!turnOf(rightQuarters).isEmpty())
        line += " --turn-right " + turnOf(rightQuarters);
    return line;
}

// The options of stitch and markers. Returns an error text, empty when all is well.
struct PairOptions {
    QStringList positional;
    QString leftSpec, rightSpec, turnLeft, turnRight;
    int width = 50;
    bool refine = false;
    bool json = false;
};

QString parsePairOptions(const QStringList& args, bool stitching, PairOptions& o)
{
    for (int i = 0; i < args.size(); ++i) {
        const QString& a = args[i];
        const bool valued = a == "--turn-left" || a == "--turn-right"
                            || (stitching && (a == "--left" || a == "--right" || a == "--width"));
        if (valued) {
            if (i + 1 >= args.size())
                return a + " needs a value. See seamwright-cli --help.";
            const QString v = args[++i];
            if (a == "--left") {
                o.leftSpec = v;
            } else if (a == "--right") {
                o.rightSpec = v;
            } else if (a == "--turn-left") {
                o.turnLeft = v;
            } else if (a == "--turn-right") {
                o.turnRight = v;
            } else {
                bool ok = false;
                o.width = v.toInt(&ok);
                if (!ok || o.width < 50 || o.width > 300)
                    return "--width must be a whole number from 50 to 300, not " + v + ".";
            }
        } else if (stitching && a == "--refine") {
            o.refine = true;
        } else if (!stitching && a == "--json") {
            o.json = true;
        } else if (a.startsWith("--")) {
            return "Unknown option " + a + ". See seamwright-cli --help.";
        } else {
            o.positional << a;
        }
    }
    for (const QString& t : {o.turnLeft, o.turnRight})
        if (!t.isEmpty() && !isTurnName(t))
            return "A turn is cw, ccw or 180, not " + t + ".";
    return QString();
}

struct LoadedPair {
    BigImagePtr left, right;
    DotsPerMetre leftDpi, rightDpi;
    BigImageLoadData load;
};

bool loadPair(const PairOptions& o, ConsoleWatcher& watcher, LoadedPair& p)
{
    p.load.watcher = &watcher;
    p.load.dpi = &p.leftDpi;
    p.left = BigImageIO::loadImageFile(o.positional[0], p.load);
    if (!p.left)
        return false;
    p.load.dpi = &p.rightDpi;
    p.load.loaded = false;
    p.right = BigImageIO::loadImageFile(o.positional[1], p.load);
    if (!p.right)
        return false;
    if (!o.turnLeft.isEmpty())
        turn(p.left, o.turnLeft);
    if (!o.turnRight.isEmpty())
        turn(p.right, o.turnRight);
    return true;
}

// Runs the finder (or, with given markers, the refinement) on the pool with progress.
Align::MarkerResult runFinder(const LoadedPair& p, ConsoleWatcher& watcher, const Align::MarkerPixels* given)
{
    ProgressInfo progress(0.0f, QStringLiteral("Initializing…"));
    Align::MarkerResult result;
    const QFuture<void> future = QtConcurrent::run([&] {
        result = given ? Align::refineMarkers(p.left, p.right, *given, &progress)
                       : Align::findMarkers(p.left, p.right, &progress);
    });
    watchedWait(future, &watcher, QStringLiteral("markers"), false, &progress);
    return result;
}

int markers(const QStringList& args)
{
    PairOptions o;
    const QString error = parsePairOptions(args, false, o);
    if (!error.isEmpty())
        return fail(error);
    if (o.positional.size() != 2)
        return fail(QStringLiteral("markers needs LEFT and RIGHT. See seamwright-cli --help."));
    ConsoleWatcher watcher(stderr);
    LoadedPair p;
    if (!loadPair(o, watcher, p))
        return 1;
    const Align::MarkerResult r = runFinder(p, watcher, nullptr);
    const int turned = quarters(o.turnRight) + quarters(Align::turnName(r.turn));
    if (o.json) {
        QJsonObject j;
        j["found"] = r.found;
        if (r.found) {
            const Align::MarkerPixels& m = r.markers;
            j["left"] = QJsonArray{m.leftX, m.leftRedY, m.leftBlueY};
            j["right"] = QJsonArray{m.rightRedX, m.rightRedY, m.rightBlueX, m.rightBlueY};
            j["turn_right"] = turnOf(turned);
            j["angle_degrees"] = r.angleDegrees;
            j["confidence"] = r.confidence;
        } else {
            j["message"] = r.message;
        }
        std::fputs(QJsonDocument(j).toJson(QJsonDocument::Compact).append('\n').constData(), stdout);
    }
    if (!r.found)
        return fail(r.message);
    if (!o.json)
        std::printf("%s\nangle %.3f degrees, confidence %.2f\n", markerOptions(r.markers, turned).toLocal8Bit().constData(),
                    r.angleDegrees, r.confidence);
    return 0;
}

int stitch(const QStringList& args)
{
    PairOptions o;
    const QString error = parsePairOptions(args, true, o);
    if (!error.isEmpty())
        return fail(error);
    if (o.positional.size() != 3)
        return fail(QStringLiteral("stitch needs LEFT, RIGHT and OUTPUT. See seamwright-cli --help."));
    const bool given = !o.leftSpec.isEmpty() || !o.rightSpec.isEmpty();
    std::vector<double> l, r;
    if (given && !parseNumbers(o.leftSpec, 3, l))
        return fail(QStringLiteral("--left needs X,RED_Y,BLUE_Y in pixels, for example --left 4000,600,5400."));
    if (given && !parseNumbers(o.rightSpec, 4, r))
        return fail(QStringLiteral(
            "--right needs RED_X,RED_Y,BLUE_X,BLUE_Y in pixels, for example --right 606,493,665,5292."));
    if (o.refine && !given)
        return fail(QStringLiteral("--refine needs --left and --right. See seamwright-cli --help."));

    ConsoleWatcher watcher(stderr);
    LoadedPair p;
    if (!loadPair(o, watcher, p))
        return 1;
    const BigImagePtr& left = p.left;
    const BigImagePtr& right = p.right;
    if (!given || o.refine) {
        Align::MarkerPixels start;
        if (given)
            start = {l[0], l[1], l[2], r[0], r[1], r[2], r[3]};
        const Align::MarkerResult found = runFinder(p, watcher, given ? &start : nullptr);
        if (!found.found)
            return fail(found.message);
        if (found.turn != Align::Turn::None)
            turn(right, Align::turnName(found.turn));
        const Align::MarkerPixels& m = found.markers;
        l = {m.leftX, m.leftRedY, m.leftBlueY};
        r = {m.rightRedX, m.rightRedY, m.rightBlueX, m.rightBlueY};
        std::printf("%s\n", markerOptions(m, quarters(o.turnRight) + quarters(Align::turnName(found.turn)))
                                  .toLocal8Bit()
                                  .constData());
        std::fflush(stdout);
    }

    // The same fractions that the marker views would hold for these pixels.
    StitchEngine::MarkerFractions m;
    m.leftX = float(l[0]) / float(left->width());
    m.leftRedY = float(l[1]) / float(left->height());
    m.leftBlueY = float(l[2]) / float(left->height());
    m.rightRedX = float(r[0]) / float(right->width());
    m.rightRedY = float(r[1]) / float(right->height());
    m.rightBlueX = float(r[2]) / float(right->width());
    m.rightBlueY = float(r[3]) / float(right->height());
    const StitchEngine::StitchGeometry g = StitchEngine::stitchGeometry(m, o.width, left->width(), left->height(),
                                                                        right->width(), right->height());

    ProgressInfo progress(0.0f, QStringLiteral("Initializing…"));
    StitchEngine::StitchOutcome outcome;
    const QFuture<void> future = QtConcurrent::run([&] { outcome = StitchEngine::stitchImages(left, right, g, &progress); });
    watchedWait(future, &watcher, QStringLiteral("stitch"), false, &progress);
    if (!outcome.image)
        return fail(outcome.error);
    // A poor match is a warning about the markers, not a failure: the output is written.
    watcher.postMessage(StitchEngine::seamQualityText(outcome.quality));
    return finish(writeImage(outcome.image, o.positional[2], p.leftDpi, QString(), &watcher), p.load,
                  o.positional[2]);
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QStringList args = app.arguments().mid(1);
    if (args.isEmpty())
        return fail(QString::fromLatin1(kUsage).trimmed());
    if (args.first() == "--help" || args.first() == "-h" || args.first() == "help") {
        std::fputs(kUsage, stdout);
        return 0;
    }
    // For every command: where images that do not fit in memory are kept.
    const int cacheAt = args.indexOf(QStringLiteral("--cache-dir"));
    if (cacheAt >= 0) {
        if (cacheAt + 1 >= args.size() || args.at(cacheAt + 1).isEmpty())
            return fail(QStringLiteral("--cache-dir needs a folder."));
        LargeMemory::setSpillFolder(args.at(cacheAt + 1));
        args.erase(args.begin() + cacheAt, args.begin() + cacheAt + 2);
        if (args.isEmpty())
            return fail(QString::fromLatin1(kUsage).trimmed());
    }
    const QString command = args.takeFirst();
    try {
        if (command == "convert")
            return convert(args);
        if (command == "stitch")
            return stitch(args);
        if (command == "markers")
            return markers(args);
    } catch (const std::bad_alloc&) {
        return fail(LargeMemory::failureText(QStringLiteral("Out of Memory Error.")));
    } catch (const std::exception& e) {
        return fail(QString("Error: ") + e.what());
    }
    return fail("Unknown command " + command + ". See seamwright-cli --help.");
}
