// The result dialog: the fitted and scaled views share one label; every view slot first
// shows or hides the scroll bars, then changes the label and asks it to render again.
#include "showresult.h"

#include "labelresult.h"
#include "palette.h"
#include "saving.h"
#include "ui_showresult.h"

#include <QIcon>

namespace {
const char* const defaultIcon = ":/ps.ico";
}

ShowResult::ShowResult(DotsPerMetre dpi, int32_t stitchStart, int32_t stitchEnd, const BigImagePtr& image,
                       StatusWatcher* watcher)
    : QDialog(nullptr), watcher(watcher), dpi(dpi), stitchStart(stitchStart), stitchEnd(stitchEnd)
{
    ui = new Ui::ShowResult;
    ui->setupUi(this);
    setWindowIcon(QIcon(defaultIcon));
    setWindowFlags(Qt::Window | Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint
                   | Qt::WindowMaximizeButtonHint | Qt::WindowCloseButtonHint);

    setIconButton(ui->btRotCCW, kTurnCounterClockwiseIcon, QSize(24, 24));
    setIconButton(ui->btRotCW, kTurnClockwiseIcon, QSize(24, 24));
    ui->lbImage->setStitchZone(stitchStart, stitchEnd);
    ui->lbImage->setImage(image, QRect(-1, -1, -1, -1));
    ui->lbImage->setScrollBars(ui->sbV, ui->sbH);
    connect(ui->sbV, &QScrollBar::valueChanged, ui->lbImage, &BigImageLabel::orderRescale);
    connect(ui->sbH, &QScrollBar::valueChanged, ui->lbImage, &BigImageLabel::orderRescale);
    // The label starts with zoom −1: fitted, so the bars start hidden.
    updateScrollBars();
}

ShowResult::~ShowResult()
{
    delete ui;
}

void ShowResult::updateScrollBars()
{
    const bool scaled = ui->rbScale->isChecked();
    ui->sbH->setVisible(scaled);
    ui->sbV->setVisible(scaled);
}

// The dialog stays open, so that the user can save again in another format.
void ShowResult::on_btSave_clicked()
{
    if (!ui->lbImage->image())
        return;
    BigImageSaveData data;
    data.image = ui->lbImage->image();
    data.dpi = dpi;
    data.reportSuccess = true;
    data.watcher = watcher;
    data.icon = defaultIcon;
    data.saved = false;
    BigImageIO::saveDialog(data);
}

void ShowResult::on_btCancel_clicked()
{
    close();
}

void ShowResult::on_sbScale_valueChanged(double val)
{
    updateScrollBars();
    // Checking "Scale" runs both toggle slots first when "Fit" was checked.
    ui->rbScale->setChecked(true);
    ui->lbImage->setZoom(float(val));
}

void ShowResult::on_rbScale_toggled(bool checked)
{
    updateScrollBars();
    if (checked)
        ui->lbImage->setZoom(float(ui->sbScale->value()));
}

void ShowResult::on_rbFit_toggled(bool checked)
{
    updateScrollBars();
    if (checked) {
        ui->lbImage->setZoom(-1.0f);
        ui->sbH->hide();
    }
}

void ShowResult::on_cbShowStitch_toggled(bool checked)
{
    updateScrollBars();
    ui->lbImage->setShowStitch(checked);
}

void ShowResult::on_btUseAsLeft_clicked()
{
    done(UseAsLeft);
}

void ShowResult::on_btRotCW_clicked()
{
    turnResult(true);
}

void ShowResult::on_btRotCCW_clicked()
{
    turnResult(false);
}

// The image is the main window's result too, so it turns for both; the zone lines turn with
// it, for seams that ran between rows before the turn.
void ShowResult::turnResult(bool clockwise)
{
    ui->groupBox->setEnabled(false);
    ui->groupBox_2->setEnabled(false);
    ui->lbImage->turnResult(clockwise, watcher);
    ui->groupBox->setEnabled(true);
    ui->groupBox_2->setEnabled(true);
}
