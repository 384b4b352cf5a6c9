#include "largememory.h"

#include <QDir>
#include <QFile>
#include <QStandardPaths>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <limits>
#include <map>
#include <mutex>
#include <sstream>
#include <string>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace LargeMemory {

namespace {

size_t mappedSize(size_t bytes) { return (bytes + kHugePage - 1) / kHugePage * kHugePage; }

constexpr int64_t kNoLimit = std::numeric_limits<int64_t>::max();
// What a new block leaves free at least, for the rest of the program and the system.
constexpr int64_t kReserve = int64_t(256) << 20;

std::mutex stateMutex;
QString folderSet;
QString pendingFailure;
std::map<uintptr_t, size_t> spilledBlocks; // start -> mapped size
// Anonymous mappings handed out and not yet released.
std::atomic<int64_t> anonymousHeld{0};

// "key value" lines (/proc/meminfo, memory.stat): the value, or -1.
int64_t statValue(const std::string& file, const std::string& key)
{
    std::ifstream in(file);
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string k;
        int64_t v = -1;
        if (fields >> k >> v && (k == key || k == key + ":"))
            return v;
    }
    return -1;
}

int64_t fileValue(const std::string& file)
{
    std::ifstream in(file);
    std::string word;
    if (!(in >> word) || word == "max")
        return kNoLimit;
    try {
        return std::stoll(word);
    } catch (...) {
        return kNoLimit;
    }
}

// The room below the memory control group's limit, counting its file pages as reclaimable.
int64_t controlGroupRoom()
{
    std::ifstream in("/proc/self/cgroup");
    std::string line;
    int64_t room = kNoLimit;
    while (std::getline(in, line)) {
        const size_t a = line.find(':');
        const size_t b = a == std::string::npos ? a : line.find(':', a + 1);
        if (b == std::string::npos)
            continue;
        const std::string controllers = "," + line.substr(a + 1, b - a - 1) + ",";
        const std::string path = line.substr(b + 1);
        if (controllers == ",,") {
            // Unified hierarchy: the limit may sit on any ancestor.
            for (std::string dir = "/sys/fs/cgroup" + path;; dir = dir.substr(0, dir.rfind('/'))) {
                const int64_t max = fileValue(dir + "/memory.max");
                if (max != kNoLimit) {
                    const int64_t file = std::max<int64_t>(0, statValue(dir + "/memory.stat", "file"));
                    room = std::min(room, max - fileValue(dir + "/memory.current") + file);
                }
                if (dir.size() <= std::string("/sys/fs/cgroup").size())
                    break;
            }
        } else if (controllers.find(",memory,") != std::string::npos) {
            const std::string dir = "/sys/fs/cgroup/memory" + path;
            const int64_t max = statValue(dir + "/memory.stat", "hierarchical_memory_limit");
            if (max > 0 && max < (int64_t(1) << 60)) {
                const int64_t file = std::max<int64_t>(0, statValue(dir + "/memory.stat", "total_inactive_file"))
                                     + std::max<int64_t>(0, statValue(dir + "/memory.stat", "total_active_file"));
                room = std::min(room, max - fileValue(dir + "/memory.usage_in_bytes") + file);
            }
        }
    }
    return room;
}

// Memory that a new block may still take without spilling: the system's available memory,
// the room below the control group's limit and below SEAMWRIGHT_MEMORY_LIMIT (bytes, for
// tests and for users who want to keep memory free), less the mappings handed out and not
// yet touched.
int64_t memoryAvailable()
{
    const int64_t held = anonymousHeld.load();
    int64_t room = statValue("/proc/meminfo", "MemAvailable");
    room = room < 0 ? kNoLimit : room * 1024;
    room = std::min(room, controlGroupRoom());
    // Mappings handed out but not yet touched count as taken.
    const int64_t resident = std::max<int64_t>(0, statValue("/proc/self/status", "RssAnon")) * 1024;
    if (room != kNoLimit)
        room -= std::max<int64_t>(0, held - resident);
    bool ok = false;
    const int64_t limit = qEnvironmentVariable("SEAMWRIGHT_MEMORY_LIMIT").toLongLong(&ok);
    if (ok)
        room = std::min(room, limit - held);
    return room;
}

