#include "bigimage.h"

#include "largememory.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>

#include <QThread>
#include <QtConcurrent>

#include <algorithm>

#include <sys/mman.h>
#include <unistd.h>

namespace {

// Spare pixels after the last one: 16-byte loads at any pixel stay inside the block.
constexpr int64_t kPadPixels = 6;

// The block's size in bytes, with the spare pixels; throws for sizes no system can hold.
size_t pixelBytes(int32_t width, int32_t height)
{
    const int64_t count = int64_t(width) * int64_t(height);
    if (count < 0 || width < 0 || height < 0)
        throw std::bad_alloc();
    if (count == 0)
        return 0;
    if (uint64_t(count) > (SIZE_MAX - 64) / 3)
        throw std::bad_alloc();
    return size_t(count + kPadPixels) * 3;
}

// Not initialised here unless asked: no pass over the memory, the creator decides.
RgbPixel* allocatePixels(size_t bytes, bool zeroed, bool smallPages)
{
    if (bytes == 0)
        return nullptr;
    void* p = LargeMemory::allocate(bytes, zeroed, !smallPages);
    if (!p)
        throw std::bad_alloc();
    return static_cast<RgbPixel*>(p);
}

} // namespace

void BigImage::FreePixels::operator()(RgbPixel* p) const
{
    LargeMemory::release(p, bytes);
}

BigImage::BigImage(int32_t width, int32_t height, RgbPixel background, Interpolation interpolation, Unfilled how)
    : w_(width), h_(height), pixels_(nullptr, FreePixels{pixelBytes(width, height)}), bg_(background),
      bgGrey_(greyLevel(background)), interpolation_(interpolation)
{
    pixels_.reset(allocatePixels(pixels_.get_deleter().bytes, how.zeroed, how.smallPages));
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

void BigImage::resizeBlock(size_t bytes, bool growing)
{
    RgbPixel* p = nullptr;
    if (bytes > 0) {
        p = static_cast<RgbPixel*>(LargeMemory::resize(pixels_.get(), pixels_.get_deleter().bytes, bytes));
        if (!p && growing)
            throw std::bad_alloc();
        if (!p)
            return;
    } else {
        LargeMemory::release(pixels_.get(), pixels_.get_deleter().bytes);
    }
    pixels_.release();
    pixels_ = decltype(pixels_)(p, FreePixels{bytes});
}

void BigImage::setWidth(int32_t width)
{
    if (width == w_)
        return;
    const size_t bytes = pixelBytes(width, h_);
    const size_t keep = size_t(std::min(w_, width)) * sizeof(RgbPixel);
    // Rows move towards the end when they widen, so the last goes first; towards the start
    // when they narrow, so the first goes first. Either way a row lands only on bytes whose
    // row has already moved, or on its own (memmove). Growing may fail before any row has
    // moved.
    if (width > w_) {
        resizeBlock(bytes, true);
        RgbPixel* p = pixels_.get();
        for (int64_t i = int64_t(h_) - 1; i > 0; --i)
            std::memmove(p + i * width, p + i * w_, keep);
    } else {
        RgbPixel* p = pixels_.get();
        for (int64_t i = 1; i < h_; ++i)
            std::memmove(p + i * width, p + i * w_, keep);
        resizeBlock(bytes, false);
    }
    w_ = width;
}

void BigImage::setHeight(int32_t height)
{
    if (height == h_)
        return;
    resizeBlock(pixelBytes(w_, height), height > h_);
    h_ = height;
}

std::shared_ptr<BigImage> BigImage::makeUnfilledInSmallPages(int32_t width, int32_t height, RgbPixel background,
                                                             Interpolation interpolation)
{
    return std::shared_ptr<BigImage>(
        new BigImage(width, height, background, interpolation, Unfilled{false, true}));
}

std::shared_ptr<BigImage> BigImage::makeZeroed(int32_t width, int32_t height, RgbPixel background,
                                               Interpolation interpolation)
{
    return std::shared_ptr<BigImage>(new BigImage(width, height, background, interpolation, Unfilled{true}));
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

QFuture<void> prefaultInBackground(const BigImagePtr& image, std::shared_ptr<PrefaultLimit> limit)
{
#ifdef MADV_POPULATE_WRITE
    // A spilled block lives on disk: pulling it all in ahead of the writer would only page it out again.
    if (!image || image->pixelCount() == 0 || LargeMemory::isSpilled(image->data()))
        return QFuture<void>();
    return QtConcurrent::run([image, limit] {
        // Whole pages inside the block only, in pieces from the top, so that the pages
        // are ready before the writer gets there. The kernel maps them writable without
        // changing a byte, so this may run beside the writer of the same rows.
        const uintptr_t page = uintptr_t(sysconf(_SC_PAGESIZE));
        const uintptr_t first = (reinterpret_cast<uintptr_t>(image->data()) + page - 1) / page * page;
        const uintptr_t last = reinterpret_cast<uintptr_t>(image->data() + image->pixelCount()) / page * page;
        constexpr uintptr_t kPiece = uintptr_t(4) << 20;
        const uintptr_t start = reinterpret_cast<uintptr_t>(image->data());
        for (uintptr_t p = first; p < last; p += kPiece) {
            while (limit && !limit->stop && p + kPiece > start + uintptr_t(std::max<int64_t>(0, limit->limit)))
                QThread::msleep(1);
            if (limit && limit->stop)
                break;
            if (madvise(reinterpret_cast<void*>(p), std::min(kPiece, last - p), MADV_POPULATE_WRITE) != 0)
                break;
        }
    });
#else
    (void)image;
    (void)limit;
    return QFuture<void>();
#endif
}
