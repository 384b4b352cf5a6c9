// The steps that seamwright-cli's commands share: messages, quarter turns, the marker finder
// on the pool, the markers in the form of stitch's options, and writing the output file.
#pragma once

#include "iodata.h"
#include "markerfinder.h"

#include <QString>

class StatusWatcher;

namespace CliSteps {

// Prints text on standard error and returns the exit status 1.
int fail(const QString& text);

// Turns the image by clockwise quarters (0 to 3, or any count, taken modulo 4). The caller
// holds its only reference: the turned image takes its place, and the two never need much
// more memory than one (turnFreeing).
void turn(BigImagePtr& image, int quarters);

// Runs the finder (or, with given markers, the refinement) on the pool with progress.
Align::MarkerResult runFinder(const BigImagePtr& left, const BigImagePtr& right, StatusWatcher* watcher,
                              const Align::MarkerPixels* given);

// The markers as stitch's options: "--left X,RED_Y,BLUE_Y --right ... [--turn-right cw]".
QString markerOptions(const Align::MarkerPixels& m, int rightQuarters);

// Writes the image as the result dialog saves it, in the format that the name's suffix
// names; 0 when it was written, else 1.
int writeImage(const BigImagePtr& image, const QString& output, DotsPerMetre dpi, const QString& comment,
               StatusWatcher* watcher);

// The exit status once the inputs are loaded: a file written from a damaged input says so.
int finish(int written, bool damaged, const QString& output);

} // namespace CliSteps
