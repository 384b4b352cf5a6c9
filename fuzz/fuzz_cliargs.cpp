// The command line's marker and turn arguments on arbitrary text: the first byte says how
// many numbers are wanted, the rest is the argument as UTF-8.
#include "cliargs.h"

#include <cmath>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0)
        return 0;
    const int count = data[0] % 6;
    const QString text = QString::fromUtf8(reinterpret_cast<const char*>(data + 1), int(size - 1));
    std::vector<double> numbers;
    if (CliArgs::parseNumbers(text, count, numbers)) {
        // Accepted markers are exactly as many finite numbers as asked for.
        if (int(numbers.size()) != count)
            std::abort();
        for (double v : numbers)
            if (!std::isfinite(v))
                std::abort();
    }
    CliArgs::isTurnName(text);
    CliArgs::SeamMarkers seam;
    if (CliArgs::parseMarkerLine(text, seam) && (seam.left.size() != 3 || seam.right.size() != 4))
        std::abort();
    int columns = 0, rows = 0;
    if (CliArgs::parseGrid(text, columns, rows) && (columns < 1 || rows < 1))
        std::abort();
    return 0;
}
