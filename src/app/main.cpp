// Seamwright's entry point: a Qt Widgets application with one main window, dark from the start.
#include "palette.h"
#include "stitching.h"

#include <QApplication>

int main(int argc, char* argv[])
{
    // Must be set before the application object exists.
    QApplication::setAttribute(Qt::AA_EnableHighDpiScaling);
    QApplication app(argc, argv);
    installAppStyle();

    Stitching window;
    window.show();
    return app.exec();
}
