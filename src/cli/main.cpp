// seamwright-cli: the program's loaders and writers on the command line, for batch work and
// for checking files. It runs without a display; every message the loaders and writers post
// is printed on standard error, and the exit status is 0 only when the output was written.
#include "cliargs.h"
#include "consolewatcher.h"
#include "jpegencoder.h"
#include "largememory.h"
#include "loading.h"
#include "markerfinder.h"
#include "steps.h"
#include "stitchjob.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStringList>

#include <cstdio>
#include <exception>

namespace {

using namespace CliSteps;
using CliArgs::isTurnName;
using CliArgs::parseNumbers;
using CliArgs::quarters;

const char* const kUsage =
    "usage:\n"
    "  seamwright-cli convert INPUT OUTPUT [--comment TEXT] [--turn cw|ccw|180]\n"
    "  seamwright-cli stitch LEFT RIGHT OUTPUT [--left X,RED_Y,BLUE_Y\n"
    "                 --right RED_X,RED_Y,BLUE_X,BLUE_Y [--refine]] [--width 50..300]\n"
    "                 [--turn-left cw|ccw|180] [--turn-right cw|ccw|180] [--vertical]\n"
    "  seamwright-cli stitch INPUT1 INPUT2 INPUT3 ... OUTPUT [--vertical | --grid COLSxROWS]\n"
    "                 [--markers FILE [--refine]] [--width 50..300]\n"
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
    "         --turn cw|ccw|180  turns the image by quarter turns before it is written.\n"
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
    "         More inputs are joined one seam at a time, left to right: the second onto the\n"
    "         first, the third onto that result, and so on, each seam as the stitch of two\n"
    "         images with the result so far on the left. --vertical joins the inputs top to\n"
    "         bottom: each is turned a quarter counter-clockwise, they are joined, and the\n"
    "         result is turned back. --grid COLSxROWS takes COLS x ROWS inputs row by row,\n"
    "         joins each row left to right and then each row below the rows above; the seams\n"
    "         come in that order (a row's seams, then the seam below the rows above).\n"
    "         Every seam's markers are found and printed on standard output, one line per\n"
    "         seam, or read from --markers FILE: one line per seam in the same form,\n"
    "         \"--left X,RED_Y,BLUE_Y --right RED_X,RED_Y,BLUE_X,BLUE_Y [--turn-right cw]\",\n"
    "         the left markers in pixels of the result so far, the right ones in pixels of the\n"
    "         next input (both turned a quarter counter-clockwise where rows meet top to\n"
    "         bottom); blank lines and lines starting with # are passed over. So the printed\n"
    "         lines of one run are the FILE of the next. A seam whose markers cannot be found\n"
    "         stops the job with a message that names both sides; nothing is written then.\n"
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

int convert(const QStringList& args)
{
    QStringList positional;
    QString comment, turnName;
    bool haveComment = false;
    for (int i = 0; i < args.size(); ++i) {
        if (args[i] == "--comment" || args[i] == "--turn") {
            if (i + 1 >= args.size())
                return fail(args[i] == "--turn" ? QStringLiteral("--turn needs cw, ccw or 180.")
                                                : QStringLiteral("--comment needs a text."));
            (args[i] == "--turn" ? turnName : comment) = args[i + 1];
            haveComment = haveComment || args[i] == "--comment";
            ++i;
        } else if (args[i].startsWith("--")) {
            return fail("Unknown option " + args[i] + ". See seamwright-cli --help.");
        } else {
            positional << args[i];
        }
    }
    if (positional.size() != 2)
        return fail(QStringLiteral("convert needs INPUT and OUTPUT. See seamwright-cli --help."));
    if (!turnName.isEmpty() && !isTurnName(turnName))
        return fail("A turn is cw, ccw or 180, not " + turnName + ".");
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
    BigImagePtr image = BigImageIO::loadImageFile(input, load);
    if (!image)
        return 1;
    turn(image, quarters(turnName));
    return finish(writeImage(image, output, dpi, comment, &watcher), load.damaged, output);
}

// The options of stitch and markers.
struct PairOptions {
    QStringList positional;
    QString leftSpec, rightSpec, turnLeft, turnRight, markersFile, grid;
    int width = 50;
    bool refine = false;
    bool json = false;
    bool vertical = false;
};

// Returns an error text, empty when all is well.
QString parsePairOptions(const QStringList& args, bool stitching, PairOptions& o)
{
    for (int i = 0; i < args.size(); ++i) {
        const QString& a = args[i];
        const bool valued = a == "--turn-left" || a == "--turn-right"
                            || (stitching
                                && (a == "--left" || a == "--right" || a == "--width" || a == "--markers"
                                    || a == "--grid"));
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
            } else if (a == "--markers") {
                o.markersFile = v;
            } else if (a == "--grid") {
                o.grid = v;
            } else {
                bool ok = false;
                o.width = v.toInt(&ok);
                if (!ok || o.width < 50 || o.width > 300)
                    return "--width must be a whole number from 50 to 300, not " + v + ".";
            }
        } else if (stitching && a == "--refine") {
            o.refine = true;
        } else if (stitching && a == "--vertical") {
            o.vertical = true;
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

int markers(const QStringList& args)
{
    PairOptions o;
    const QString error = parsePairOptions(args, false, o);
    if (!error.isEmpty())
        return fail(error);
    if (o.positional.size() != 2)
        return fail(QStringLiteral("markers needs LEFT and RIGHT. See seamwright-cli --help."));
    ConsoleWatcher watcher(stderr);
    BigImageLoadData load;
    load.watcher = &watcher;
    BigImagePtr left = BigImageIO::loadImageFile(o.positional[0], load);
    if (!left)
        return 1;
    load.loaded = false;
    BigImagePtr right = BigImageIO::loadImageFile(o.positional[1], load);
    if (!right)
        return 1;
    turn(left, quarters(o.turnLeft));
    turn(right, quarters(o.turnRight));
    const Align::MarkerResult r = runFinder(left, right, &watcher, nullptr);
    const int turned = quarters(o.turnRight) + quarters(Align::turnName(r.turn));
    if (o.json) {
        QJsonObject j;
        j["found"] = r.found;
        if (r.found) {
            const Align::MarkerPixels& m = r.markers;
            j["left"] = QJsonArray{m.leftX, m.leftRedY, m.leftBlueY};
            j["right"] = QJsonArray{m.rightRedX, m.rightRedY, m.rightBlueX, m.rightBlueY};
            j["turn_right"] = CliArgs::turnOf(turned);
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

// The seams' markers from --markers FILE; an error text, empty when all is well.
QString readMarkersFile(const QString& name, StitchJob& job)
{
    QFile file(name);
    if (!file.open(QIODevice::ReadOnly))
        return "Cannot read from file " + name + ".";
    const int bad = CliArgs::parseMarkerLines(QString::fromUtf8(file.readAll()), job.seams);
    if (bad > 0)
        return name + " line " + QString::number(bad)
               + " is no seam's markers (--left X,RED_Y,BLUE_Y --right RED_X,RED_Y,BLUE_X,BLUE_Y"
                 " [--turn-right cw|ccw|180]).";
    const auto seams = [](size_t n) { return QString::number(n) + (n == 1 ? " seam" : " seams"); };
    if (int(job.seams.size()) != job.seamCount())
        return name + " holds markers for " + seams(job.seams.size()) + "; the job has " + seams(size_t(job.seamCount()))
               + ".";
    return QString();
}

// The job's shape and markers from the options; an error text, empty when all is well.
QString stitchJob(const PairOptions& o, StitchJob& job)
{
    job.inputs = o.positional.mid(0, o.positional.size() - 1);
    job.output = o.positional.last();
    job.width = o.width;
    job.refine = o.refine;
    job.vertical = o.vertical;
    const bool given = !o.leftSpec.isEmpty() || !o.rightSpec.isEmpty();
    const bool pairOnly = given || !o.turnLeft.isEmpty() || !o.turnRight.isEmpty();
    if (pairOnly && (job.inputs.size() != 2 || !o.grid.isEmpty()))
        return QStringLiteral("--left, --right, --turn-left and --turn-right are for two inputs; more inputs take "
                              "their markers from --markers FILE.");
    if (pairOnly && !o.markersFile.isEmpty())
        return QStringLiteral("--markers and --left, --right, --turn-left, --turn-right cannot be used together.");
    if (!o.grid.isEmpty()) {
        if (o.vertical)
            return QStringLiteral("--grid and --vertical cannot be used together.");
        if (!CliArgs::parseGrid(o.grid, job.columns, job.rows))
            return "--grid needs COLSxROWS, for example --grid 3x2, not " + o.grid + ".";
        if (int64_t(job.columns) * job.rows != job.inputs.size())
            return "--grid " + o.grid + " needs " + QString::number(int64_t(job.columns) * job.rows)
                   + " inputs, not " + QString::number(job.inputs.size()) + ".";
    }
    CliArgs::SeamMarkers first;
    if (given && !parseNumbers(o.leftSpec, 3, first.left))
        return QStringLiteral("--left needs X,RED_Y,BLUE_Y in pixels, for example --left 4000,600,5400.");
    if (given && !parseNumbers(o.rightSpec, 4, first.right))
        return QStringLiteral("--right needs RED_X,RED_Y,BLUE_X,BLUE_Y in pixels, for example --right 606,493,665,5292.");
    first.turnRight = quarters(o.turnRight);
    job.turnFirst = quarters(o.turnLeft);
    if (pairOnly)
        job.seams = {first};
    if (o.refine && !given && o.markersFile.isEmpty())
        return job.inputs.size() == 2 ? QStringLiteral("--refine needs --left and --right. See seamwright-cli --help.")
                                      : QStringLiteral("--refine needs --markers FILE. See seamwright-cli --help.");
    return o.markersFile.isEmpty() ? QString() : readMarkersFile(o.markersFile, job);
}

int stitch(const QStringList& args)
{
    PairOptions o;
    QString error = parsePairOptions(args, true, o);
    if (!error.isEmpty())
        return fail(error);
    if (o.positional.size() < 3)
        return fail(QStringLiteral("stitch needs LEFT, RIGHT and OUTPUT. See seamwright-cli --help."));
    StitchJob job;
    error = stitchJob(o, job);
    if (!error.isEmpty())
        return fail(error);
    return runStitchJob(job);
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