void fail(const QString& why)
{
    std::lock_guard<std::mutex> lock(stateMutex);
    pendingFailure = why;
}

QString megabytes(double bytes) { return QString::number(bytes / 1e6, 'f', 0) + " MB"; }

// A shared mapping of an unlinked file in the spill folder, its disk space reserved up front
// so that a full disk is told now instead of killing the program on a later write.
void* allocateSpilled(size_t size)
{
    const QString folder = spillFolder();
    QDir().mkpath(folder);
    const QByteArray path = QFile::encodeName(folder);
    auto noSpace = [&](double free) {
        return "Not enough memory for an image of " + megabytes(double(size)) + ", and not enough disk space in "
               + folder + " to hold it there either (" + megabytes(free)
               + " free). Free some space there, or name a folder on a larger disk with SEAMWRIGHT_CACHE_DIR.";
    };
    auto noFile = [&] {
        return "Not enough memory for an image of " + megabytes(double(size)) + ", and no file can be made in "
               + folder + " to hold it on disk: " + QString::fromLocal8Bit(std::strerror(errno)) + ".";
    };
    int fd = ::open(path.constData(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (fd < 0 && errno != ENOSPC && errno != EDQUOT) {
        // File systems without unnamed files: a named one, unlinked at once.
        QByteArray name = path + "/seamwright-XXXXXX";
        fd = mkostemp(name.data(), O_CLOEXEC);
        if (fd >= 0)
            ::unlink(name.constData());
    }
    if (fd < 0) {
        fail(noFile());
        return nullptr;
    }
    // Mapped first: where the address space is what runs out, the disk is not the reason.
    void* p = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (p == MAP_FAILED) {
        ::close(fd);
        return nullptr;
    }
    auto giveUp = [&](const QString& why) -> void* {
        fail(why);
        munmap(p, size);
        ::close(fd);
        return nullptr;
    };
    // Checked before reserving, so that a hopeless size does not fill the disk first.
    struct statvfs vfs;
    auto freeSpace = [&] {
        return statvfs(path.constData(), &vfs) == 0 ? double(vfs.f_bavail) * double(vfs.f_frsize) : -1.0;
    };
    const double before = freeSpace();
    if (before >= 0 && before < double(size))
        return giveUp(noSpace(before));
    const int reserved = posix_fallocate(fd, 0, off_t(size));
    if (reserved == ENOSPC || reserved == EDQUOT || reserved == EFBIG)
        return giveUp(noSpace(std::max(0.0, freeSpace())));
    if (reserved != 0 && ::ftruncate(fd, off_t(size)) != 0)
        return giveUp(noFile());
    ::close(fd);
    std::lock_guard<std::mutex> lock(stateMutex);
    spilledBlocks[reinterpret_cast<uintptr_t>(p)] = size;
    return p;
}

// The books of the block at p (spilled or anonymous) after it shrank from oldSize to
// newSize bytes; at 0 it is gone.
void shrinkBooks(void* p, size_t oldSize, size_t newSize)
{
    std::lock_guard<std::mutex> lock(stateMutex);
    auto spilled = spilledBlocks.find(reinterpret_cast<uintptr_t>(p));
    if (spilled == spilledBlocks.end())
        anonymousHeld -= int64_t(oldSize - newSize);
    else if (newSize == 0)
        spilledBlocks.erase(spilled);
    else
        spilled->second = newSize;
}

} // namespace

void setSpillFolder(const QString& folder)
{
    std::lock_guard<std::mutex> lock(stateMutex);
    folderSet = folder;
}

QString spillFolder()
{
    {
        std::lock_guard<std::mutex> lock(stateMutex);
        if (!folderSet.isEmpty())
            return folderSet;
    }
    const QString fromEnvironment = qEnvironmentVariable("SEAMWRIGHT_CACHE_DIR");
    if (!fromEnvironment.isEmpty())
        return fromEnvironment;
    const QString cache = QStandardPaths::writableLocation(QStandardPaths::CacheLocation);
    return cache.isEmpty() ? QDir::tempPath() : cache;
}

bool isSpilled(const void* p)
{
    const uintptr_t at = reinterpret_cast<uintptr_t>(p);
    std::lock_guard<std::mutex> lock(stateMutex);
    auto it = spilledBlocks.upper_bound(at);
    if (it == spilledBlocks.begin())
        return false;
    --it;
    return at < it->first + it->second;
}

QString failureText(const QString& otherwise)
{
    std::lock_guard<std::mutex> lock(stateMutex);
    const QString why = pendingFailure.isEmpty() ? otherwise : pendingFailure;
    pendingFailure.clear();
    return why;
}

void* allocate(size_t bytes, bool zeroed, bool hugePages)
{
    if (bytes < kThreshold)
        return zeroed ? std::calloc(bytes ? bytes : 1, 1) : std::malloc(bytes ? bytes : 1);
    if (bytes > SIZE_MAX - 2 * kHugePage)
        return nullptr;
    const size_t size = mappedSize(bytes);
    if (int64_t(size) > memoryAvailable() - kReserve)
        return allocateSpilled(size);
    // One huge page more than needed, then the unaligned head and the tail given back: the
    // block keeps exactly `size` bytes, starting on a 2 MB boundary.
    void* raw = mmap(nullptr, size + kHugePage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (raw == MAP_FAILED)
        return allocateSpilled(size);
    const uintptr_t start = reinterpret_cast<uintptr_t>(raw);
    const uintptr_t aligned = (start + kHugePage - 1) / kHugePage * kHugePage;
    if (aligned > start)
        munmap(raw, aligned - start);
    const uintptr_t end = start + size + kHugePage;
    if (end > aligned + size)
        munmap(reinterpret_cast<void*>(aligned + size), end - (aligned + size));
    void* p = reinterpret_cast<void*>(aligned);
#ifdef MADV_HUGEPAGE
    // Refused where the kernel has no huge pages: the mapping then simply has small ones.
    madvise(p, size, hugePages ? MADV_HUGEPAGE : MADV_NOHUGEPAGE);
#endif
    anonymousHeld += int64_t(size);
    return p;
}

void release(void* p, size_t bytes)
{
    if (!p)
        return;
    if (bytes < kThreshold) {
        std::free(p);
        return;
    }
    const size_t size = mappedSize(bytes);
    shrinkBooks(p, size, 0);
    munmap(p, size);
}

void* resize(void* p, size_t oldBytes, size_t newBytes)
{
    if (!p)
        return allocate(newBytes, false);
    if (oldBytes >= kThreshold && newBytes >= kThreshold) {
        const size_t oldSize = mappedSize(oldBytes);
        const size_t newSize = mappedSize(newBytes);
        if (newSize <= oldSize) {
            if (newSize < oldSize) {
                shrinkBooks(p, oldSize, newSize);
                munmap(static_cast<char*>(p) + newSize, oldSize - newSize);
            }
            return p;
        }
        // The new block is aligned like every mapping, so the moved huge pages stay whole.
        void* q = allocate(newBytes, false);
        if (!q)
            return nullptr;
        if (mremap(p, oldSize, oldSize, MREMAP_MAYMOVE | MREMAP_FIXED, q) == MAP_FAILED) {
            release(q, newBytes);
            return nullptr;
        }
        // p's pages (memory or a spill file) now open q's block, which is released as a whole.
        shrinkBooks(p, oldSize, 0);
        return q;
    }
    void* q = allocate(newBytes, false);
    if (!q)
        return nullptr;
    std::memcpy(q, p, std::min(oldBytes, newBytes));
    release(p, oldBytes);
    return q;
}

bool hugePagesOffered()
{
    std::ifstream f("/sys/kernel/mm/transparent_hugepage/enabled");
    std::string line;
    std::getline(f, line);
    return line.find("[always]") != std::string::npos || line.find("[madvise]") != std::string::npos;
}

} // namespace LargeMemory
