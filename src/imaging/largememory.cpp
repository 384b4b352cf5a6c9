#include "largememory.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

#include <sys/mman.h>

namespace LargeMemory {

namespace {
size_t mappedSize(size_t bytes) { return (bytes + kHugePage - 1) / kHugePage * kHugePage; }
} // namespace

void* allocate(size_t bytes, bool zeroed, bool hugePages)
{
    if (bytes < kThreshold)
        return zeroed ? std::calloc(bytes ? bytes : 1, 1) : std::malloc(bytes ? bytes : 1);
    if (bytes > SIZE_MAX - 2 * kHugePage)
        return nullptr;
    const size_t size = mappedSize(bytes);
    // One huge page more than needed, then the unaligned head and the tail given back: the
    // block keeps exactly `size` bytes, starting on a 2 MB boundary.
    void* raw = mmap(nullptr, size + kHugePage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (raw == MAP_FAILED)
        return nullptr;
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
    return p;
}

void release(void* p, size_t bytes)
{
    if (!p)
        return;
    if (bytes < kThreshold)
        std::free(p);
    else
        munmap(p, mappedSize(bytes));
}

void* resize(void* p, size_t oldBytes, size_t newBytes)
{
    if (!p)
        return allocate(newBytes, false);
    if (oldBytes >= kThreshold && newBytes >= kThreshold) {
        const size_t oldSize = mappedSize(oldBytes);
        const size_t newSize = mappedSize(newBytes);
        if (newSize <= oldSize) {
            if (newSize < oldSize)
                munmap(static_cast<char*>(p) + newSize, oldSize - newSize);
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
