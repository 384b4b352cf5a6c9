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

} // namespace CliArgs
