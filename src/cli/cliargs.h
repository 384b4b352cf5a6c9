// The command line's marker and turn arguments, apart from the tool so that its tests and
// the fuzzer reach them without running a stitch.
#pragma once

#include <QString>

#include <vector>

namespace CliArgs {

// "a,b,c" into exactly `count` numbers (pixels; decimals place a marker between pixels, as a
// click in a zoom window can). False for another count, a part that is no number, or an
// infinite or undefined one; `out` then holds no promise.
bool parseNumbers(const QString& text, int count, std::vector<double>& out);

// "cw", "ccw" or "180": the quarter turns that --turn-left and --turn-right accept.
bool isTurnName(const QString& how);
// A turn as clockwise quarters: cw 1, 180 2, ccw 3, anything else 0; and back ("" for 0).
int quarters(const QString& how);
QString turnOf(int quarters);

// One seam's markers in pixels, as stitch's options and the lines of a --markers file give
// them: left X,RED_Y,BLUE_Y; right RED_X,RED_Y,BLUE_X,BLUE_Y; the right image's quarter turn.
struct SeamMarkers {
    std::vector<double> left;
    std::vector<double> right;
    int turnRight = 0; // clockwise quarters
};

// A line "--left X,RED_Y,BLUE_Y --right RED_X,RED_Y,BLUE_X,BLUE_Y [--turn-right cw|ccw|180]"
// (the options in any order, spaces between). False for anything else.
bool parseMarkerLine(const QString& line, SeamMarkers& out);

// The lines of a --markers file, one seam each; blank lines and lines that start with #
// are passed over. 0 when every line is one, else the number of the first bad line (from 1).
int parseMarkerLines(const QString& text, std::vector<SeamMarkers>& out);

// "COLSxROWS" (or with X) into two whole numbers from 1 on; false for anything else.
bool parseGrid(const QString& text, int& columns, int& rows);

} // namespace CliArgs
