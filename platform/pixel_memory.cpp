#include "platform/pixel_memory.h"

#include <sys/mman.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>

namespace platform {
namespace {

constexpr std::size_t kHugePage = std::size_t{2} << 20;

std::atomic<int> g_huge{-1};  // -1: not yet read from the environment

// An anonymous mapping whose start is 2 MiB-aligned and whose length is a multiple of 2 MiB, so
// that every part of it can be a huge page. Over-maps by one huge page and trims both ends.
std::uint32_t* MapHuge(std::size_t bytes, std::size_t& mapped) {
    mapped = (bytes + kHugePage - 1) / kHugePage * kHugePage;
    if (mapped < bytes) return nullptr;  // the rounding overflowed
    const std::size_t span = mapped + kHugePage;
    void* raw = ::mmap(nullptr, span, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (raw == MAP_FAILED) return nullptr;
    const auto start = reinterpret_cast<std::uintptr_t>(raw);
    const std::uintptr_t aligned = (start + kHugePage - 1) & ~(kHugePage - 1);
    if (aligned > start) ::munmap(raw, aligned - start);
    const std::uintptr_t end = start + span;
    if (end > aligned + mapped) {
        ::munmap(reinterpret_cast<void*>(aligned + mapped), end - (aligned + mapped));
    }
    // Advice only: without it (a kernel set to "never") the memory is still good, in 4 KiB pages.
    ::madvise(reinterpret_cast<void*>(aligned), mapped, MADV_HUGEPAGE);
    return reinterpret_cast<std::uint32_t*>(aligned);
}

}  // namespace

bool HugePagesEnabled() {
    int on = g_huge.load(std::memory_order_relaxed);
    if (on < 0) {
        const char* env = std::getenv("GLIMBRA_HUGE_PAGES");
        on = env && std::strcmp(env, "0") == 0 ? 0 : 1;
        g_huge.store(on, std::memory_order_relaxed);
    }
    return on != 0;
}

void SetHugePagesEnabled(bool enabled) { g_huge.store(enabled ? 1 : 0, std::memory_order_relaxed); }

void PixelMemoryFree::operator()(std::uint32_t* pixels) const {
    if (!pixels) return;
    if (mappedBytes_ != 0) {
        ::munmap(pixels, mappedBytes_);
    } else {
        ::operator delete[](pixels, std::align_val_t{64});
    }
}

PixelMemory AllocatePixels(std::size_t count) {
    if (count > SIZE_MAX / 4) return nullptr;
    const std::size_t bytes = count * 4;
    if (bytes >= kHugePageThreshold && HugePagesEnabled()) {
        std::size_t mapped = 0;
        if (std::uint32_t* p = MapHuge(bytes, mapped))
            return PixelMemory(p, PixelMemoryFree(mapped));
        return nullptr;
    }
    // Cache-line aligned, so that rows split over threads do not share a line at the start.
    void* p = ::operator new[](std::max<std::size_t>(bytes, 4), std::align_val_t{64}, std::nothrow);
    return PixelMemory(static_cast<std::uint32_t*>(p), PixelMemoryFree());
}

}  // namespace platform
