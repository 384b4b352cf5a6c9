// The direct JPEG decoder (libjpeg-turbo into a BigImage) on arbitrary bytes.
#include "fuzzfiles.h"
#include "jpegdecoder.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::atomic<float> progress{0.0f};
    const BigImageIO::JpegDecodeResult r = BigImageIO::decodeJpeg(FuzzFiles::write(data, size, ".jpg"), &progress);
    // A decoded image is complete and nothing else carries one.
    if ((r.status == BigImageIO::JpegDecodeStatus::Decoded) != bool(r.image))
        std::abort();
    if (r.image && (r.image->width() <= 0 || r.image->height() <= 0))
        std::abort();
    return 0;
}
