// The main window's frame: form, window settings, menus and colour modes. The window owns
// the progress watcher and the last stitched image; text windows have no parent, so that
// they keep the application's dark palette whatever mode the main window is in.
#include "stitching.h"

#include "alignment.h"
#include "displaytextfile.h"
#include "markerview.h"
#include "palette.h"
#include "rotation.h"
#include "showresult.h"
#include "statuswatcher.h"
#include "stitcher.h"
#include "texts.h"
#include "ui_stitching.h"
#include "watchedwait.h"

#include <QCloseEvent>
#include <QtConcurrent>
#include <QIcon>
#include <QLabel>
#include <QPushButton>
#include <QStatusBar>
#include <QStyle>

#include <cmath>

namespace {
const char* const defaultIcon = ":/ps.ico";
} // namespace

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
    // How well the last seam matched. A label, not a status message, which a menu's status
    // tips would wipe out; the bar is there from the start, so that the views keep their size
    // when the first stitch ends.
    seamMatch = new QLabel(this);
    seamMatch->setObjectName("lbSeamMatch");
    statusBar()->addWidget(seamMatch, 1);

    setIconButton(ui->btLeftRotCCW, kTurnCounterClockwiseIcon, QSize(24, 24));
    setIconButton(ui->btRightRotCCW, kTurnCounterClockwiseIcon, QSize(24, 24));
    setIconButton(ui->btLeftRotCW, kTurnClockwiseIcon, QSize(24, 24));
    setIconButton(ui->btRightRotCW, kTurnClockwiseIcon, QSize(24, 24));
    setIconButton(ui->btSwitch, ":/kx_ressources/ICON_invert.png", QSize(32, 32));
    ui->lbImageLeft->setZoomWindows(ui->lbLeftZoom, ui->lbLeftZoom2);
    ui->lbImageRight->setZoomWindows(ui->lbRightZoom, ui->lbRightZoom2);
    ui->lbImageLeft->zoomFactor = float(ui->sbZoom->value());
    ui->lbImageRight->zoomFactor = float(ui->sbZoom->value());
    ui->lbImageLeft->setWatcher(watcher);
    ui->lbImageRight->setWatcher(watcher);
    // Queued: the drop ends at once for the program that it came from; the load follows.
    connect(ui->lbImageLeft, &MarkerView::fileDropped, this,
            [this](const QString& fileName) { loadDropped(leftSide(), fileName); }, Qt::QueuedConnection);
    connect(ui->lbImageRight, &MarkerView::fileDropped, this,
            [this](const QString& fileName) { loadDropped(rightSide(), fileName); }, Qt::QueuedConnection);

    connect(ui->lbLeftZoom, SIGNAL(position_changed()), this, SLOT(leftPosChanged()));
    connect(ui->lbLeftZoom2, SIGNAL(position_changed()), this, SLOT(leftPosChanged()));
    connect(ui->lbRightZoom, SIGNAL(position_changed()), this, SLOT(rightPosChanged()));
    connect(ui->lbRightZoom2, SIGNAL(position_changed()), this, SLOT(rightPosChanged()));
    disableInterface();
    evaluateInterface();
}

void Stitching::disableInterface()
{
    for (QWidget* w : std::initializer_list<QWidget*>{ui->btLeftRotCW, ui->btLeftRotCCW, ui->btRightRotCW,
                                                       ui->btRightRotCCW, ui->btLoadLeft, ui->btLoadRight,
                                                       ui->btStitchStart, ui->slCorridorW, ui->btSwitch, ui->sbZoom})
        w->setEnabled(false);
    ui->actionFindMarkers->setEnabled(false);
    ui->actionRefineRightMarkers->setEnabled(false);
    ui->lbImageLeft->setAcceptDrops(false);
    ui->lbImageRight->setAcceptDrops(false);
}

