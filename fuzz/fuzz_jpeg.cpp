// The direct JPEG decoder (libjpeg-turbo into a BigImage) on arbitrary bytes.
#include "fuzzfiles.h"
#include "jpegdecoder.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::atomic<float> progress{0.0f};
    const BigImageIO::JpegDecodeResult r = BigImageIO::decodeJpeg(FuzzFiles::write(data, size, ".jpg"), &progress);
    // Decoded and damaged results carry an image, nothing else does; damage is named.
    using Status = BigImageIO::JpegDecodeStatus;
    if ((r.status == Status::Decoded || r.status == Status::Damaged) != bool(r.image))
        std::abort();
    if (r.status == Status::Damaged && r.error.isEmpty())
        std::abort();
    if (r.image && (r.image->width() <= 0 || r.image->height() <= 0))
        std::abort();
    return 0;
}
