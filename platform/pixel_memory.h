#pragma once
// Storage for bitmaps and pixel buffers. A 6000 x 4000 picture is 96 MB: in 4 KiB pages that is
// 23,000 page faults each time such an array is first written, which cost more than the pixel
// work itself. Arrays of a few megabytes or more therefore live on transparent huge pages
// (2 MiB-aligned anonymous memory with madvise(MADV_HUGEPAGE)), which the kernel then faults in
// 2 MiB at a time; smaller ones come from the ordinary heap.

#include <cstddef>
#include <cstdint>
#include <memory>

namespace platform {

class PixelMemoryFree {
  public:
    PixelMemoryFree() = default;
    explicit PixelMemoryFree(std::size_t mappedBytes) : mappedBytes_(mappedBytes) {}
    void operator()(std::uint32_t* pixels) const;

  private:
    std::size_t mappedBytes_ = 0;  // 0: from the heap
};

using PixelMemory = std::unique_ptr<std::uint32_t[], PixelMemoryFree>;

// count pixels of undefined contents, or null when the memory cannot be had.
PixelMemory AllocatePixels(std::size_t count);

// Arrays of at least this many bytes are placed on huge pages.
inline constexpr std::size_t kHugePageThreshold = std::size_t{4} << 20;

// Whether AllocatePixels asks for huge pages; on by default. GLIMBRA_HUGE_PAGES=0 in the
// environment turns it off (to measure the difference).
bool HugePagesEnabled();
void SetHugePagesEnabled(bool enabled);

}  // namespace platform
