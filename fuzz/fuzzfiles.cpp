#include "fuzzfiles.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <cstdio>
#include <cstdlib>

namespace FuzzFiles {

namespace {

QTemporaryDir& folder()
{
    static QTemporaryDir dir((QDir("/dev/shm").exists() ? QStringLiteral("/dev/shm") : QDir::tempPath())
                             + "/seamwright-fuzz-XXXXXX");
    if (!dir.isValid()) {
        std::fprintf(stderr, "no scratch folder: %s\n", qPrintable(dir.errorString()));
        std::abort();
    }
    return dir;
}

} // namespace

QString write(const uint8_t* data, size_t size, const QString& suffix)
{
    const QString path = folder().filePath("input" + suffix);
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)
        || file.write(reinterpret_cast<const char*>(data), qint64(size)) != qint64(size)) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
        std::abort();
    }
    return path;
}

} // namespace FuzzFiles
