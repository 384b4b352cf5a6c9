// The main window's frame: form, window settings, menus and colour modes. The window owns
// the progress watcher and the last stitched image; text windows have no parent, so that
// they keep the application's dark palette whatever mode the main window is in.
#include "stitching.h"

#include "displaytextfile.h"
#include "palette.h"
#include "statuswatcher.h"
#include "texts.h"
#include "ui_stitching.h"

#include <QIcon>
#include <QPushButton>
#include <QStyle>

namespace {
const char* const defaultIcon = ":/ps.ico";
}

Stitching::Stitching()
    : QMainWindow(nullptr)
{
    initAppResources();
    ui = new Ui::Stitching;
    ui->setupUi(this);

    setWindowIcon(QIcon(defaultIcon));
    setWindowFlags(Qt::Window | Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint
                   | Qt::WindowMaximizeButtonHint | Qt::WindowCloseButtonHint);

    watcher = new StatusWatcher(defaultIcon);
}

Stitching::~Stitching()
{
    delete ui;
    // Puts the arrow cursor back if an operation left the wait cursor.
    delete watcher;
    stitchResult.reset();
}

void Stitching::setButtonBackground(const QString& colour)
{
    static const char* const names[] = {"btLeftRotCCW", "btLeftRotCW", "btRightRotCCW",
                                        "btRightRotCW", "btSwitch"};
    for (const char* name : names) {
        if (auto* button = findChild<QPushButton*>(name))
            button->setStyleSheet("background-color: " + colour);
    }
}

void Stitching::openTextWindow(const QString& text, const QString& title)
{
    auto* window = new DisplayTextFile(text, title, windowIcon());
    // A closed window is gone for good; the ones still open must not outlive the
    // application object, so they go with the main window, which dies before it.
    window->setAttribute(Qt::WA_DeleteOnClose);
    connect(this, &QObject::destroyed, window, [window] { delete window; });
    window->show();
}

void Stitching::on_actionHelp_triggered()
{
    openTextWindow(instructionsText(), tr("Instructions"));
}

void Stitching::on_actionAbout_triggered()
{
    openTextWindow(aboutText(), tr("About"));
}

void Stitching::on_actionLGPLv3_triggered()
{
    openTextWindow(lgplText(), tr("LGPLv3"));
}

// Both modes change this window and its children only: the application palette stays dark,
// so text windows, message boxes and file dialogs remain dark in either mode.
void Stitching::on_actionDark_Mode_triggered()
{
    setPalette(darkPalette());
    setButtonBackground("rgba(168, 168, 168, 0);");
}

void Stitching::on_actionLight_Mode_triggered()
{
    setPalette(style()->standardPalette());
    setButtonBackground("rgba(240, 240, 240, 0);");
}