void Stitching::evaluateInterface()
{
    const bool left = ui->lbImageLeft->image() != nullptr;
    const bool right = ui->lbImageRight->image() != nullptr;
    ui->btLeftRotCW->setEnabled(left);
    ui->btLeftRotCCW->setEnabled(left);
    ui->btRightRotCW->setEnabled(right);
    ui->btRightRotCCW->setEnabled(right);
    ui->slCorridorW->setEnabled(right);
    ui->btStitchStart->setEnabled(left && right);
    ui->btSwitch->setEnabled(left && right);
    ui->actionFindMarkers->setEnabled(left && right);
    ui->actionRefineRightMarkers->setEnabled(left && right);
    ui->btLoadLeft->setEnabled(true);
    ui->btLoadRight->setEnabled(true);
    ui->sbZoom->setEnabled(true);
    // A drop loads as "Load Image" does, so it is taken when that button is.
    ui->lbImageLeft->setAcceptDrops(true);
    ui->lbImageRight->setAcceptDrops(true);
}

void Stitching::showResults()
{
    if (!stitchResult)
        return;
    // Modal, and destroyed when it closes; the result stays here until the next stitch.
    ShowResult dialog(leftDpi, stitchStart, stitchEnd, stitchResult, watcher);
    dialog.setPalette(palette());
    dialog.setModal(true);
    if (dialog.exec() == ShowResult::UseAsLeft)
        useResultAsLeft();
}

void Stitching::beginWork()
{
    ++workRunning;
}

void Stitching::endWork()
{
    if (--workRunning == 0 && closeRequested)
        close();
}

void Stitching::closeEvent(QCloseEvent* event)
{
    if (workRunning == 0) {
        QMainWindow::closeEvent(event);
        return;
    }
    event->ignore();
    if (!closeRequested) {
        closeRequested = true;
        watcher->setNote(tr("Seamwright will close when this has finished."));
    }
}

void Stitching::turn(MarkerView* view, bool clockwise)
{
    beginWork();
    disableInterface();
    view->turnImage(clockwise, watcher);
    evaluateInterface();
    endWork();
}

void Stitching::on_btLeftRotCW_clicked()
{
    turn(ui->lbImageLeft, true);
}

void Stitching::on_btLeftRotCCW_clicked()
{
    turn(ui->lbImageLeft, false);
}

void Stitching::on_btRightRotCW_clicked()
{
    turn(ui->lbImageRight, true);
}

void Stitching::on_btRightRotCCW_clicked()
{
    turn(ui->lbImageRight, false);
}

void Stitching::computeStitch(ProgressInfo* progress)
{
    // Own references: the views may be handed other images meanwhile.
    const StitchInput input = stitchInput;
    stitchError.clear();
    if (!input.left || !input.right) {
        stitchError = QStringLiteral("Load a left and a right image before stitching.");
        return;
    }
    const StitchEngine::StitchGeometry g =
        StitchEngine::stitchGeometry(input.markers, input.matchingWidth, input.left->width(), input.left->height(),
                                     input.right->width(), input.right->height());
    StitchEngine::StitchOutcome outcome = StitchEngine::stitchImages(input.left, input.right, g, progress);
    if (!outcome.image) {
        stitchError = outcome.error;
        return;
    }
    stitchResult = outcome.image;
    stitchStart = outcome.stitchStart;
    stitchEnd = outcome.stitchEnd;
    stitchQuality = outcome.quality;
}

void Stitching::reportSeamQuality()
{
    const QString text = StitchEngine::seamQualityText(stitchQuality);
    seamMatch->setText(text);
    if (stitchQuality.suspicious)
        watcher->postMessage(text);
}

