#include "safeoutput.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>

#include <cerrno>
#include <cstdio>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The file a name stands for: links followed one by one (a dangling link names a file that
// the save creates); the name itself when there is no link.
QString resolveLinks(const QString& fileName)
{
    QString name = QFileInfo(fileName).absoluteFilePath();
    for (int depth = 0; depth < 40; ++depth) {
        const QFileInfo info(name);
        if (!info.isSymLink())
            return name;
        name = info.symLinkTarget();
    }
    return name; // a loop: opening it fails
}

// A new, empty file beside the target with the target's suffix (Qt's writers pick the
// format by it), made with O_EXCL so that nothing that exists is touched; permissions as
// the process would give a new file.
QString createTemporary(const QString& target)
{
    const QFileInfo info(target);
    const QString suffix = info.suffix().isEmpty() ? QString() : "." + info.suffix();
    static const char kChars[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    for (int attempt = 0; attempt < 100; ++attempt) {
        QString tag;
        for (int i = 0; i < 8; ++i)
            tag += QChar(kChars[QRandomGenerator::global()->bounded(int(sizeof kChars) - 1)]);
        const QString name = info.dir().filePath("." + info.fileName() + "." + tag + suffix);
        const int fd = ::open(QFile::encodeName(name).constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0) {
            ::close(fd);
            return name;
        }
        if (errno != EEXIST)
            return QString();
    }
    return QString();
}

} // namespace

SafeOutput::SafeOutput(const QString& fileName)
{
    target_ = resolveLinks(fileName);
    const QByteArray native = QFile::encodeName(target_);
    struct stat st;
    if (::stat(native.constData(), &st) == 0 && !S_ISREG(st.st_mode)) {
        // A device, a FIFO, a folder: written in place (opening a folder fails), never removed.
        path_ = target_;
        ok_ = true;
        return;
    }
    const bool exists = ::access(native.constData(), F_OK) == 0;
    if (exists && ::access(native.constData(), W_OK) != 0)
        return; // a file the user may not write is not replaced either
    path_ = createTemporary(target_);
    temporary_ = !path_.isEmpty();
    ok_ = temporary_;
}

SafeOutput::~SafeOutput()
{
    if (temporary_)
        ::unlink(QFile::encodeName(path_).constData());
}

bool SafeOutput::commit()
{
    if (!ok_)
        return false;
    if (!temporary_)
        return true;
    const QByteArray from = QFile::encodeName(path_);
    const QByteArray to = QFile::encodeName(target_);
    struct stat st;
    if (::stat(to.constData(), &st) == 0)
        ::chmod(from.constData(), st.st_mode & 07777);
    if (::rename(from.constData(), to.constData()) != 0)
        return false;
    temporary_ = false;
    return true;
}
