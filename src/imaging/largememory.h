// Large blocks straight from the system: anonymous mappings aligned to 2 MB and marked for
// transparent huge pages, so that the kernel can back them with 2 MB pages where it offers
// them (a first touch then costs one fault per 2 MB instead of per 4 KB), and returned to
// the system when freed. Fresh mappings read as zero. Small blocks come from malloc.
//
// A block that would not fit in the memory still available (the system's, or the limit of
// the process's memory control group) is a shared mapping of an unlinked file in the spill
// folder instead, so that the system pages it to disk rather than failing or killing the
// program. The file disappears with the mapping, also when the program dies.
#pragma once

#include <QString>

#include <cstddef>
#include <cstdint>
#include <new>

namespace LargeMemory {

// Blocks from this size on are mappings; a mapping is the size rounded up to 2 MB.
constexpr size_t kThreshold = size_t(1) << 20;
constexpr size_t kHugePage = size_t(2) << 20;

// Null when the system has no memory for it. A block of `bytes` below the threshold is zeroed
// only when asked; a mapping always is. Without hugePages a mapping keeps to small pages,
// for a writer that scatters its first writes over the whole block and wants only the pages
// it has written to take memory.
void* allocate(size_t bytes, bool zeroed, bool hugePages = true);
// `bytes` as given to allocate.
void release(void* p, size_t bytes);
// The block of `oldBytes` at p as one of `newBytes` that starts with the same contents (the
// rest unset), or null with p untouched when the system has no memory for it. Mappings grow
// by moving their pages into a new aligned mapping and shrink by giving back their tail, so
// that neither copies a byte; small blocks are copied.
void* resize(void* p, size_t oldBytes, size_t newBytes);

// Whether the kernel may back mappings with huge pages ("always" or "madvise" mode).
bool hugePagesOffered();

// The folder of the spill files: the one set here (the command line's --cache-dir), else the
// environment's SEAMWRIGHT_CACHE_DIR, else the user's cache folder. Created when needed.
void setSpillFolder(const QString& folder);
QString spillFolder();

// Whether the block at p is a spilled one (so a prefault must not pull it all in).
bool isSpilled(const void* p);

// After an allocation failed: why, when the spill folder was the cause (it names the folder
// and the space needed), else `otherwise`. Takes the reason, so it is told once.
QString failureText(const QString& otherwise);

// For containers of large float planes and the like.
template <typename T>
struct Allocator {
    using value_type = T;
    Allocator() = default;
    template <typename U>
    Allocator(const Allocator<U>&) noexcept
    {
    }
    T* allocate(size_t n)
    {
        if (n > size_t(-1) / sizeof(T))
            throw std::bad_alloc();
        void* p = LargeMemory::allocate(n * sizeof(T), false);
        if (!p)
            throw std::bad_alloc();
        return static_cast<T*>(p);
    }
    void deallocate(T* p, size_t n) noexcept { LargeMemory::release(p, n * sizeof(T)); }
    template <typename U>
    bool operator==(const Allocator<U>&) const noexcept
    {
        return true;
    }
    template <typename U>
    bool operator!=(const Allocator<U>&) const noexcept
    {
        return false;
    }
};

} // namespace LargeMemory
