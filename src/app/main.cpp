// Seamwright's entry point: a Qt Widgets application with one main window, dark from the start.
#include "palette.h"
#include "stitching.h"

#include <QApplication>
#include <QTimer>

namespace {

// seamwright [LEFT [RIGHT]]: the image files named on the command line open once the window
// shows, as if picked in the open dialogs. Qt has taken its own options out already.
void openImageArguments(Stitching& window, const QStringList& arguments)
{
    QStringList files;
    for (const QString& argument : arguments.mid(1))
        if (!argument.startsWith('-'))
            files << argument;
    if (!files.isEmpty())
        QTimer::singleShot(0, &window, [&window, files] { window.openFiles(files); });
}

} // namespace

int main(int argc, char* argv[])
{
    // Must be set before the application object exists.
    QApplication::setAttribute(Qt::AA_EnableHighDpiScaling);
    QApplication app(argc, argv);
    installAppStyle();

    Stitching window;
    window.show();
    openImageArguments(window, app.arguments());
    return app.exec();
}
