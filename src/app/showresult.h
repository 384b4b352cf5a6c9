// The result dialog: shows the stitched image fitted or at a chosen scale (then with scroll
// bars and dragging), can mark the stitch's transition zone, turns the image by quarter
// turns, saves it through the save dialog as often as the user likes, and can hand it on as
// the next left image. The caller runs it modally and destroys it.
#pragma once

#include "iodata.h"

#include <QDialog>

#include <cstdint>

class StatusWatcher;

namespace Ui {
class ShowResult;
}

class ShowResult : public QDialog {
    Q_OBJECT
public:
    // What exec() returns when the user chose "Use as Left Image" (the image as shown,
    // turned or not, goes on as the left image).
    static constexpr int UseAsLeft = 2;

    // dpi: dots per metre written into saved files; stitchStart, stitchEnd: the transition
    // zone's first column and the column after it.
    ShowResult(DotsPerMetre dpi, int32_t stitchStart, int32_t stitchEnd, const BigImagePtr& image,
               StatusWatcher* watcher);
    ~ShowResult() override;

private slots:
    void on_btSave_clicked();
    void on_btCancel_clicked();
    void on_sbScale_valueChanged(double val);
    void on_rbScale_toggled(bool checked);
    void on_rbFit_toggled(bool checked);
    void on_cbShowStitch_toggled(bool checked);
    void on_btUseAsLeft_clicked();
    void on_btRotCW_clicked();
    void on_btRotCCW_clicked();

private:
    // Turns the shown result in place; saving, continuing and the view wait meanwhile.
    void turnResult(bool clockwise);
    // The scroll bars are shown only at a chosen scale; the fitted view ignores them.
    void updateScrollBars();

    Ui::ShowResult* ui = nullptr;
    StatusWatcher* watcher = nullptr;
    DotsPerMetre dpi;
    int32_t stitchStart = 0;
    int32_t stitchEnd = 0;
};
