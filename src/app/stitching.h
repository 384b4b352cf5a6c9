// Seamwright's main window: the two marker views with their zoom windows, the buttons that
// load, turn and exchange the images, the zoom factor and the matching width, the marker
// search, the colour modes and the text windows. Every slot that starts work disables the
// controls first and ends by enabling what the state allows; a close requested meanwhile
// waits for its end.
#pragma once

#include "iodata.h"
#include "markerfinder.h"
#include "seamquality.h"
#include "stitchdata.h"

#include <QMainWindow>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <functional>
#include <memory>

class BigImage;
class MarkerView;
class ProgressInfo;
class QPushButton;
class StatusWatcher;

namespace Ui {
class Stitching;
}

class Stitching : public QMainWindow {
    Q_OBJECT
public:
    Stitching();
    ~Stitching() override;

    // Gives the five icon buttons a borderless style sheet with this background colour
    // (a CSS colour without the closing semicolon).
    void setButtonBackground(const QString& colour);

    StatusWatcher* statusWatcher() const { return watcher; }
    // Image files named at start: the first loads on the left, the second on the right, each
    // as if picked in that side's open dialog.
    void openFiles(const QStringList& files);
    DotsPerMetre leftResolution() const { return leftDpi; }
    DotsPerMetre rightResolution() const { return rightDpi; }
    // The last stitch's result and its transition zone (first column, column after it).
    std::shared_ptr<BigImage> stitchedImage() const { return stitchResult; }
    std::int32_t stitchZoneStart() const { return stitchStart; }
    std::int32_t stitchZoneEnd() const { return stitchEnd; }

    // The engine behind the "Markers" menu, run on a pool thread; tests put canned results here.
    using MarkerWork = std::function<Align::MarkerResult(const BigImagePtr&, const BigImagePtr&, ProgressInfo*)>;
    MarkerWork markerFinder = Align::findMarkers;
    std::function<Align::MarkerResult(const BigImagePtr&, const BigImagePtr&, const Align::MarkerPixels&,
                                      ProgressInfo*)>
        markerRefiner = Align::refineMarkers;

protected:
    // Refused while a load, turn, marker search or stitch runs: that work cannot be stopped,
    // and its slot still has steps to take. The window then says that it will close, and
    // closes as soon as the work has ended.
    void closeEvent(QCloseEvent* event) override;

private slots:
    void disableInterface();
    void evaluateInterface();
    void showResults();
    void leftPosChanged();
    void rightPosChanged();
    void on_btLoadLeft_clicked();
    void on_btLoadRight_clicked();
    void on_btLeftRotCW_clicked();
    void on_btLeftRotCCW_clicked();
    void on_btRightRotCW_clicked();
    void on_btRightRotCCW_clicked();
    void on_btStitchStart_clicked();
    void on_slCorridorW_valueChanged(int value);
    void on_btSwitch_clicked();
    void on_actionHelp_triggered();
    void on_actionAbout_triggered();
    void on_sbZoom_valueChanged(double value);
    void on_actionLGPLv3_triggered();
    void on_actionDark_Mode_triggered();
    void on_actionLight_Mode_triggered();
    void on_actionFindMarkers_triggered();
    void on_actionRefineRightMarkers_triggered();

private:
    // A new parentless text window with this window's icon, shown non-modally. It is
    // deleted when closed, and at the latest together with this window.
    void openTextWindow(const QString& text, const QString& title);
    // One side of the window: its view, the resolution of its image, the file-name label,
    // the zoom windows and its "Load Image" button.
    struct Side {
        MarkerView* view;
        DotsPerMetre* dpi;
        class QLabel* fileName;
        class ZoomImage* red;
        class ZoomImage* blue;
        QPushButton* load;
    };
    Side leftSide();
    Side rightSide();
    // Loads the file into the side, or with an empty name the one picked in the open dialog;
    // the same checks and messages either way.
    void loadInto(const Side& side, const QString& fileName = QString());
    // A file dropped onto the side's view: loaded as "Load Image" loads, when that may run.
    void loadDropped(const Side& side, const QString& fileName);
    // After a load or a hand-over: the name shows when the view holds an image; else the
    // name and the zoom windows go blank.
    void showName(const Side& side, const QString& name);
    // "Use as Left Image" in the result dialog: the last result becomes the left image.
    void useResultAsLeft();
    void turn(MarkerView* view, bool clockwise);
    // Bracket the work of a slot; the end carries out a close requested meanwhile.
    void beginWork();
    void endWork();
    // The stitch worker: the whole computation on the inputs that the start slot took from
    // the views; stores the result, stitchStart, stitchEnd and stitchQuality only when it
    // succeeded.
    void computeStitch(ProgressInfo* progress);
    // The markers as the views hold them, as fractions of their images.
    StitchEngine::MarkerFractions currentMarkers() const;
    // A "Markers" slot: runs the engine on both images on the pool, with a progress dialog
    // that starts with `text`, then applies a found result or posts the refusal.
    void runMarkerWork(const QString& name, const QString& text, MarkerWork work,
                       const std::function<void(const Align::MarkerResult&)>& apply);
    // A found result: the right image turned as it says, all four markers placed, and a word
    // to the user.
    void applyFoundMarkers(const Align::MarkerResult& found);
    // Pixel positions of the turned right image to the right view's fractions.
    void setRightMarkers(const Align::MarkerPixels& markers);
    // How well the seam matched, in the status bar; a poor match also as a message, which
    // opens over the result window.
    void reportSeamQuality();

    // What the stitch works on, taken on the GUI thread when "Start Stitching" is pressed.
    struct StitchInput {
        BigImagePtr left;
        BigImagePtr right;
        StitchEngine::MarkerFractions markers;
        int32_t matchingWidth = 50;
    };
    StitchInput stitchInput;
    QString stitchError; // the failed stitch's message, empty after a success

    Ui::Stitching* ui = nullptr;
    DotsPerMetre leftDpi;
    DotsPerMetre rightDpi;
    // The stitch's transition zone: its first column and the column after it.
    std::int32_t stitchStart = 0;
    std::int32_t stitchEnd = 0;
    StitchEngine::SeamQuality stitchQuality;
    std::shared_ptr<BigImage> stitchResult;
    StatusWatcher* watcher = nullptr;
    class QLabel* seamMatch = nullptr; // in the status bar
    int workRunning = 0;
    bool closeRequested = false; // during work; nothing further opens once it is set
    int resultsUsed = 0;         // results taken on as the left image: "Result 1", "Result 2", …

};
