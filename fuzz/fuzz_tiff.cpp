// The direct TIFF decoder (libtiff strip by strip or tile by tile into a BigImage) on
// arbitrary bytes.
#include "fuzzfiles.h"
#include "tiffdecoder.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::atomic<float> progress{0.0f};
    const BigImageIO::TiffDecodeResult r = BigImageIO::decodeTiff(FuzzFiles::write(data, size, ".tif"), &progress);
    // A decoded image is complete and nothing else carries one.
    if ((r.status == BigImageIO::TiffDecodeStatus::Decoded) != bool(r.image))
        std::abort();
    if (r.image && (r.image->width() <= 0 || r.image->height() <= 0))
        std::abort();
    return 0;
}
