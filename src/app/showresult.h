// The result dialog: shows the stitched image fitted or at a chosen scale (then with scroll
// bars and dragging), can mark the stitch's transition zone, and saves the image through
// the save dialog as often as the user likes. The caller runs it modally and destroys it.
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

private:
    // The scroll bars are shown only at a chosen scale; the fitted view ignores them.
    void updateScrollBars();

    Ui::ShowResult* ui = nullptr;
    StatusWatcher* watcher = nullptr;
    DotsPerMetre dpi;
    int32_t stitchStart = 0;
    int32_t stitchEnd = 0;
};
