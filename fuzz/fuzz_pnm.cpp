// The PNM reader on arbitrary bytes, the way loadPPM drives it: the header, the check that
// the file holds the data it promises, then the pixels into a buffer of the declared size.
#include "pnm.h"

#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

namespace {

// Inputs are at most a few hundred kilobytes, so a header that passes the data check
// declares at most eight pixels a byte (P4); the cap keeps the harness's own buffer small
// if that check ever lets more through.
constexpr int64_t kMaxPixels = int64_t(1) << 24;

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::istringstream in(std::string(reinterpret_cast<const char*>(data), size), std::ios::binary);
    int width = -1, height = -1, type = -1;
    if (!parse_ppm_header(in, &width, &height, &type))
        return 0;
    const int64_t needed = ppm_minimum_data_bytes(type, width, height);
    std::vector<uint8_t> pixels;
    if (needed >= 0) {
        const std::streampos dataStart = in.tellg();
        in.seekg(0, std::ios::end);
        const std::streamoff available = in.tellg() - dataStart;
        in.seekg(dataStart);
        if (available < needed)
            return 0;
        const int64_t count = int64_t(width) * int64_t(height);
        if (count > kMaxPixels)
            return 0;
        pixels.resize(size_t(count) * 3);
    }
    std::atomic<float> progress{0.0f};
    parse_ppm_data(in, type, pixels.empty() ? nullptr : pixels.data(), width, height, &progress);
    return 0;
}
