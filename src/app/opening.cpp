// Images into the two sides of the main window: through the open dialog, named at start,
// dropped onto a view, or a result taken on as the left image. All take the way of a load:
// the controls off, the image into the view, its name or blank zoom windows, the enable rules.
#include "stitching.h"

#include "markerview.h"
#include "statuswatcher.h"
#include "ui_stitching.h"

#include <QFileInfo>

namespace {
const char* const defaultIcon = ":/ps.ico";
} // namespace

Stitching::Side Stitching::leftSide()
{
    return Side{ui->lbImageLeft, &leftDpi, ui->lbLoadedFileLeft, ui->lbLeftZoom,
                ui->lbLeftZoom2, ui->btLoadLeft};
}

Stitching::Side Stitching::rightSide()
{
    return Side{ui->lbImageRight, &rightDpi, ui->lbLoadedFileRight, ui->lbRightZoom,
                ui->lbRightZoom2, ui->btLoadRight};
}

void Stitching::showName(const Side& side, const QString& name)
{
    side.view->requestRedraw();
    if (side.view->image() && !name.isEmpty()) {
        side.fileName->setText(name);
    } else {
        side.red->setPixmap(QPixmap());
        side.blue->setPixmap(QPixmap());
        side.fileName->setText(QString());
    }
}

void Stitching::loadInto(const Side& side, const QString& fileName)
{
    beginWork();
    disableInterface();
    BigImageLoadData data;
    data.icon = defaultIcon;
    data.watcher = watcher;
    data.dpi = side.dpi;
    data.loaded = false;
    data.filename = QStringLiteral("no file loaded");
    if (fileName.isEmpty())
        side.view->openImageFile(data);
    else
        side.view->loadImageFile(fileName, data);
    showName(side, data.loaded ? QFileInfo(data.filename).fileName() : QString());
    evaluateInterface();
    endWork();
}

void Stitching::on_btLoadLeft_clicked()
{
    loadInto(leftSide());
}

void Stitching::on_btLoadRight_clicked()
{
    loadInto(rightSide());
}

void Stitching::loadDropped(const Side& side, const QString& fileName)
{
    if (side.load->isEnabled() && !closeRequested)
        loadInto(side, fileName);
}

void Stitching::openFiles(const QStringList& files)
{
    if (files.size() > 2)
        watcher->postMessage(tr("Only two images open at start, a left and a right one; not opened: %1.")
                                 .arg(files.mid(2).join(", ")));
    if (!files.isEmpty())
        loadInto(leftSide(), files[0]);
    // A close asked for during the first load ends the start there.
    if (files.size() > 1 && !closeRequested)
        loadInto(rightSide(), files[1]);
}

// The result goes on as the left image, with the resolution it was shown with (the left
// image's, which it carries). The right side waits, empty, for the next scan: the scan just
// joined is part of the result now, and its memory goes before the next one is loaded. The
// right markers and the matching width stay, since the next scan usually overlaps the way
// this one did.
void Stitching::useResultAsLeft()
{
    if (!stitchResult)
        return;
    beginWork();
    disableInterface();
    ui->lbImageLeft->setImage(stitchResult, QRect(-1, -1, -1, -1));
    ui->lbImageLeft->resetMarkers();
    showName(leftSide(), tr("Result %1").arg(++resultsUsed));
    ui->lbImageRight->clearImage();
    rightDpi = DotsPerMetre();
    showName(rightSide(), QString());
    evaluateInterface();
    endWork();
}
