// Seamwright's entry point: a Qt Widgets application with one main window, dark from the start.
#include "palette.h"
#include "stitching.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QTimer>

namespace {

// The options the program answers. --help and --version print and end the process inside
// process(), before any window exists; the manual page is made from their output.
void setUpCommandLine(QCommandLineParser& parser)
{
    parser.setApplicationDescription(
        QStringLiteral("Stitches two overlapping scans, a left and a right image, into one image."));
    parser.addHelpOption();
    parser.addVersionOption();
    parser.addPositionalArgument(QStringLiteral("left"), QStringLiteral("The left image to open."),
                                 QStringLiteral("[LEFT"));
    parser.addPositionalArgument(QStringLiteral("right"), QStringLiteral("The right image to open."),
                                 QStringLiteral("[RIGHT]]"));
}

// seamwright [LEFT [RIGHT]]: the image files named on the command line open once the window
// shows, as if picked in the open dialogs.
void openImageArguments(Stitching& window, const QStringList& files)
{
    if (!files.isEmpty())
        QTimer::singleShot(0, &window, [&window, files] { window.openFiles(files); });
}

} // namespace

int main(int argc, char* argv[])
{
    // Must be set before the application object exists.
    QApplication::setAttribute(Qt::AA_EnableHighDpiScaling);
    QApplication app(argc, argv);
    QApplication::setApplicationVersion(QStringLiteral(SEAMWRIGHT_VERSION));
    // The installed desktop entry's name: on Wayland the window is matched to it by this.
    QGuiApplication::setDesktopFileName(QStringLiteral(SEAMWRIGHT_APP_ID));

    QCommandLineParser parser;
    setUpCommandLine(parser);
    parser.process(app);

    installAppStyle();
    Stitching window;
    window.show();
    openImageArguments(window, parser.positionalArguments());
    return app.exec();
}
