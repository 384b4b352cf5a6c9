// Helpers for file tests: running the independent checkers (libjpeg-turbo, libtiff, netpbm),
// a minimal P6 reader of our own for their output, and PSNR.
#pragma once

#include "bigimage.h"

#include <QByteArray>
#include <QFile>
#include <QProcess>
#include <QString>
#include <QStringList>

#include <cmath>

#if defined(Q_OS_LINUX)
#include <sys/resource.h>
#endif

struct ToolResult {
    int exitCode = -1;
    QByteArray out;
    QByteArray err;
    bool started = false;
};

inline ToolResult runTool(const QString& program, const QStringList& args, const QByteArray& input = QByteArray())
{
    ToolResult r;
    QProcess p;
    p.start(program, args);
    if (!p.waitForStarted(10000))
        return r;
    r.started = true;
    if (!input.isEmpty())
        p.write(input);
    p.closeWriteChannel();
    p.waitForFinished(300000);
    r.exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    r.out = p.readAllStandardOutput();
    r.err = p.readAllStandardError();
    return r;
}

// Reads the binary P6 (maxval 255) that djpeg -pnm, tiff tools via netpbm or pnmtopnm print;
// deliberately independent of the program's own PNM reader. Null on anything else.
inline BigImagePtr parseP6(const QByteArray& bytes)
{
    int pos = 0;
    auto token = [&]() -> QByteArray {
        for (;;) {
            while (pos < bytes.size() && QChar(bytes[pos]).isSpace())
                ++pos;
            if (pos < bytes.size() && bytes[pos] == '#') {
                while (pos < bytes.size() && bytes[pos] != '\n')
                    ++pos;
                continue;
            }
            break;
        }
        const int start = pos;
        while (pos < bytes.size() && !QChar(bytes[pos]).isSpace())
            ++pos;
        return bytes.mid(start, pos - start);
    };
    if (token() != "P6")
        return nullptr;
    const int w = token().toInt(), h = token().toInt(), maxval = token().toInt();
    ++pos; // the single white space after the maximum value
    if (w <= 0 || h <= 0 || maxval != 255 || bytes.size() - pos < qint64(w) * h * 3)
        return nullptr;
    auto img = makeBigImage(w, h);
    memcpy(img->data(), bytes.constData() + pos, size_t(w) * size_t(h) * 3);
    return img;
}

inline double psnr(const BigImage& a, const BigImage& b)
{
    if (a.width() != b.width() || a.height() != b.height())
        return 0.0;
    double sum = 0.0;
    const int64_t n = a.pixelCount() * 3;
    const uint8_t* p = reinterpret_cast<const uint8_t*>(a.data());
    const uint8_t* q = reinterpret_cast<const uint8_t*>(b.data());
    for (int64_t i = 0; i < n; ++i) {
        const double d = double(p[i]) - double(q[i]);
        sum += d * d;
    }
    if (sum == 0.0)
        return INFINITY;
    return 10.0 * std::log10(255.0 * 255.0 / (sum / double(n)));
}

// While it lives, the TIFF writer makes BigTIFF of every file above this many bytes (below 0:
// its own limit of 4 GiB).
struct BigTiffAbove {
    explicit BigTiffAbove(qint64 bytes)
    {
        if (bytes >= 0)
            qputenv("SEAMWRIGHT_BIGTIFF_ABOVE", QByteArray::number(bytes));
    }
    ~BigTiffAbove() { qunsetenv("SEAMWRIGHT_BIGTIFF_ABOVE"); }
    BigTiffAbove(const BigTiffAbove&) = delete;
    BigTiffAbove& operator=(const BigTiffAbove&) = delete;
};

inline QByteArray fileBytes(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// While it lives, the process may map only this many MB more than it has: a load that
// allocates what a header promises fails. Sanitizers map huge shadow areas, so none there.
struct AddressSpaceLimit {
    bool active = false;
    rlimit saved{};
    explicit AddressSpaceLimit(int64_t extraMb)
    {
#if defined(Q_OS_LINUX) && !defined(__SANITIZE_THREAD__) && !defined(__SANITIZE_ADDRESS__)
        QFile status("/proc/self/status");
        if (!status.open(QIODevice::ReadOnly) || getrlimit(RLIMIT_AS, &saved) != 0)
            return;
        int64_t vmKb = 0;
        for (const QByteArray& line : status.readAll().split('\n'))
            if (line.startsWith("VmSize:"))
                vmKb = line.mid(7).trimmed().split(' ').first().toLongLong();
        rlimit small = saved;
        small.rlim_cur = rlim_t(vmKb + extraMb * 1024) * 1024;
        active = vmKb > 0 && setrlimit(RLIMIT_AS, &small) == 0;
#else
        Q_UNUSED(extraMb);
#endif
    }
    ~AddressSpaceLimit()
    {
        if (active)
            setrlimit(RLIMIT_AS, &saved);
    }
};
