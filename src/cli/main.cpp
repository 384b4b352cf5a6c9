// seamwright-cli: the program's loaders and writers on the command line, for batch work and
// for checking files. It runs without a display; every message the loaders and writers post
// is printed on standard error, and the exit status is 0 only when the output was written.
#include "alignment.h"
#include "cliargs.h"
#include "consolewatcher.h"
#include "jpegencoder.h"
#include "loading.h"
#include "rotation.h"
#include "saving.h"
#include "stitcher.h"
#include "watchedwait.h"

#include <QCoreApplication>
#include <QFileInfo>
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
    "  seamwright-cli stitch LEFT RIGHT OUTPUT --left X,RED_Y,BLUE_Y\n"
    "                 --right RED_X,RED_Y,BLUE_X,BLUE_Y [--width 50..300]\n"
    "                 [--turn-left cw|ccw|180] [--turn-right cw|ccw|180]\n"
    "  seamwright-cli --help\n"
    "\n"
    "convert  loads INPUT (.jpg .jpeg .tif .tiff .png .bmp .pnm .ppm .pgm .pbm, suffixes in\n"
    "         lower case) exactly as the window does and writes OUTPUT in the format that its\n"
    "         suffix names, as the result dialog saves: .jpg/.jpeg, .tif/.tiff, .pnm/.pbm and\n"
    "         .png, where the image's size allows the format (large images: JPEG and PNM;\n"
    "         sides of 65000 pixels or more: PNM only).\n"
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
    "\n"
    "Messages go to standard error, with a progress bar while a long step runs when standard\n"
    "error is a terminal. Exit status: 0 when OUTPUT was written; 2 when it was written from\n"
    "a damaged input (what could be read of a corrupt or cut JPEG file, the rest black);\n"
    "1 otherwise.\n";

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

int stitch(const QStringList& args)
{
    QStringList positional;
    QString leftSpec, rightSpec, turnLeft, turnRight;
    int width = 50;
    for (int i = 0; i < args.size(); ++i) {
        const QString& a = args[i];
        if (a == "--left" || a == "--right" || a == "--width" || a == "--turn-left" || a == "--turn-right") {
            if (i + 1 >= args.size())
                return fail(a + " needs a value. See seamwright-cli --help.");
            const QString v = args[++i];
            if (a == "--left") {
                leftSpec = v;
            } else if (a == "--right") {
                rightSpec = v;
            } else if (a == "--turn-left") {
                turnLeft = v;
            } else if (a == "--turn-right") {
                turnRight = v;
            } else {
                bool ok = false;
                width = v.toInt(&ok);
                if (!ok || width < 50 || width > 300)
                    return fail("--width must be a whole number from 50 to 300, not " + v + ".");
            }
        } else if (a.startsWith("--")) {
            return fail("Unknown option " + a + ". See seamwright-cli --help.");
        } else {
            positional << a;
        }
    }
    if (positional.size() != 3)
        return fail(QStringLiteral("stitch needs LEFT, RIGHT and OUTPUT. See seamwright-cli --help."));
    std::vector<double> l, r;
    if (!parseNumbers(leftSpec, 3, l))
        return fail(QStringLiteral("--left needs X,RED_Y,BLUE_Y in pixels, for example --left 4000,600,5400."));
    if (!parseNumbers(rightSpec, 4, r))
        return fail(QStringLiteral(
            "--right needs RED_X,RED_Y,BLUE_X,BLUE_Y in pixels, for example --right 606,493,665,5292."));
    for (const QString& t : {turnLeft, turnRight})
        if (!t.isEmpty() && !isTurnName(t))
            return fail("A turn is cw, ccw or 180, not " + t + ".");

    ConsoleWatcher watcher(stderr);
    DotsPerMetre leftDpi, rightDpi;
    BigImageLoadData load;
    load.watcher = &watcher;
    load.dpi = &leftDpi;
    const BigImagePtr left = BigImageIO::loadImageFile(positional[0], load);
    if (!left)
        return 1;
    load.dpi = &rightDpi;
    load.loaded = false;
    const BigImagePtr right = BigImageIO::loadImageFile(positional[1], load);
    if (!right)
        return 1;
    if (!turnLeft.isEmpty())
        turn(left, turnLeft);
    if (!turnRight.isEmpty())
        turn(right, turnRight);

    // The same fractions that the marker views would hold for these pixels.
    StitchEngine::MarkerFractions m;
    m.leftX = float(l[0]) / float(left->width());
    m.leftRedY = float(l[1]) / float(left->height());
    m.leftBlueY = float(l[2]) / float(left->height());
    m.rightRedX = float(r[0]) / float(right->width());
    m.rightRedY = float(r[1]) / float(right->height());
    m.rightBlueX = float(r[2]) / float(right->width());
    m.rightBlueY = float(r[3]) / float(right->height());
    const StitchEngine::StitchGeometry g = StitchEngine::stitchGeometry(m, width, left->width(), left->height(),
                                                                        right->width(), right->height());

    ProgressInfo progress(0.0f, QStringLiteral("Initializing…"));
    StitchEngine::StitchOutcome outcome;
    const QFuture<void> future = QtConcurrent::run([&] { outcome = StitchEngine::stitchImages(left, right, g, &progress); });
    watchedWait(future, &watcher, QStringLiteral("stitch"), false, &progress);
    if (!outcome.image)
        return fail(outcome.error);
    // A poor match is a warning about the markers, not a failure: the output is written.
    watcher.postMessage(StitchEngine::seamQualityText(outcome.quality));
    return finish(writeImage(outcome.image, positional[2], leftDpi, QString(), &watcher), load, positional[2]);
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
    const QString command = args.takeFirst();
    try {
        if (command == "convert")
            return convert(args);
        if (command == "stitch")
            return stitch(args);
    } catch (const std::bad_alloc&) {
        return fail(QStringLiteral("Out of Memory Error."));
    } catch (const std::exception& e) {
        return fail(QString("Error: ") + e.what());
    }
    return fail("Unknown command " + command + ". See seamwright-cli --help.");
}