void Stitching::on_btStitchStart_clicked()
{
    beginWork();
    disableInterface();
    // The figure belongs to the last result; it goes with it.
    seamMatch->clear();
    // Markers and matching width are read here, on the thread that owns them; clicks during
    // the stitch move the markers for the next one.
    const PaintLine* left = ui->lbImageLeft;
    const PaintArea* right = ui->lbImageRight;
    stitchInput.left = left->image();
    stitchInput.right = right->image();
    stitchInput.markers = currentMarkers();
    stitchInput.matchingWidth = right->matchWidth;

    ProgressInfo progress(0.0f, QStringLiteral("Initializing…"));
    const std::shared_ptr<BigImage> previous = stitchResult;
    const QFuture<void> future = QtConcurrent::run([this, &progress] { computeStitch(&progress); });
    watchedWait(future, watcher, QStringLiteral("on_btStitchStart_clicked"), false, &progress);
    stitchInput = StitchInput();
    // Nothing opens for a window that is about to close.
    if (!closeRequested) {
        if (stitchError.isEmpty() && stitchResult && stitchResult != previous) {
            reportSeamQuality();
            showResults();
        } else {
            // Never present the previous result as if it were this one.
            watcher->postMessage(stitchError.isEmpty() ? QStringLiteral("Stitching failed.") : stitchError);
        }
    }
    evaluateInterface();
    endWork();
}

void Stitching::on_btSwitch_clicked()
{
    // Only the images change sides; markers, names and resolutions stay. Done on the GUI
    // thread: the views' request state belongs to it.
    disableInterface();
    const BigImagePtr left = ui->lbImageLeft->image();
    const BigImagePtr right = ui->lbImageRight->image();
    ui->lbImageLeft->setImage(right, QRect(-1, -1, -1, -1));
    ui->lbImageRight->setImage(left, QRect(-1, -1, -1, -1));
    ui->lbImageLeft->requestRedraw();
    ui->lbImageRight->requestRedraw();
    evaluateInterface();
}

void Stitching::on_sbZoom_valueChanged(double value)
{
    const float z = float(value);
    ui->lbImageLeft->zoomFactor = z;
    if (ui->lbImageLeft->image())
        ui->lbImageLeft->renderZoomWindows();
    ui->lbImageRight->zoomFactor = z;
    ui->lbImageRight->renderZoomWindows();
}

void Stitching::on_slCorridorW_valueChanged(int value)
{
    ui->lbImageRight->matchWidth = value;
    ui->lbImageRight->requestRedraw();
}

void Stitching::leftPosChanged()
{
    PaintLine* view = ui->lbImageLeft;
    auto* zoom = qobject_cast<ZoomImage*>(sender());
    if (!zoom || !view->image() || !view->hasRendered())
        return;
    const float z = float(ui->sbZoom->value());
    const float dx = float(zoom->width()) * z / float(view->image()->width());
    const float dy = z * float(zoom->height()) / float(view->image()->height());
    if (zoom->objectName() == "lbLeftZoom2") {
        view->markerBlueY += dy * (zoom->clickPos.y - 0.5f);
    } else {
        view->markerRedY += dy * (zoom->clickPos.y - 0.5f);
        view->markerX += dx * (zoom->clickPos.x - 0.5f);
    }
    view->requestRedraw();
}

void Stitching::rightPosChanged()
{
    PaintArea* view = ui->lbImageRight;
    auto* zoom = qobject_cast<ZoomImage*>(sender());
    if (!zoom || !view->image() || !view->hasRendered())
        return;
    const float z = float(ui->sbZoom->value());
    const float W = float(view->image()->width());
    const float H = float(view->image()->height());
    const float dx = float(zoom->width()) * z / W;
    const float dy = z * float(zoom->height()) / H;
    // The zoom windows show the image turned so that the marker line is vertical; the
    // click offset is turned back by the same angle, taken before the move.
    const float theta = PaintArea::markerAngle(view->redPos, view->bluePos, view->image());
    const float u = zoom->clickPos.x - 0.5f;
    const float v = zoom->clickPos.y - 0.5f;
    float2& marker = zoom->objectName() == "lbRightZoom2" ? view->bluePos : view->redPos;
    marker.x += dx * (u * std::cos(theta) - v * std::sin(theta));
    marker.y += dy * (u * std::sin(theta) + v * std::cos(theta));
    view->requestRedraw();
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
            button->setStyleSheet(iconButtonSheet(colour));
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
    setButtonBackground("rgba(168, 168, 168, 0)");
}

void Stitching::on_actionLight_Mode_triggered()
{
    setPalette(style()->standardPalette());
    setButtonBackground("rgba(240, 240, 240, 0)");
}
