// Loading by suffix, as the window and the command line load a file: the first byte picks
// the suffix, the rest is the file. Reaches the PNM reader, both direct decoders, Qt's
// JPEG, TIFF, PNG and BMP readers and the tiled reader.
#include "fuzzfiles.h"
#include "loading.h"

#include <QCoreApplication>

#include <cstdlib>

namespace {

const char* const kSuffixes[] = {".ppm", ".pgm", ".pbm", ".pnm", ".jpg", ".jpeg", ".tif", ".tiff", ".png", ".bmp"};

} // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv)
{
    // Qt's image plugins and the thread pool need an application object.
    static QCoreApplication app(*argc, *argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0)
        return 0;
    const char* suffix = kSuffixes[data[0] % (sizeof kSuffixes / sizeof kSuffixes[0])];
    const QString path = FuzzFiles::write(data + 1, size - 1, QString::fromLatin1(suffix));
    BigImageLoadData load; // no watcher: messages are dropped
    const BigImagePtr image = BigImageIO::loadImageFile(path, load);
    if (load.loaded != bool(image))
        std::abort();
    return 0;
}
