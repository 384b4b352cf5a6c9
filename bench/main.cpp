// seamwright-bench OPERATION WIDTH HEIGHT: runs one operation (or `all`) several times on a
// generated scan of that size and prints the median in seconds and megapixels per second.
#include "jpegencoder.h"
#include "largememory.h"
#include "loading.h"
#include "markerfinder.h"
#include "markerview.h"
#include "pnm.h"
#include "rotation.h"
#include "sampling.h"
#include "alignment.h"
#include "stitcher.h"
#include "testimage.h"
#include "tiffwriter.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QTextStream>
#include <QTemporaryDir>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

namespace {

using Step = std::function<void()>;

struct StitchBench;
std::shared_ptr<StitchBench> stitchBench;

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0.0 : v[v.size() / 2];
}

void check(bool ok, const char* what);

// What no operation on an image of this many bytes can beat on this machine (below).
struct Floors {
    double fresh4k = 0, freshHuge = 0, copy = 0, cacheRead = 0, cacheWrite = 0;
    // The process's first touch of that much memory. On a virtual machine whose host takes back
    // the guest's free pages, this costs several times what reused pages cost, and a program
    // that starts, loads and stitches once pays it for all it holds.
    double firstTouch = 0;
};

struct Operation {
    const char* name;
    const char* about;
    // Prepares once and returns the timed step.
    std::function<Step(const BigImagePtr&)> prepare;
    // Or several timed steps with names of their own, one line each.
    std::function<std::vector<std::pair<std::string, Step>>(const BigImagePtr&)> prepareSteps = nullptr;
    // Printed after the timed runs (phase figures of the last prepared step).
    std::function<void()> report = nullptr;
    // The floor that the operation is compared with in `all`, and what it is made of.
    const char* floorName = nullptr;
    std::function<double(const Floors&)> floor = nullptr;
};


// What no operation on an image of this many bytes can beat on this machine, measured in the
// same run: touching fresh memory once (4 KB pages, and 2 MB pages as the images get them),
// one memcpy, reading the bytes from the page cache and writing them into it.
Floors floors;
bool haveFloors = false;

double timed(const std::function<void()>& f)
{
    QElapsedTimer timer;
    timer.start();
    f();
    return double(timer.nsecsElapsed()) / 1e9;
}

