#include "fuzzfiles.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <cstdio>
#include <cstdlib>

namespace FuzzFiles {

namespace {

// Under SEAMWRIGHT_FUZZ_SCRATCH when set: scripts/fuzz points it at a folder it removes at
// the end, since the folders of children that crashed are never removed by themselves.
QTemporaryDir& folder()
{
    static QTemporaryDir dir([] {
        const QString given = qEnvironmentVariable("SEAMWRIGHT_FUZZ_SCRATCH");
        if (!given.isEmpty())
            return given;
        return QDir("/dev/shm").exists() ? QStringLiteral("/dev/shm") : QDir::tempPath();
    }() + "/seamwright-fuzz-XXXXXX");
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
