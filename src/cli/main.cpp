// seamwright-cli: the program's loaders and writers on the command line, for batch work and
// for checking files. It runs without a display; every message the loaders and writers post
// is printed on standard error, and the exit status is 0 only when the output was written.
#include "consolewatcher.h"
#include "loading.h"
#include "saving.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QStringList>

#include <cstdio>
#include <exception>

namespace {

const char* const kUsage =
    "usage:\n"
    "  seamwright-cli convert INPUT OUTPUT [--comment TEXT]\n"
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
    "Messages go to standard error, with a progress bar while a long step runs when standard\n"
    "error is a terminal. The exit status is 0 when OUTPUT was written, 1 otherwise.\n";

int fail(const QString& text)
{
    std::fprintf(stderr, "%s\n", text.toLocal8Bit().constData());
    return 1;
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

    ConsoleWatcher watcher(stderr);
    DotsPerMetre dpi;
    BigImageLoadData load;
    load.watcher = &watcher;
    load.dpi = &dpi;
    const BigImagePtr image = BigImageIO::loadImageFile(input, load);
    if (!image)
        return 1;

    BigImageSaveData save;
    save.image = image;
    save.filename = output;
    save.dpi = dpi;
    save.description = comment;
    save.watcher = &watcher;
    save.filters = BigImageIO::saveFilters(image, BigImageIO::SizeNotice::StandardError);
    BigImageIO::saveToFile(save);
    return save.saved ? 0 : 1;
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
    } catch (const std::bad_alloc&) {
        return fail(QStringLiteral("Out of Memory Error."));
    } catch (const std::exception& e) {
        return fail(QString("Error: ") + e.what());
    }
    return fail("Unknown command " + command + ". See seamwright-cli --help.");
}
