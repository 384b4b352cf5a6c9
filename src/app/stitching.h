// Seamwright's main window: the form with its menus, the colour modes, the text windows of
// the Help menu, the last stitch result, and the application's one progress watcher.
#pragma once

#include "iodata.h"

#include <QMainWindow>
#include <QString>

#include <cstdint>
#include <memory>

class BigImage;
class StatusWatcher;

namespace Ui {
class Stitching;
}

class Stitching : public QMainWindow {
    Q_OBJECT
public:
    Stitching();
    ~Stitching() override;

    // Gives the five icon buttons the style sheet "background-color: " + colour. Buttons
    // that the form does not hold are skipped.
    void setButtonBackground(const QString& colour);

private slots:
    void on_actionHelp_triggered();
    void on_actionAbout_triggered();
    void on_actionLGPLv3_triggered();
    void on_actionDark_Mode_triggered();
    void on_actionLight_Mode_triggered();

private:
    // A new parentless text window with this window's icon, shown non-modally. It is
    // deleted when closed, and at the latest together with this window.
    void openTextWindow(const QString& text, const QString& title);

    Ui::Stitching* ui = nullptr;
    DotsPerMetre leftDpi;
    DotsPerMetre rightDpi;
    // The stitch's transition zone: its first column and the column after it.
    std::int32_t stitchStart = 0;
    std::int32_t stitchEnd = 0;
    std::shared_ptr<BigImage> stitchResult;
    StatusWatcher* watcher = nullptr;
};
