// BigImage: the one pixel container. 8-bit RGB, three bytes a pixel, rows without gaps,
// 64-bit offsets so that scans beyond 2^31 bytes work, and a background colour that
// answers every read outside the image, which the resampling relies on at the borders.
#pragma once

#include <QFuture>
#include <QImage>

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

struct RgbPixel {
    uint8_t r;
    uint8_t g;
    uint8_t b;
};
static_assert(sizeof(RgbPixel) == 3, "pixels are packed three bytes");

inline bool operator==(RgbPixel a, RgbPixel b) { return a.r == b.r && a.g == b.g && a.b == b.b; }
inline bool operator!=(RgbPixel a, RgbPixel b) { return !(a == b); }

// The grey level used throughout: weights 11/32, 16/32, 5/32.
inline uint8_t greyLevel(RgbPixel p) { return uint8_t((11 * p.r + 16 * p.g + 5 * p.b) >> 5); }

constexpr RgbPixel colBlack{0, 0, 0};
constexpr RgbPixel colBlue{0, 0, 255};
constexpr RgbPixel colGreen{0, 255, 0};
constexpr RgbPixel colGrey{128, 128, 128};
constexpr RgbPixel colRed{255, 0, 0};
constexpr RgbPixel colOrange{255, 128, 0};
constexpr RgbPixel colWhite{255, 255, 255};

struct float2 {
    float x = 0.0f;
    float y = 0.0f;
};

// Resampling mode with which the views render an image; every image here uses Cubic.
enum class Interpolation : int32_t { Area = 0, Nearest = 1, Linear = 2, Cubic = 3 };

// The pen of drawLine: a colour, or with StyleDashed two colours alternating in runs of six.
struct LineStyle {
    enum Flags : int32_t { StyleDashed = 1 << 1 };
    static constexpr int32_t Opaque = -17;

    LineStyle(RgbPixel color, int32_t flags = 0, RgbPixel altColor = colBlack, int32_t alpha = Opaque,
              int32_t patternPos = 0, float width = 1.0f);

    RgbPixel color;
    RgbPixel altColor;
    int32_t alpha;
    int32_t flags;
    std::vector<bool> pattern;
    int32_t patternPos;
    float width;
};

class BigImage {
public:
    // Allocates width·height pixels, each set to the background; throws std::bad_alloc when
    // the memory cannot be had or the size is negative.
    BigImage(int32_t width, int32_t height, RgbPixel background = colGrey,
             Interpolation interpolation = Interpolation::Cubic);

    // For creators that write every pixel themselves: the same image, not filled.
    static std::shared_ptr<BigImage> makeUnfilled(int32_t width, int32_t height, RgbPixel background = colGrey,
                                                  Interpolation interpolation = Interpolation::Cubic);
    // For creators that may stop early: every pixel black (0, 0, 0) until written. Large
    // images get fresh pages from the system, which cost no memory until written.
    static std::shared_ptr<BigImage> makeZeroed(int32_t width, int32_t height, RgbPixel background = colGrey,
                                                Interpolation interpolation = Interpolation::Cubic);
    // For creators that write every pixel in scattered order and want the memory to follow
    // the writes: not filled, in small pages (a huge page takes its 2 MB at its first byte).
    static std::shared_ptr<BigImage> makeUnfilledInSmallPages(int32_t width, int32_t height, RgbPixel background,
                                                              Interpolation interpolation);

    BigImage(const BigImage&) = delete;
    BigImage& operator=(const BigImage&) = delete;

    int32_t width() const { return w_; }
    int32_t height() const { return h_; }
    int64_t pixelCount() const { return int64_t(w_) * int64_t(h_); }
    RgbPixel background() const { return bg_; }
    uint8_t backgroundGrey() const { return bgGrey_; }
    Interpolation interpolation() const { return interpolation_; }

    bool inside(int32_t x, int32_t y) const { return uint32_t(x) < uint32_t(w_) && uint32_t(y) < uint32_t(h_); }
    // Offset of pixel (x, y) in pixels, always in 64-bit arithmetic.
    int64_t offset(int32_t x, int32_t y) const { return int64_t(y) * int64_t(w_) + x; }

    RgbPixel pixelAt(int32_t x, int32_t y) const { return inside(x, y) ? pixels_[offset(x, y)] : bg_; }
    void setPixel(int32_t x, int32_t y, RgbPixel p)
    {
        if (inside(x, y))
            pixels_[offset(x, y)] = p;
    }

