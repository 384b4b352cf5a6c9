// seamwright-cli stitch: any number of scans joined one seam at a time, left to right, top
// to bottom (each input turned a quarter counter-clockwise and the result back), or as a
// grid, row by row. Two inputs are the plain stitch. The result grows in its own memory, and
// each input is freed once joined, so the job holds the growing result, the next input and,
// while its seam is searched, a copy of the result's last piece.
#pragma once

#include "cliargs.h"

#include <QStringList>

#include <vector>

struct StitchJob {
    QStringList inputs; // in the order they are joined: a grid row by row
    QString output;
    int columns = 0;      // a grid's pieces per row; 0: one row of all inputs
    int rows = 1;
    bool vertical = false; // one column of inputs, joined top to bottom
    int width = 50;        // the matching width of every seam
    bool refine = false;   // move the given right markers to their best match first
    int turnFirst = 0;     // clockwise quarters of the first input (--turn-left)
    // Seam by seam in the order they are joined; a seam without left and right markers (or
    // beyond the list) has its markers found. turnRight turns the seam's right input first.
    std::vector<CliArgs::SeamMarkers> seams;

    // A grid's seams: every row's, and one between each two rows.
    int seamCount() const;
};

// Runs the job; returns the exit status (0 written, 2 written from a damaged input, 1 not
// written). Messages go to standard error, the markers of every seam whose markers were
// found or refined to standard output, one line each, in the form of a --markers file.
int runStitchJob(const StitchJob& job);
