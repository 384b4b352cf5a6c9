// Large blocks straight from the system: anonymous mappings aligned to 2 MB and marked for
// transparent huge pages, so that the kernel can back them with 2 MB pages where it offers
// them (a first touch then costs one fault per 2 MB instead of per 4 KB), and returned to
// the system when freed. Fresh mappings read as zero. Small blocks come from malloc.
#pragma once

#include <cstddef>
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