    RgbPixel* data() { return pixels_.get(); }
    const RgbPixel* data() const { return pixels_.get(); }
    RgbPixel* row(int32_t y) { return pixels_.get() + offset(0, y); }
    const RgbPixel* row(int32_t y) const { return pixels_.get() + offset(0, y); }

    // Inside only: each channel becomes colour·coverage + old·(1 − coverage), rounded.
    void blendPixel(int32_t x, int32_t y, double coverage, RgbPixel colour);
    // Bresenham line including both end points; without a style it is white.
    void drawLine(int32_t x0, int32_t y0, int32_t x1, int32_t y1, LineStyle* style = nullptr);
    // The outline of the rectangle with corners (x0, y0) and (x1, y1): top, right, bottom,
    // left, each a drawLine of its own.
    void drawBox(int32_t x0, int32_t y0, int32_t x1, int32_t y1, LineStyle* style);
    // Xiaolin Wu's anti-aliased line.
    void drawLineAA(double x0, double y0, double x1, double y1, RgbPixel colour);

    // The quarter turns reuse the pixel block with width and height exchanged.
    void exchangeDimensions() { std::swap(w_, h_); }
    // A new width in the same block, grown or shrunk in place: every row keeps its first
    // min(old, new) pixels, and the pixels that a row gains hold no promised value (the
    // caller writes them). A stitch grows its left image into the result this way, without
    // a second copy of it. Throws std::bad_alloc, the image unchanged, when the memory
    // cannot be had.
    void setWidth(int32_t width);
    // A new height in the same block: the first min(old, new) rows stay, added rows hold no
    // promised value; fewer rows give their memory back. Throws as setWidth does.
    void setHeight(int32_t height);

private:
    struct Unfilled {
        bool zeroed = false;
        bool smallPages = false;
    };
    // The block as one of `bytes`, its start kept; failing, it throws only when growing and
    // otherwise keeps the larger block.
    void resizeBlock(size_t bytes, bool growing);
    // Bresenham from (x0, y0) to (x1, y1), its steps firstStep to lastStep only (the whole
    // line has max(|dx|, |dy|) steps); the dash pattern counts from the line's start.
    void walkLine(int32_t x0, int32_t y0, int32_t x1, int32_t y1, LineStyle* style, int64_t firstStep,
                  int64_t lastStep);
    BigImage(int32_t width, int32_t height, RgbPixel background, Interpolation interpolation, Unfilled);

    int32_t w_;
    int32_t h_;
    // A few bytes beyond the last pixel, so that vector loads of the last pixels stay
    // inside the allocation.
    struct FreePixels {
        size_t bytes = 0; // as allocated: large blocks go back to the system as mappings
        void operator()(RgbPixel* p) const;
    };
    std::unique_ptr<RgbPixel[], FreePixels> pixels_;
    RgbPixel bg_;
    uint8_t bgGrey_;
    Interpolation interpolation_;
};

using BigImagePtr = std::shared_ptr<BigImage>;

// The common factory: grey background, bicubic rendering.
BigImagePtr makeBigImage(int32_t width, int32_t height);
// A new image with the source's size, background, mode and pixels; null for null.
BigImagePtr deepCopy(const BigImagePtr& source);
// How far a background prefault may map: below `limit` bytes from the image's start (the
// writer moves it on as data arrives, so that memory is committed only for data that has
// decoded); `stop` ends the prefault.
struct PrefaultLimit {
    std::atomic<int64_t> limit{0};
    std::atomic<bool> stop{false};

    // Rows [0, rows) of an image `width` pixels wide are written: map up to 64 MB beyond.
    void allowRows(int64_t rows, int32_t width) { limit = rows * int64_t(width) * 3 + (int64_t(64) << 20); }
};

// Maps the memory of a new image on a pool thread, top row first, without changing its
// content, while the caller's thread fills it: the other core takes the page faults off the
// writer. With a limit it waits for the writer at the limit. Does nothing where the system
// cannot. Wait for the future before returning (set `stop` first).
QFuture<void> prefaultInBackground(const BigImagePtr& image, std::shared_ptr<PrefaultLimit> limit = nullptr);
// RGB888 QImage of the same size (null QImage for a null or empty image).
QImage toQImage(const BigImagePtr& image);
// A QRgb value as stored from Qt.
inline RgbPixel fromQRgb(QRgb v) { return RgbPixel{uint8_t((v >> 16) & 255), uint8_t((v >> 8) & 255), uint8_t(v & 255)}; }