Floors measureFloors(size_t bytes, int runs)
{
    std::vector<double> fresh4k, freshHuge, copy, cacheRead, cacheWrite;
    double firstTouch = 0;
    {
        void* p = LargeMemory::allocate(bytes, false);
        check(p != nullptr, "allocate");
        firstTouch = timed([&] { std::memset(p, 1, bytes); });
        LargeMemory::release(p, bytes);
    }
    auto* src = static_cast<char*>(LargeMemory::allocate(bytes, false));
    auto* dst = static_cast<char*>(LargeMemory::allocate(bytes, false));
    check(src && dst, "allocate");
    std::memset(src, 7, bytes);
    std::memset(dst, 0, bytes);
    QTemporaryDir dir(QDir::tempPath() + "/seamwright-bench-XXXXXX");
    const QByteArray file = dir.filePath("floor.raw").toLocal8Bit();
    auto writeFile = [&] {
        const int fd = ::open(file.constData(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        for (size_t done = 0; fd >= 0 && done < bytes;) {
            const ssize_t n = ::write(fd, src + done, bytes - done);
            check(n > 0, "write");
            done += size_t(n);
        }
        check(fd >= 0 && ::close(fd) == 0, "write");
    };
    writeFile();
    for (int i = 0; i < runs; ++i) {
        void* p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        check(p != MAP_FAILED, "mmap");
#ifdef MADV_NOHUGEPAGE
        madvise(p, bytes, MADV_NOHUGEPAGE);
#endif
        fresh4k.push_back(timed([&] { std::memset(p, 1, bytes); }));
        munmap(p, bytes);
        void* q = LargeMemory::allocate(bytes, false);
        check(q != nullptr, "allocate");
        freshHuge.push_back(timed([&] { std::memset(q, 1, bytes); }));
        LargeMemory::release(q, bytes);
        copy.push_back(timed([&] { std::memcpy(dst, src, bytes); }));
        cacheRead.push_back(timed([&] {
            const int fd = ::open(file.constData(), O_RDONLY);
            for (size_t done = 0; fd >= 0 && done < bytes;) {
                const ssize_t n = ::read(fd, dst + done, bytes - done);
                check(n > 0, "read");
                done += size_t(n);
            }
            ::close(fd);
        }));
        cacheWrite.push_back(timed(writeFile));
    }
    LargeMemory::release(src, bytes);
    LargeMemory::release(dst, bytes);
    return {median(fresh4k), median(freshHuge), median(copy), median(cacheRead), median(cacheWrite), firstTouch};
}

void printFloors(const Floors& f, size_t bytes)
{
    const double mb = double(bytes) / 1e6;
    std::printf("floor        %.0f MB  fresh memory 4 KB pages %.4f s, 2 MB pages %.4f s (%s); memcpy %.4f s; "
                "page-cache read %.4f s, write %.4f s; first touch in this process %.4f s\n",
                mb, f.fresh4k, f.freshHuge, LargeMemory::hugePagesOffered() ? "offered" : "not offered", f.copy,
                f.cacheRead, f.cacheWrite, f.firstTouch);
    std::fflush(stdout);
}

// A stitch pair cut from the scan as a scanner would give it: the left 57.5 % upright, the
// right 57.5 % turned by 0.7 degrees; markers at 10 % and 90 % of the height on the middle.
struct StitchBench {
    BigImagePtr left, right;
    StitchEngine::StitchGeometry geometry;
    std::vector<StitchEngine::StitchTimings> timings;

    explicit StitchBench(const BigImagePtr& scan)
    {
        const int32_t w = scan->width(), h = scan->height();
        const int32_t wl = int32_t(0.575 * w);
        const int32_t x0 = w - wl;
        left = makeBigImage(wl, h);
        for (int32_t y = 0; y < h; ++y)
            std::copy(scan->row(y), scan->row(y) + wl, left->row(y));
        const float angle = 0.7f * float(M_PI) / 180.0f;
        right = makeBigImage(wl, h);
        BigImageProcessing::rotate(scan, right, angle, float2{0.0f, 0.0f}, float2{float(-x0), 0.0f}, nullptr);
        StitchEngine::MarkerFractions m;
        m.leftX = 0.5f * float(w) / float(wl);
        m.leftRedY = 0.1f;
        m.leftBlueY = 0.9f;
        // Scan point p shows in the right part at R(−angle)·(p − (x0, 0)).
        const float c = std::cos(angle), s = std::sin(angle);
        auto toRight = [&](float x, float y) { return float2{c * (x - x0) + s * y, -s * (x - x0) + c * y}; };
        const float2 red = toRight(0.5f * w, 0.1f * h), blue = toRight(0.5f * w, 0.9f * h);
        m.rightRedX = red.x / float(wl);
        m.rightRedY = red.y / float(h);
        m.rightBlueX = blue.x / float(wl);
        m.rightBlueY = blue.y / float(h);
        geometry = StitchEngine::stitchGeometry(m, 50, wl, h, wl, h);
        truth = [=](double x, double y) {
            return std::make_pair(std::cos(double(angle)) * (x - x0) + std::sin(double(angle)) * y,
                                  -std::sin(double(angle)) * (x - x0) + std::cos(double(angle)) * y);
        };
    }
    // Where the right part shows the left part's pixel (x, y).
    std::function<std::pair<double, double>(double, double)> truth;
};

// Resident memory of this process in MB: now, or the peak since resetPeakMemory().
double memoryMB(const char* field)
{
    QFile f(QStringLiteral("/proc/self/status"));
    if (!f.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray& line : f.readAll().split('\n'))
        if (line.startsWith(field))
            return line.mid(int(std::strlen(field))).trimmed().split(' ').first().toDouble() / 1024.0;
    return 0;
}
void resetPeakMemory()
{
    QFile f(QStringLiteral("/proc/self/clear_refs"));
    if (f.open(QIODevice::WriteOnly))
        f.write("5");
}

// The marker finder on the stitch pair, its refinement from markers 20 px off, and what they
// cost beyond the inputs.
struct MarkerBench {
    std::shared_ptr<StitchBench> pair;
    Align::MarkerResult found, refined;
    double extraMB = 0;
};
std::shared_ptr<MarkerBench> markerBench;

// The JPEG file of load-jpeg, kept for the reference decoder afterwards.
struct JpegBench {
    std::shared_ptr<QTemporaryDir> dir;
    QString file;
};

// The median and run count of the step timed last, for the reports that compare with it.
struct LastTiming {
    double median = 0;
    int runs = 0;
};
LastTiming lastTiming;
std::shared_ptr<JpegBench> jpegBench;

// The right marker view as in the window: a 1000 x 800 view, two 200 x 200 zoom windows.
struct ViewBench {
    PaintArea view;
    ZoomImage red, blue;
    explicit ViewBench(const BigImagePtr& img)
    {
        view.resize(1002, 802);
        red.resize(200, 200);
        blue.resize(200, 200);
        view.setZoomWindows(&red, &blue);
        view.setImage(img, QRect(-1, -1, -1, -1));
        view.renderNow();
    }
};

// A scratch folder that lives as long as the timed step that holds it.
std::shared_ptr<QTemporaryDir> scratch()
{
    return std::make_shared<QTemporaryDir>(QDir::tempPath() + "/seamwright-bench-XXXXXX");
}

const uint8_t* bytes(const BigImagePtr& img)
{
    return reinterpret_cast<const uint8_t*>(img->data());
}

void check(bool ok, const char* what)
{
    if (!ok) {
        std::fprintf(stderr, "%s failed\n", what);
        std::exit(1);
    }
}

std::vector<Operation> operationsWithoutFloors();

// The floor of each operation that has one: what it must at least do to memory and files.
std::vector<Operation> operations()
{
    std::vector<Operation> ops = operationsWithoutFloors();
    auto set = [&](const char* name, const char* what, std::function<double(const Floors&)> f) {
        for (Operation& op : ops)
            if (std::string(op.name) == name) {
                op.floorName = what;
                op.floor = std::move(f);
            }
    };
    auto copy = [](const Floors& f) { return f.copy; };
    set("rotate-cw", "memcpy", copy);
    set("rotate-ccw", "memcpy", copy);
    set("rotate", "memcpy", copy);
    set("stitch", "fresh memory + memcpy", [](const Floors& f) { return f.freshHuge + f.copy; });
    set("pnm-write", "page-cache write", [](const Floors& f) { return f.cacheWrite; });
    set("tiff", "page-cache write", [](const Floors& f) { return f.cacheWrite; });
    set("pnm-read", "page-cache read + fresh memory", [](const Floors& f) { return f.cacheRead + f.freshHuge; });
    set("load-jpeg", "fresh memory", [](const Floors& f) { return f.freshHuge; });
    return ops;
}

std::vector<Operation> operationsWithoutFloors()
{
    return {
        {"rotate-cw", "quarter turn clockwise, in place",
         [](const BigImagePtr& img) { return [img] { BigImageProcessing::rotateCW(img, nullptr); }; }},
        {"rotate-ccw", "quarter turn counter-clockwise, in place",
         [](const BigImagePtr& img) { return [img] { BigImageProcessing::rotateCCW(img, nullptr); }; }},
        {"rotate", "0.7 degrees about the centre, bicubic, into an image of the source size",
         [](const BigImagePtr& img) {
             auto dst = makeBigImage(img->width(), img->height());
             const float2 centre{img->width() * 0.5f, img->height() * 0.5f};
             return [img, dst, centre] {
                 BigImageProcessing::rotate(img, dst, 0.7f * 3.14159265f / 180.0f, centre,
                                            float2{-centre.x, -centre.y}, nullptr);
             };
         }},
        {"render", "renderScaled of a 1000 x 800 view fitted to the whole image",
         [](const BigImagePtr& img) {
             const float W = float(img->width()), H = float(img->height());
             const float scale = std::max(H / 800.0f, W / 1000.0f);
             const float2 origin{(W - 1000.0f * scale) * 0.5f, (H - 800.0f * scale) * 0.5f};
             return [img, origin, scale] { renderScaled(img, origin, 1000, 800, scale, Interpolation::Cubic); };
         }},
        {"view", "the right marker view: a full render of 1000 x 800 and an overlay-only redraw",
         nullptr,
         [](const BigImagePtr& img) {
             auto bench = std::make_shared<ViewBench>(img);
             std::vector<std::pair<std::string, Step>> steps;
             steps.emplace_back("view-render", [bench] {
                 bench->view.orderRescale();
                 bench->view.renderNow();
             });
             steps.emplace_back("view-overlay", [bench] {
                 bench->view.bluePos.x += 0.0001f;
                 bench->view.requestRedraw();
                 bench->view.renderNow();
             });
             return steps;
         }},
        {"stitch", "the whole stitch (no file I/O) of a pair cut from the image, then its phases",
         [](const BigImagePtr& img) {
             stitchBench = std::make_shared<StitchBench>(img);
             auto bench = stitchBench;
             return [bench] {
                 StitchEngine::StitchTimings t;
                 const auto outcome = StitchEngine::stitchImages(bench->left, bench->right, bench->geometry, nullptr, &t);
                 check(outcome.image != nullptr, "stitchImages");
                 bench->timings.push_back(t);
             };
         },
         nullptr,
         [] {
             const auto& all = stitchBench->timings;
             auto phase = [&](const char* name, double StitchEngine::StitchTimings::*field) {
                 std::vector<double> v;
                 for (const auto& t : all)
                     v.push_back(t.*field);
                 std::printf("  %-13s median %.4f s\n", name, median(v));
             };
             phase("band", &StitchEngine::StitchTimings::band);
             phase("error-field", &StitchEngine::StitchTimings::errorField);
             phase("accumulation", &StitchEngine::StitchTimings::accumulation);
             phase("path", &StitchEngine::StitchTimings::path);
             phase("rotation", &StitchEngine::StitchTimings::rotation);
             phase("composition", &StitchEngine::StitchTimings::composition);
             stitchBench.reset();
         }},
        {"find-markers", "the marker finder on the stitch pair, then the refinement of its right markers",
         nullptr,
         [](const BigImagePtr& img) {
             markerBench = std::make_shared<MarkerBench>();
             markerBench->pair = std::make_shared<StitchBench>(img);
             auto bench = markerBench;
             std::vector<std::pair<std::string, Step>> steps;
             steps.emplace_back("find-markers", [bench] {
                 resetPeakMemory();
                 const double before = memoryMB("VmRSS:");
                 bench->found = Align::findMarkers(bench->pair->left, bench->pair->right);
                 bench->extraMB = std::max(bench->extraMB, memoryMB("VmHWM:") - before);
                 check(bench->found.found, "findMarkers");
             });
             steps.emplace_back("refine", [bench] {
                 Align::MarkerPixels given = bench->found.markers;
                 given.rightRedX += 20;
                 given.rightBlueY -= 20;
                 bench->refined = Align::refineMarkers(bench->pair->left, bench->pair->right, given);
                 check(bench->refined.found, "refineMarkers");
             });
             return steps;
         },
         [] {
             const MarkerBench& b = *markerBench;
             auto error = [&](const Align::MarkerPixels& m) {
                 const auto red = b.pair->truth(m.leftX, m.leftRedY), blue = b.pair->truth(m.leftX, m.leftBlueY);
                 return std::max(std::hypot(red.first - m.rightRedX, red.second - m.rightRedY),
                                 std::hypot(blue.first - m.rightBlueX, blue.second - m.rightBlueY));
             };
             const double inputs = 3.0 * double(b.pair->left->pixelCount() + b.pair->right->pixelCount()) / (1 << 20);
             std::printf("  found: error %.3f px, confidence %.2f; refined: error %.3f px\n"
                         "  memory beyond the inputs (%.0f MB): %.1f MB (%.1f %%)\n",
                         error(b.found.markers), b.found.confidence, error(b.refined.markers), inputs, b.extraMB,
                         100.0 * b.extraMB / inputs);
             markerBench.reset();
         }},
        {"pnm-write", "write_ppm of the whole image into a file",
         [](const BigImagePtr& img) {
             auto dir = scratch();
             return [img, dir] {
                 check(write_ppm(bytes(img), img->width(), img->height(), dir->filePath("out.pnm")), "write_ppm");
             };
         }},
        {"pnm-read", "loadPPM of a P6 file of the image",
         [](const BigImagePtr& img) {
             auto dir = scratch();
             const QString name = dir->filePath("in.pnm");
             check(write_ppm(bytes(img), img->width(), img->height(), name), "write_ppm");
             return [dir, name] {
                 BigImageLoadData data;
                 check(BigImageIO::loadPPM(name, data) != nullptr, "loadPPM");
             };
         }},
        {"jpeg", "the own JPEG encoder, quality 100, into a file",
         [](const BigImagePtr& img) {
             auto dir = scratch();
             return [img, dir] { check(writeJpeg(*img, dir->filePath("out.jpg"), 100, QByteArray(), 72), "writeJpeg"); };
         }},
        {"tiff", "the own TIFF writer, uncompressed, into a file",
         [](const BigImagePtr& img) {
             auto dir = scratch();
             return [img, dir] {
                 check(writeTiff(img, dir->filePath("out.tif"), true, QString(), 0, 72, nullptr, QString()), "writeTiff");
             };
         }},
        {"load-jpeg", "loadJPG of a quality-95 JPEG of the image (written by the own encoder); then libjpeg-turbo's djpeg on the same file, writing to /dev/shm",
         [](const BigImagePtr& img) {
             auto dir = scratch();
             const QString name = dir->filePath("in.jpg");
             check(writeJpeg(*img, name, 95, QByteArray(), 72), "writeJpeg");
             jpegBench = std::make_shared<JpegBench>();
             jpegBench->dir = dir;
             jpegBench->file = name;
             auto bench = jpegBench;
             return [bench] {
                 BigImageLoadData data;
                 check(BigImageIO::loadJPG(bench->file, data) != nullptr, "loadJPG");
             };
         },
         nullptr,
         [] {
             // The reference decoder in the same run, alternating is not needed: it runs after.
             const QString djpeg = QStandardPaths::findExecutable(QStringLiteral("djpeg"));
             if (djpeg.isEmpty() || !QFileInfo(QStringLiteral("/dev/shm")).isWritable()) {
                 std::printf("  (no djpeg or /dev/shm for the reference)\n");
                 jpegBench.reset();
                 return;
             }
             std::vector<double> seconds;
             const QString out = QStringLiteral("/dev/shm/seamwright-bench-djpeg.ppm");
             for (int i = 0; i < lastTiming.runs; ++i) {
                 seconds.push_back(timed([&] {
                     check(QProcess::execute(djpeg, {"-outfile", out, jpegBench->file}) == 0, "djpeg");
                 }));
                 QFile::remove(out);
             }
             const double ours = lastTiming.median, theirs = median(seconds);
             std::printf("  djpeg -outfile /dev/shm/…  median %.4f s; loadJPG %.2f x djpeg\n", theirs, ours / theirs);
             jpegBench.reset();
         }},
    };
}

int usage(const std::vector<Operation>& ops)
{
    std::fprintf(stderr, "usage: seamwright-bench OPERATION WIDTH HEIGHT [RUNS]\noperations:\n");
    for (const Operation& op : ops)
        std::fprintf(stderr, "  %-12s %s\n", op.name, op.about);
    std::fprintf(stderr, "  %-12s the floors of this machine for an image of that size\n", "floor");
    std::fprintf(stderr, "  %-12s the floors, then every operation above, one line each, with its\n"
                         "  %-12s multiple of its floor\n", "all", "");
    std::fprintf(stderr, "or:    seamwright-bench scan WIDTH HEIGHT FILE.pnm\n"
                         "       writes the generated scan, to run other tools on the same pixels\n");
    return 2;
}

double timeStep(const std::string& name, const Step& step, const BigImagePtr& img, int runs)
{
    const double megapixels = double(img->width()) * double(img->height()) / 1e6;
    std::vector<double> seconds;
    for (int i = 0; i < runs; ++i)
        seconds.push_back(timed(step));
    std::sort(seconds.begin(), seconds.end());
    const double median = seconds[seconds.size() / 2];
    std::printf("%-12s %dx%d  median %.4f s  %.1f MP/s  (%d runs, min %.4f s)", name.c_str(), img->width(),
                img->height(), median, megapixels / median, runs, seconds.front());
    std::fflush(stdout);
    lastTiming = {median, runs};
    return median;
}

void runOne(const Operation& op, const BigImagePtr& img, int runs)
{
    if (op.prepareSteps) {
        for (const auto& [name, step] : op.prepareSteps(img)) {
            timeStep(name, step, img, runs);
            std::printf("\n");
        }
    } else {
        const double seconds = timeStep(op.name, op.prepare(img), img, runs);
        if (haveFloors && op.floor)
            std::printf("  %.2f x floor (%s)", seconds / op.floor(floors), op.floorName);
        std::printf("\n");
    }
    if (op.report)
        op.report();
}

} // namespace

int main(int argc, char** argv)
{
    // The view benchmark needs widgets, never a display.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const std::vector<Operation> ops = operations();
    if (argc < 4)
        return usage(ops);
    if (std::string(argv[1]) == "scan" && argc == 5) {
        const BigImagePtr img = makeTestScan(std::atoi(argv[2]), std::atoi(argv[3]));
        return write_ppm(bytes(img), img->width(), img->height(), QString::fromLocal8Bit(argv[4])) ? 0 : 1;
    }
    const std::string name = argv[1];
    const int width = std::atoi(argv[2]);
    const int height = std::atoi(argv[3]);
    const int runs = argc > 4 ? std::max(1, std::atoi(argv[4])) : 5;
    if (width <= 0 || height <= 0)
        return usage(ops);

    std::vector<const Operation*> chosen;
    for (const Operation& op : ops) {
        if (name == "all" || name == op.name)
            chosen.push_back(&op);
    }
    if (chosen.empty() && name != "floor")
        return usage(ops);

    const size_t imageBytes = size_t(width) * size_t(height) * 3;
    if (name == "floor" || name == "all") {
        floors = measureFloors(imageBytes, runs);
        haveFloors = true;
        printFloors(floors, imageBytes);
        if (name == "floor")
            return 0;
    }
    const BigImagePtr img = makeTestScan(width, height);
    for (const Operation* op : chosen)
        runOne(*op, img, runs);
    return 0;
}
