#include "bigimage.h"

#include <cstring>
#include <new>

namespace {

// Spare pixels after the last one: 16-byte loads at any pixel stay inside the block.
constexpr int64_t kPadPixels = 6;

std::unique_ptr<RgbPixel[]> allocatePixels(int32_t width, int32_t height)
{
    const int64_t count = int64_t(width) * int64_t(height);
    if (count < 0 || width < 0 || height < 0)
        throw std::bad_alloc();
    if (count == 0)
        return nullptr;
    // Default-initialised: no pass over the memory here, the creator decides.
    return std::unique_ptr<RgbPixel[]>(new RgbPixel[size_t(count + kPadPixels)]);
}

} // namespace

BigImage::BigImage(int32_t width, int32_t height, RgbPixel background, Interpolation interpolation, Unfilled)
    : w_(width), h_(height), pixels_(allocatePixels(width, height)), bg_(background),
      bgGrey_(greyLevel(background)), interpolation_(interpolation)
{
}

BigImage::BigImage(int32_t width, int32_t height, RgbPixel background, Interpolation interpolation)
    : BigImage(width, height, background, interpolation, Unfilled{})
{
    const int64_t count = pixelCount();
    if (count == 0)
        return;
    if (bg_.r == bg_.g && bg_.g == bg_.b) {
        std::memset(pixels_.get(), bg_.r, size_t(count) * 3);
    } else {
        RgbPixel* p = pixels_.get();
        for (int64_t i = 0; i < count; ++i)
            p[i] = bg_;
    }
}

std::shared_ptr<BigImage> BigImage::makeUnfilled(int32_t width, int32_t height, RgbPixel background,
                                                 Interpolation interpolation)
{
    return std::shared_ptr<BigImage>(new BigImage(width, height, background, interpolation, Unfilled{}));
}

BigImagePtr makeBigImage(int32_t width, int32_t height)
{
    return std::make_shared<BigImage>(width, height, colGrey, Interpolation::Cubic);
}

BigImagePtr deepCopy(const BigImagePtr& source)
{
    if (!source)
        return nullptr;
    auto copy = BigImage::makeUnfilled(source->width(), source->height(), source->background(),
                                       source->interpolation());
    if (source->pixelCount() > 0)
        std::memcpy(copy->data(), source->data(), size_t(source->pixelCount()) * 3);
    return copy;
}

QImage toQImage(const BigImagePtr& image)
{
    if (!image || image->pixelCount() == 0)
        return QImage();
    QImage out(image->width(), image->height(), QImage::Format_RGB888);
    if (out.isNull())
        return out;
    // Format_RGB888 stores r, g, b bytes like the image does; only the row padding differs.
    const size_t rowBytes = size_t(image->width()) * 3;
    for (int32_t y = 0; y < image->height(); ++y)
        std::memcpy(out.scanLine(y), image->row(y), rowBytes);
    return out;
}
