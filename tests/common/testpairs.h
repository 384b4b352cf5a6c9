// Two overlapping "scans" cut from one picture with known truth: the left part unchanged, the
// right part turned by a small angle, its brightness scaled and noise added, as a second pass
// of a scanner would give them.
#pragma once

#include "bigimage.h"

#include <QFont>
#include <QImage>
#include <QPainter>

#include <cmath>
#include <cstring>
#include <random>
#include <vector>

enum class PairContent { Photo, Text };

// A picture of soft blobs and sharp shapes in many colours, or a page of small text.
inline QImage makeScene(PairContent content, int w, int h, unsigned seed)
{
    QImage img(w, h, QImage::Format_RGB888);
    std::mt19937 rng(seed);
    auto uni = [&](int a, int b) { return std::uniform_int_distribution<int>(a, b)(rng); };
    img.fill(QColor(250, 248, 240));
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    if (content == PairContent::Photo) {
        QLinearGradient g(0, 0, w, h);
        g.setColorAt(0, QColor(40, 90, 160));
        g.setColorAt(1, QColor(200, 170, 90));
        p.fillRect(img.rect(), g);
        for (int i = 0; i < w * h / 900; ++i) {
            p.setPen(QPen(QColor(uni(0, 255), uni(0, 255), uni(0, 255)), uni(1, 3)));
            p.setBrush(QColor(uni(0, 255), uni(0, 255), uni(0, 255), uni(60, 255)));
            const QRect r(uni(-20, w), uni(-20, h), uni(6, 60), uni(6, 60));
            if (i % 3)
                p.drawEllipse(r);
            else
                p.drawRect(r);
        }
    } else {
        QFont font(QStringLiteral("DejaVu Sans"));
        font.setPixelSize(17);
        p.setFont(font);
        p.setPen(QColor(20, 20, 30));
        // Words of random letters, weighted like English text: every glyph repeats many times.
        const char* letters = "eeeeeeetttttaaaaooooiiiinnnnsssshhhrrrdddllcuumwfgypbvk";
        const int n = int(std::strlen(letters));
        for (int y = 30; y < h - 10; y += 24) {
            QString line;
            while (line.size() < w / 8) {
                for (int k = uni(1, 8); k > 0; --k)
                    line += QLatin1Char(letters[uni(0, n - 1)]);
                line += ' ';
            }
            p.drawText(20, y, line);
        }
    }
    return img;
}

struct TestPair {
    BigImagePtr left, right;
    double x0 = 0, y0 = 0, angle = 0; // right(u, v) shows scene(x0 + u·c − v·s, y0 + u·s + v·c)

    // Where scene point (x, y), which the left image shows at the same place, lies in the right image.
    void toRight(double x, double y, double& u, double& v) const
    {
        const double c = std::cos(angle), s = std::sin(angle);
        u = c * (x - x0) + s * (y - y0);
        v = -s * (x - x0) + c * (y - y0);
    }
};

// Left: scene columns 0 .. (w + overlap)/2; right: the rest, turned by `degrees` about its
// corner, trimmed to stay inside the scene; gain and Gaussian noise on the right only.
inline TestPair makeTestPair(const QImage& scene, double overlapFraction, double degrees, double gain, double noise,
                             unsigned seed)
{
    const int w = scene.width(), h = scene.height();
    const int overlap = int(std::lround(overlapFraction * w));
    const int leftW = (w + overlap) / 2;
    TestPair pair;
    pair.angle = degrees * M_PI / 180.0;
    const double c = std::cos(pair.angle), s = std::sin(pair.angle);
    const int margin = int(std::ceil(std::abs(s) * h)) + 4;
    pair.x0 = w - leftW;
    pair.y0 = margin;
    const int rightW = leftW - margin, rightH = h - 2 * margin;

    pair.left = std::make_shared<BigImage>(leftW, h);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < leftW; ++x)
            pair.left->setPixel(x, y, fromQRgb(scene.pixel(x, y)));

    // Bilinear samples at exact positions, so that the truth needs no convention of a painter.
    std::mt19937 rng(seed);
    std::normal_distribution<double> n(0.0, noise);
    pair.right = std::make_shared<BigImage>(rightW, rightH);
    for (int v = 0; v < rightH; ++v) {
        for (int u = 0; u < rightW; ++u) {
            const double x = pair.x0 + u * c - v * s, y = pair.y0 + u * s + v * c;
            const int ix = std::clamp(int(std::floor(x)), 0, w - 2), iy = std::clamp(int(std::floor(y)), 0, h - 2);
            const double fx = x - ix, fy = y - iy;
            const QRgb q00 = scene.pixel(ix, iy), q10 = scene.pixel(ix + 1, iy);
            const QRgb q01 = scene.pixel(ix, iy + 1), q11 = scene.pixel(ix + 1, iy + 1);
            auto mix = [&](int shift) {
                auto ch = [&](QRgb q) { return double((q >> shift) & 255); };
                const double value = (ch(q00) * (1 - fx) + ch(q10) * fx) * (1 - fy) + (ch(q01) * (1 - fx) + ch(q11) * fx) * fy;
                return uint8_t(std::clamp(std::lround(value * gain + (noise > 0 ? n(rng) : 0.0)), 0L, 255L));
            };
            pair.right->setPixel(u, v, RgbPixel{mix(16), mix(8), mix(0)});
        }
    }
    return pair;
}

// A picture cut into columns × rows overlapping tiles, exact copies, with the true markers of
// every seam in the order that seamwright-cli stitch joins them: a row's seams, then the
// seam that joins the row below the rows above. A row's seams are in pixels of the row
// (left: the tiles joined so far; right: the next tile); a join of rows in pixels of the rows
// turned a quarter counter-clockwise, where the rows meet along a column.
struct TestGrid {
    std::vector<BigImagePtr> tiles; // row by row
    struct Seam {
        int x, redY, blueY; // left markers
        int shift;          // the right markers sit `shift` columns left of the left ones
    };
    std::vector<Seam> seams;
};

inline TestGrid makeTestGrid(const BigImagePtr& picture, int columns, int rows, int overlapX, int overlapY)
{
    const int w = (picture->width() + (columns - 1) * overlapX) / columns;
    const int h = (picture->height() + (rows - 1) * overlapY) / rows;
    TestGrid grid;
    for (int r = 0; r < rows; ++r) {
        for (int c = 0; c < columns; ++c) {
            auto tile = std::make_shared<BigImage>(w, h);
            for (int y = 0; y < h; ++y)
                for (int x = 0; x < w; ++x)
                    tile->setPixel(x, y, picture->pixelAt(c * (w - overlapX) + x, r * (h - overlapY) + y));
            grid.tiles.push_back(tile);
            if (c > 0)
                grid.seams.push_back({c * (w - overlapX) + overlapX / 2, h / 4, 3 * h / 4, c * (w - overlapX)});
        }
        const int rowWidth = columns * w - (columns - 1) * overlapX;
        if (r > 0)
            grid.seams.push_back({r * (h - overlapY) + overlapY / 2, rowWidth / 4, 3 * rowWidth / 4, r * (h - overlapY)});
    }
    return grid;
}
